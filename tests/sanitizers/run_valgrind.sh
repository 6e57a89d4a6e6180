#!/bin/bash
# SPDX-License-Identifier: MIT
# valgrind memcheck over a short real-library run: face found, landmarks,
# errors. Fails on any invalid access and on definite leaks.
#   bash tests/sanitizers/run_valgrind.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    --show-leak-kinds=definite --suppressions=tests/sanitizers/valgrind.supp --num-callers=30 \
    "$build/bin/mivora_face_test" \
    --gtest_filter='MivoraDetect.FindsTheAstronautAndHerLandmarks:MivoraDetect.RejectsBadArgumentsWithoutReadingTheBuffer:MivoraLandmarks.*:MivoraThreads.ADetectionBelongsToItsThread'
