#!/bin/bash
# Installs the build into a scratch prefix, then builds the consumer against
# it twice, through the CMake package and through pkg-config, and runs both
# on a test photo.
set -euo pipefail
build_dir=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

# The header's usage example, compiled as the body of a function.
sed -n '/@code/,/@endcode/p' "$prefix/include/mivora_face.h" | sed '1d;$d' | sed 's/^ \*     //' \
    >"$work/usage_example.inc"
[ -s "$work/usage_example.inc" ] || { echo "no usage example in the installed header"; exit 1; }

convert "$here/../data/astronaut.png" -depth 8 "$work/face.ppm"
convert "$here/../data/coffee.png" -depth 8 "$work/no_face.ppm"

check() { # check NAME BINARY
    local points
    points=$("$2" "$work/face.ppm" | wc -l)
    [ "$points" -eq 68 ] || { echo "$1: expected 68 landmark lines, got $points"; exit 1; }
    if "$2" "$work/no_face.ppm" >/dev/null; then
        echo "$1: found a face in a photo without one"
        exit 1
    fi
    echo "$1: ok"
}

cmake -S "$here" -B "$work/cmake_build" -DCMAKE_PREFIX_PATH="$prefix" -DUSAGE_EXAMPLE_DIR="$work" >/dev/null
cmake --build "$work/cmake_build" >/dev/null
check "CMake package" "$work/cmake_build/detect_face"

pc_dir=$(dirname "$(find "$prefix" -name mivoraface.pc)")
export PKG_CONFIG_PATH=$pc_dir
cc -std=c99 -Wall -Werror -I"$work" "$here/detect_face.c" -o "$work/detect_face_pc" \
    $(pkg-config --cflags --libs mivoraface) -Wl,-rpath,"$(pkg-config --variable=libdir mivoraface)"
check "pkg-config" "$work/detect_face_pc"
