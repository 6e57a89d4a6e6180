#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the consumer against an installed MivoraFace twice, through the
# CMake package and through pkg-config, and runs both on a test photo.
#
#   run_consumer_test.sh BUILD_DIR         installs BUILD_DIR into a scratch prefix first
#   run_consumer_test.sh --prefix PREFIX   uses what is installed in PREFIX (/usr: the packages)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "$1" = --prefix ]; then
    prefix=$2
    installed=yes
else
    prefix=$work/prefix
    installed=no
    cmake --install "$(realpath "$1")" --prefix "$prefix" >/dev/null
fi

# Where the programs must find the library: /lib is /usr/lib on a
# merged-/usr system, and ldconfig may name either.
library_dir="$prefix/lib[^ ]*"
[ "$prefix" != /usr ] || library_dir="(/usr)?/lib"

# The header's usage example, compiled as the body of a function.
sed -n '/@code/,/@endcode/p' "$prefix/include/mivora_face.h" | sed '1d;$d' | sed 's/^ \*     //' \
    >"$work/usage_example.inc"
[ -s "$work/usage_example.inc" ] || { echo "no usage example in the installed header"; exit 1; }

convert "$here/../data/astronaut.png" -depth 8 "$work/face.ppm"
convert "$here/../data/coffee.png" -depth 8 "$work/no_face.ppm"

check() { # check NAME BINARY
    local points libraries
    points=$("$2" "$work/face.ppm" | wc -l)
    [ "$points" -eq 68 ] || { echo "$1: expected 68 landmark lines, got $points"; exit 1; }
    if "$2" "$work/no_face.ppm" >/dev/null; then
        echo "$1: found a face in a photo without one"
        exit 1
    fi
    libraries=$(env -u LD_LIBRARY_PATH ldd "$2")
    grep -qE "libmivoraface.so.1 => $library_dir/libmivoraface.so.1 " <<<"$libraries" || {
        echo "$1: does not load the library of $prefix:"
        echo "$libraries"
        exit 1
    }
    echo "$1: ok"
}

cmake -S "$here" -B "$work/cmake_build" -DCMAKE_PREFIX_PATH="$prefix" -DUSAGE_EXAMPLE_DIR="$work" >/dev/null
cmake --build "$work/cmake_build" >/dev/null
check "CMake package" "$work/cmake_build/detect_face"

if [ $installed = no ]; then
    # A scratch prefix: pkg-config and the loader must be told where it is.
    pc_dir=$(dirname "$(find "$prefix" -name mivoraface.pc)")
    export PKG_CONFIG_PATH=$pc_dir
    rpath=(-Wl,-rpath,"$(pkg-config --variable=libdir mivoraface)")
else
    rpath=()
fi
cc -std=c99 -Wall -Werror -I"$work" "$here/detect_face.c" -o "$work/detect_face_pc" \
    $(pkg-config --cflags --libs mivoraface) "${rpath[@]}"
check "pkg-config" "$work/detect_face_pc"
