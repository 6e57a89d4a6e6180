#!/bin/bash
# Makes the standard clips (astronaut.png drifting and zooming over a textured
# background, 300 frames with no face in frames 120-179, at 640x480 and
# 1280x720, plus 100 identical frames for jitter) and runs
# `mivora_bench --reference` on them, pinned to one core.
#
#   bench/run_bench.sh [BUILD_DIR] [OUT_DIR]     the full run (about 2 minutes)
#   bench/run_bench.sh --smoke [BUILD_DIR]       30-frame clips, checks only that it all runs
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
smoke=false
if [ "${1:-}" = "--smoke" ]; then smoke=true; shift; fi
build_dir=$(realpath "${1:-$here/../build}")
bench="$build_dir/bin/mivora_bench"
[ -x "$bench" ] || { echo "no $bench: build first (./dev.sh build)" >&2; exit 1; }
photo="$here/../tests/data/astronaut.png"

if $smoke; then
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
    "$bench" --make-clip "$photo" "$out/face_640x480.avi" 640x480 30
    "$bench" --make-clip "$photo" "$out/still_640x480.avi" 640x480 5 still
    "$bench" --reference --annotate "$out/annotated" --json "$out/bench.json" \
        "$out/face_640x480.avi" "$out/still_640x480.avi" "$photo"
    [ "$(ls "$out/annotated" | wc -l)" -eq 36 ] || { echo "expected 36 annotated frames" >&2; exit 1; }
    grep -q '"only_reference": 0' "$out/bench.json" || { echo "a face the reference found was missed" >&2; exit 1; }
    echo "mivora_bench smoke run: ok"
    exit 0
fi

out=$(realpath -m "${2:-$build_dir/bench}")
mkdir -p "$out"
"$bench" --make-clip "$photo" "$out/face_640x480.avi" 640x480 300
"$bench" --make-clip "$photo" "$out/face_1280x720.avi" 1280x720 300
"$bench" --make-clip "$photo" "$out/still_640x480.avi" 640x480 100 still
pin=()
command -v taskset >/dev/null && pin=(taskset -c 0)
"${pin[@]}" "$bench" --reference --json "$out/bench.json" \
    "$out/face_640x480.avi" "$out/face_1280x720.avi" "$out/still_640x480.avi" | tee "$out/bench.txt"
echo "figures: $out/bench.txt and $out/bench.json"
