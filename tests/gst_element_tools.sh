#!/bin/bash
# SPDX-License-Identifier: MIT
# The element as GStreamer's own tools show it, with the plugin path set to
# the build tree: gst-inspect-1.0 lists it with its property and pads;
# gst-launch-1.0 -m prints a message per frame and ends at EOS; a missing
# landmark model is an element error at the state change, not a crash
# (gst-launch-1.0 exits with status 1 or 255 then, 128 + N on signal N).
#   gst_element_tools.sh PLUGIN_DIR
set -uo pipefail
export GST_PLUGIN_PATH=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export GST_REGISTRY=$work/registry.bin
fail() { echo "gst_element_tools: $*" >&2; exit 1; }

gst-inspect-1.0 mivoraface >"$work/inspect" 2>&1 || { cat "$work/inspect"; fail "gst-inspect-1.0 mivoraface failed"; }
for expected in "libgstmivoraface.so" "draw *: Draw the 68 landmark points" "Boolean. Default: true" \
    "SINK template: 'sink'" "SRC template: 'src'" "(string)NV12" "(string)YUY2" "Filter/Analyzer/Video"; do
    grep -q -- "$expected" "$work/inspect" || { cat "$work/inspect"; fail "gst-inspect-1.0 shows no '$expected'"; }
done

timeout 60 gst-launch-1.0 -m videotestsrc num-buffers=5 ! video/x-raw,format=I420,width=161,height=121 ! \
    mivoraface ! fakesink >"$work/launch" 2>&1 || { cat "$work/launch"; fail "gst-launch-1.0 failed"; }
[ "$(grep -c '(element): mivoraface, timestamp=' "$work/launch")" -eq 5 ] ||
    { cat "$work/launch"; fail "expected 5 element messages"; }
grep -q "Got EOS" "$work/launch" || { cat "$work/launch"; fail "no EOS"; }

status=0
MIVORA_FACE_LANDMARK_MODEL=$work/missing.dat timeout 60 gst-launch-1.0 videotestsrc num-buffers=5 ! mivoraface ! \
    fakesink >"$work/missing" 2>&1 || status=$?
[ "$status" -eq 1 ] || [ "$status" -eq 255 ] || { cat "$work/missing"; fail "missing model: exit status $status"; }
grep -q "ERROR: from element .*mivoraface0: Cannot load the MivoraFace landmark model" "$work/missing" ||
    { cat "$work/missing"; fail "missing model: no element error"; }
grep -q "Failed to set pipeline to PAUSED" "$work/missing" || { cat "$work/missing"; fail "not at the state change"; }
echo "gst_element_tools: ok"
