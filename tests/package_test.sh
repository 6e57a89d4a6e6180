#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the five Debian packages (cpack -G DEB), checks them with lintian
# (any error fails), installs them with apt-get as a user would and checks
# what they installed: the demo without a camera (status 1, the message, no
# stdout), a C program built against libmivoraface-dev, the README's
# Python example against python3-mivoraface, and gst-inspect-1.0 mivoraface
# against gstreamer1.0-mivoraface. Then the upgrade from the
# single landmark-demo 1.0.0 package. Purges everything it installed.
# Needs root (or sudo); CI runs it on its throw-away machine.
#
#   bash tests/package_test.sh [BUILD_DIR]
set -euo pipefail
build_dir=$(realpath "${1:-build}")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
apt_get() { DEBIAN_FRONTEND=noninteractive $sudo apt-get "$@"; }

packages=(libmivoraface1 libmivoraface-dev landmark-demo python3-mivoraface gstreamer1.0-mivoraface)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $build_dir/CMakeCache.txt"; exit 1; }
work=$(mktemp -d)

fail() { echo "package test: $*" >&2; exit 1; }

installed_ours() {
    dpkg-query -W -f='${db:Status-Status} ${Package}\n' "${packages[@]}" 2>/dev/null |
        sed -n 's/^installed //p' || true
}

purge() {
    local present
    present=$(installed_ours)
    [ -z "$present" ] || apt_get purge -y $present >/dev/null
}
trap 'purge; rm -rf "$work"' EXIT

# Every run starts from a machine without them.
purge

command -v lintian >/dev/null || apt_get install -y --no-install-recommends lintian >/dev/null

