#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the library and its thread, fork and exit tests with
# ThreadSanitizer (into build-tsan) and runs them.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${TSAN_BUILD_DIR:-build-tsan}

# OpenCV, used by the tests to read photos, takes GDAL's locks in an order
# TSan flags; they are not the library's.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/sanitizers/tsan.supp"
# (The build runs instrumented tools too.)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLANDMARK_DEMO_TSAN=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target mivoraface mivoraface_models mivora_face_test face_parts_test \
    mivora_host mivora_host_dl mivora_plugin mivora_host_photos cnn_test

ctest --test-dir "$build" --output-on-failure -j"$(nproc)" \
    -R '^(MivoraThreads\.|MivoraLandmarks\.|LandmarkSmoother\.|Cnn[A-Za-z]*\.|host_(linked|idle|fork-.*|exit-in-flight|dlopen-.*|plugin-ctor|model-changed)$)'
