#!/bin/bash
# SPDX-License-Identifier: MIT
# The demo on a machine without camera 1: status 1, one line on stderr,
# nothing on stdout.
demo=$1
if [ -e /dev/video1 ]; then
    echo "camera 1 exists on this machine; this test needs a machine without it"
    exit 77
fi
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
timeout 30 "$demo" >"$out" 2>"$err"
status=$?
failed=0
[ "$status" -eq 1 ] || { echo "exit status $status, expected 1"; failed=1; }
[ ! -s "$out" ] || { echo "stdout is not empty:"; cat "$out"; failed=1; }
[ "$(cat "$err")" = "landmark_demo: cannot open camera 1" ] || { echo "stderr is not the one line:"; cat "$err"; failed=1; }
exit $failed