# --- Build -----------------------------------------------------------------
rm -f "$build_dir"/*.deb
(cd "$build_dir" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
debs=()
for package in "${packages[@]}"; do
    deb=$(ls "$build_dir/${package}_${version}_"*.deb 2>/dev/null) || fail "no $package package"
    debs+=("$deb")
done
[ "$(ls "$build_dir"/*.deb | wc -l)" -eq ${#packages[@]} ] || { ls "$build_dir"/*.deb; fail "unexpected packages"; }

field() { dpkg-deb -f "$1" "$2"; }
contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
for deb in "${debs[@]}"; do
    echo "$(basename "$deb"):"
    for name in Depends Recommends Breaks Replaces; do
        value=$(field "$deb" "$name")
        [ -z "$value" ] || echo "  $name: $value"
    done
done

# --- Contents and relations ------------------------------------------------
expect_files() { # expect_files DEB PATH...
    local deb=$1 listing
    shift
    listing=$(contents "$deb")
    for path in "$@"; do
        grep -qx -- "$path" <<<"$listing" || fail "$(basename "$deb") lacks $path"
    done
}
expect_no_files() { # expect_no_files DEB REGEX
    if contents "$1" | grep -E -- "$2"; then
        fail "$(basename "$1") holds files matching $2"
    fi
}
expect_field() { # expect_field DEB FIELD REGEX
    field "$1" "$2" | grep -qE -- "$3" || fail "$(basename "$1") $2 does not match $3: $(field "$1" "$2")"
}
lib=${debs[0]} dev=${debs[1]} demo=${debs[2]} python=${debs[3]} gst=${debs[4]}
gst_plugin_dir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/gstreamer-1.0
for i in "${!packages[@]}"; do
    expect_files "${debs[$i]}" "/usr/share/doc/${packages[$i]}/copyright" \
        "/usr/share/doc/${packages[$i]}/changelog.gz"
done
expect_files "$lib" /usr/lib/libmivoraface.so.1 "/usr/lib/libmivoraface.so.$version" \
    /usr/share/mivoraface/shape_predictor_68_face_landmarks.mivora /usr/share/mivoraface/frontal_face_detector.mivora \
    /usr/share/mivoraface/facemesh-detection-full.mivora /usr/share/mivoraface/blazeface-front.mivora
expect_no_files "$lib" '^/usr/(include|bin)/|\.so$|/cmake/|pkgconfig'
expect_files "$dev" /usr/include/mivora_face.h /usr/lib/libmivoraface.so /usr/lib/pkgconfig/mivoraface.pc \
    /usr/lib/cmake/MivoraFace/MivoraFaceConfig.cmake /usr/lib/cmake/MivoraFace/MivoraFaceTargets.cmake
expect_no_files "$dev" '\.so\.|^/usr/share/mivoraface'
expect_files "$demo" /usr/bin/landmark_demo /usr/bin/mivora_bench \
    /usr/share/man/man1/landmark_demo.1.gz /usr/share/man/man1/mivora_bench.1.gz
expect_no_files "$demo" 'libmivoraface|^/usr/include|^/usr/share/mivoraface'
expect_files "$python" /usr/lib/python3/dist-packages/mivoraface/__init__.py \
    /usr/lib/python3/dist-packages/mivoraface/__main__.py
expect_no_files "$python" '__pycache__|\.pyc$'
expect_files "$gst" "$gst_plugin_dir/libgstmivoraface.so"
expect_no_files "$gst" 'libmivoraface|^/usr/include|^/usr/share/mivoraface'

exact="libmivoraface1 \(= $version\)" at_least="libmivoraface1 \(>= $version\)"
expect_field "$lib" Depends 'libdlib19\.1'
if field "$lib" Depends | grep -E 'opencv|libdlib-data'; then
    fail "libmivoraface1 depends on more than the library needs"
fi
expect_field "$dev" Depends "$exact"
expect_field "$demo" Depends "$at_least"
expect_field "$demo" Depends 'libopencv-highgui406'
expect_field "$python" Depends "^python3, python3-numpy, $at_least$"
expect_field "$python" Recommends python3-opencv
expect_field "$python" Architecture '^all$'
expect_field "$gst" Depends "$at_least"
expect_field "$gst" Depends 'libgstreamer1\.0-0'
expect_field "$gst" Depends 'libgstreamer-plugins-base1\.0-0'
for deb in "$lib" "$dev"; do
    expect_field "$deb" Breaks '^landmark-demo \(<< 1\.1\.0\)$'
    expect_field "$deb" Replaces '^landmark-demo \(<< 1\.1\.0\)$'
done
# The changelog's latest entry is this version.
dpkg-deb --fsys-tarfile "$lib" | tar -xO ./usr/share/doc/libmivoraface1/changelog.gz | gunzip |
    head -1 | grep -q "^landmark-demo ($version) " || fail "the changelog's latest entry is not $version"

# --- lintian ---------------------------------------------------------------
lintian_failed=0
for deb in "${debs[@]}"; do
    echo "lintian $(basename "$deb"):"
    lintian --fail-on error --tag-display-limit 0 "$deb" | sed 's/^/  /' || lintian_failed=1
done
[ $lintian_failed -eq 0 ] || fail "lintian reports errors"

# --- Installed as a user would ---------------------------------------------
check_installed() {
    local out=$work/out err=$work/err status=0
    # The demo without a camera.
    env -u LD_LIBRARY_PATH timeout 30 /usr/bin/landmark_demo >"$out" 2>"$err" || status=$?
    [ "$status" -eq 1 ] || { cat "$err"; fail "installed demo: exit status $status, expected 1"; }
    [ ! -s "$out" ] || fail "installed demo wrote to stdout"
    [ "$(cat "$err")" = "landmark_demo: cannot open camera 1" ] || { cat "$err"; fail "installed demo stderr"; }
    # Read ldd's whole output first: with pipefail, `ldd | grep -q` fails
    # whenever grep stops reading early and ldd gets SIGPIPE.
    local libraries
    libraries=$(env -u LD_LIBRARY_PATH ldd /usr/bin/landmark_demo)
    # /lib is /usr/lib on a merged-/usr system, and ldconfig may name either.
    grep -qE "libmivoraface.so.1 => (/usr)?/lib/libmivoraface.so.1 " <<<"$libraries" || {
        echo "$libraries"
        fail "demo does not load the installed library"
    }
    if readelf -d /usr/bin/landmark_demo /usr/bin/mivora_bench | grep -E 'RPATH|RUNPATH'; then
        fail "installed programs have a run path"
    fi
    env -u LD_LIBRARY_PATH /usr/bin/mivora_bench >/dev/null 2>"$err" && fail "mivora_bench without arguments succeeded"
    grep -q "^usage: " "$err" || { cat "$err"; fail "mivora_bench printed no usage"; }
    echo "installed demo: ok"
}

check_installed_python() {
    local python=(env -u LD_LIBRARY_PATH -u PYTHONPATH -u MIVORA_FACE_LIBRARY /usr/bin/python3)
    local where
    where=$(cd "$work" && "${python[@]}" -c 'import mivoraface; print(mivoraface.__file__, mivoraface.__version__)')
    [ "$where" = "/usr/lib/python3/dist-packages/mivoraface/__init__.py $version" ] ||
        fail "python3 imports mivoraface from: $where"
    /usr/bin/python3 "$source_dir/tests/python/readme_example.py" "$source_dir/README.md" >"$work/example.py"
    (cd "$source_dir" && "${python[@]}" "$work/example.py") >"$work/example.out" 2>"$work/example.err" || {
        cat "$work/example.err"
        fail "the README's Python example failed"
    }
    [ "$(head -1 "$work/example.out")" = "1 face(s)" ] || { cat "$work/example.out"; fail "README example output"; }
    local points
    points=$(cd "$source_dir" && "${python[@]}" -m mivoraface tests/data/astronaut.png 2>/dev/null |
        grep -cE '^ +[0-9]+ [0-9.]+ [0-9.]+$')
    [ "$points" -eq 68 ] || fail "python3 -m mivoraface printed $points points, expected 68"
    echo "installed Python module: ok"
}

check_installed_gstreamer() {
    # The system's plugin folder, not the build tree's, and a fresh registry.
    local inspect
    inspect=$(env -u GST_PLUGIN_PATH -u LD_LIBRARY_PATH GST_REGISTRY="$work/gst-registry.bin" \
        gst-inspect-1.0 mivoraface 2>&1) || { echo "$inspect"; fail "gst-inspect-1.0 mivoraface failed"; }
    # /lib is /usr/lib on a merged-/usr system, and GStreamer may name either.
    grep -qE "Filename +(/usr)?${gst_plugin_dir#/usr}/libgstmivoraface.so" <<<"$inspect" ||
        { echo "$inspect"; fail "plugin path"; }
    grep -q "draw *: Draw the 68 landmark points" <<<"$inspect" || { echo "$inspect"; fail "no draw property"; }
    if readelf -d "$gst_plugin_dir/libgstmivoraface.so" | grep -E 'RPATH|RUNPATH'; then
        fail "the installed plugin has a run path"
    fi
    echo "installed GStreamer element: ok"
}

command -v gst-inspect-1.0 >/dev/null || apt_get install -y --no-install-recommends gstreamer1.0-tools >/dev/null
apt_get install -y "${debs[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install failed"; }
check_installed
bash "$source_dir/tests/consumer/run_consumer_test.sh" --prefix /usr
check_installed_python
check_installed_gstreamer

purge
for path in /usr/lib/libmivoraface.so.1 /usr/share/mivoraface /usr/lib/python3/dist-packages/mivoraface \
    /usr/bin/landmark_demo /usr/include/mivora_face.h "$gst_plugin_dir/libgstmivoraface.so"; do
    [ ! -e "$path" ] || fail "$path is left after purging the packages"
done
echo "install and purge: ok"

# --- Upgrade from landmark-demo 1.0.0, which held everything ---------------
# A stand-in for the old package: the files at the paths it had.
old=$work/old
for path in /usr/bin/landmark_demo /usr/bin/mivora_bench /usr/include/mivora_face.h \
    /usr/lib/cmake/MivoraFace/MivoraFaceConfig.cmake /usr/lib/cmake/MivoraFace/MivoraFaceConfigVersion.cmake \
    /usr/lib/cmake/MivoraFace/MivoraFaceTargets.cmake /usr/lib/cmake/MivoraFace/MivoraFaceTargets-release.cmake \
    /usr/lib/pkgconfig/mivoraface.pc /usr/lib/mivoraface/mivoraface_scan_avx2.so \
    /usr/share/mivoraface/shape_predictor_68_face_landmarks.mivora /usr/share/mivoraface/frontal_face_detector.mivora; do
    mkdir -p "$old$(dirname "$path")"
    echo "landmark-demo 1.0.0 stand-in" >"$old$path"
done
cp "$build_dir/lib/libmivoraface.so.$version" "$old/usr/lib/libmivoraface.so.1.0.0"
ln -s libmivoraface.so.1.0.0 "$old/usr/lib/libmivoraface.so.1"
ln -s libmivoraface.so.1 "$old/usr/lib/libmivoraface.so"
mkdir -p "$old/DEBIAN"
cat >"$old/DEBIAN/control" <<EOF
Package: landmark-demo
Version: 1.0.0
Architecture: $(dpkg --print-architecture)
Maintainer: landmark_demo developers <dev@landmark-demo.invalid>
Description: landmark_demo 1.0.0 stand-in for the upgrade test
EOF
dpkg-deb --root-owner-group -b "$old" "$work/landmark-demo_1.0.0.deb" >/dev/null
apt_get install -y "$work/landmark-demo_1.0.0.deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "cannot install the 1.0.0 stand-in"; }
apt_get install -y "${debs[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "upgrade from 1.0.0 failed"; }
[ "$(dpkg-query -W -f='${Version}' landmark-demo)" = "$version" ] || fail "landmark-demo was not upgraded"
for owned in /usr/lib/libmivoraface.so.1:libmivoraface1 /usr/share/mivoraface:libmivoraface1 \
    /usr/include/mivora_face.h:libmivoraface-dev /usr/lib/libmivoraface.so:libmivoraface-dev \
    /usr/bin/landmark_demo:landmark-demo; do
    owner=$(dpkg -S "${owned%%:*}" | cut -d: -f1)
    [ "$owner" = "${owned#*:}" ] || fail "${owned%%:*} belongs to $owner after the upgrade"
done
for path in /usr/lib/libmivoraface.so.1.0.0 /usr/lib/mivoraface/mivoraface_scan_avx2.so; do
    [ ! -e "$path" ] || fail "$path of 1.0.0 is left after the upgrade"
done
check_installed
echo "upgrade from 1.0.0: ok"
echo "packages: ok"
