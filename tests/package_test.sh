#!/bin/bash
# Builds the Debian package, installs it with apt-get on this machine and runs
# the installed demo without a camera: status 1, the message, no stdout.
# Needs root (or sudo); CI runs it on its throw-away machine.
set -euo pipefail
build_dir=$(realpath "${1:-build}")
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

(cd "$build_dir" && rm -f landmark-demo_*.deb && cpack -G DEB >/dev/null)
package=$(ls "$build_dir"/landmark-demo_*.deb)
echo "package: $package"
dpkg-deb -f "$package" Depends
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "$package" >/dev/null

out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
env -u LD_LIBRARY_PATH timeout 30 /usr/bin/landmark_demo >"$out" 2>"$err" || status=$?
[ "$status" -eq 1 ] || { echo "installed demo: exit status $status, expected 1"; cat "$err"; exit 1; }
[ ! -s "$out" ] || { echo "installed demo wrote to stdout"; exit 1; }
[ "$(cat "$err")" = "landmark_demo: cannot open camera 1" ] || { echo "installed demo stderr:"; cat "$err"; exit 1; }
# Read ldd's whole output first: with pipefail, `ldd | grep -q` fails whenever
# grep stops reading early and ldd gets SIGPIPE.
libraries=$(ldd /usr/bin/landmark_demo)
grep -q "libmivoraface.so.1 => /usr/.*lib/libmivoraface.so.1 " <<<"$libraries" || {
    echo "demo does not load the installed library:"
    echo "$libraries"
    exit 1
}
echo "installed package: ok"
