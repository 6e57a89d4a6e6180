#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the fuzz target with clang (libFuzzer + ASan + UBSan) and fuzzes the
# C API for SECONDS (default 60), starting from the committed corpus.
#   bash tests/fuzz/run_fuzzer.sh 600
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMIVORA_FACE_FUZZ=ON -DLANDMARK_DEMO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target mivora_face_fuzzer

# Work on a copy: the fuzzer adds to its corpus.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp tests/fuzz/corpus/* "$work/"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Crashes and timeouts are kept in the build folder.
"$build/bin/mivora_face_fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=30 -artifact_prefix="$build/" \
    -rss_limit_mb=4096 -print_final_stats=1 "$work"
