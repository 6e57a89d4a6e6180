#!/bin/bash
# SPDX-License-Identifier: MIT
# Makes the standard clips (astronaut.png drifting and zooming over a textured
# background, 300 frames with no face in frames 120-179, at 640x480 and
# 1280x720, plus 100 identical frames for jitter) and runs
# `mivora_bench --reference` on them (the reference: plain dlib compiled with
# -O3 -march=native), then the motion scenarios (tilt,
# walk-away, pan, faces entering tilted or small, ...) on astronaut.png and messi5.jpg enlarged 2x, pinned to
# one core (core 0, or $BENCH_CPU), and the pixel-format comparison at 1280x720.
#
#   bench/run_bench.sh [BUILD_DIR] [OUT_DIR]     the full run (about 6 minutes)
#   bench/run_bench.sh --smoke [BUILD_DIR]       30-frame clips and short scenarios, checks only that it all runs
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
smoke=false
if [ "${1:-}" = "--smoke" ]; then smoke=true; shift; fi
build_dir=$(realpath "${1:-$here/../build}")
bench="$build_dir/bin/mivora_bench"
[ -x "$bench" ] || { echo "no $bench: build first (./dev.sh build)" >&2; exit 1; }
photo="$here/../tests/data/astronaut.png"
# Too small a face for dlib at its own size.
scenario_photos=("$photo" "$here/../tests/data/messi5.jpg@2")
scenario_names=(tilt walk-away still-noise-60 still-noise-120 still-noise-240 pan-slow pan-fast leave-return
    occlusion motion-blur turn enter-0deg enter-30deg enter-45deg enter-60deg enter-60px enter-45px)

if $smoke; then
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
    "$bench" --make-clip "$photo" "$out/face_640x480.avi" 640x480 30
    "$bench" --make-clip "$photo" "$out/still_640x480.avi" 640x480 5 still
    "$bench" --reference --annotate "$out/annotated" --json "$out/bench.json" \
        "$out/face_640x480.avi" "$out/still_640x480.avi" "$photo"
    [ "$(ls "$out/annotated" | wc -l)" -eq 36 ] || { echo "expected 36 annotated frames" >&2; exit 1; }
    grep -q '"only_reference": 0' "$out/bench.json" || { echo "a face the reference found was missed" >&2; exit 1; }
    "$bench" --scenarios "${scenario_photos[@]}" --frames-scale 0.1 --json "$out/scenarios.json"
    for name in "${scenario_names[@]}"; do
        [ "$(grep -c "\"name\": \"$name\"" "$out/scenarios.json")" -eq ${#scenario_photos[@]} ] ||
            { echo "scenario $name did not run on every photo" >&2; exit 1; }
    done
    "$bench" --formats "$photo" 320x240 8 1 >"$out/formats.txt"
    grep -q "NV12 to BGR by OpenCV" "$out/formats.txt" || { echo "the pixel-format comparison did not run" >&2; exit 1; }
    echo "mivora_bench smoke run: ok"
    exit 0
fi

out=$(realpath -m "${2:-$build_dir/bench}")
mkdir -p "$out"
# The full run measures against plain dlib compiled for this processor.
cmake --build "$build_dir" --target mivora_bench_native >/dev/null
bench="$build_dir/bin/mivora_bench_native"
"$bench" --make-clip "$photo" "$out/face_640x480.avi" 640x480 300
"$bench" --make-clip "$photo" "$out/face_1280x720.avi" 1280x720 300
"$bench" --make-clip "$photo" "$out/still_640x480.avi" 640x480 100 still
pin=()
command -v taskset >/dev/null && pin=(taskset -c "${BENCH_CPU:-0}")
"${pin[@]}" "$bench" --reference --json "$out/bench.json" \
    "$out/face_640x480.avi" "$out/face_1280x720.avi" "$out/still_640x480.avi" \
    --scenarios "${scenario_photos[@]}" | tee "$out/bench.txt"
"${pin[@]}" "$bench" --formats "$photo" 1280x720 150 5 | tee -a "$out/bench.txt"
echo "figures: $out/bench.txt and $out/bench.json"
