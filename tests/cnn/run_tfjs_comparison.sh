#!/bin/bash
# SPDX-License-Identifier: MIT
# Our CNN inference against TensorFlow.js (@tensorflow/tfjs, CPU backend) on
# the same inputs, for each converted network:
#
#   run_tfjs_comparison.sh CHECK_TOOL CACHE_DIR DATA_DIR MODEL.json:MODEL.mivora...
#
# TensorFlow.js is installed from npm on first use, exactly as
# tests/cnn/tfjs/package-lock.json pins it, into CACHE_DIR/tfjs-reference.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
check=$1 cache=$2 data=$3
shift 3

tfjs_dir=$cache/tfjs-reference
if ! cmp -s "$here/tfjs/package-lock.json" "$tfjs_dir/package-lock.json" ||
    [ ! -d "$tfjs_dir/node_modules/@tensorflow/tfjs" ]; then
    echo "installing @tensorflow/tfjs into $tfjs_dir"
    rm -rf "$tfjs_dir"
    mkdir -p "$tfjs_dir"
    cp "$here/tfjs/package.json" "$here/tfjs/package-lock.json" "$tfjs_dir/"
    (cd "$tfjs_dir" && npm ci --no-audit --no-fund --silent)
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for pair in "$@"; do
    graph=${pair%%:*} packed=${pair#*:}
    dir=$work/$(basename "$packed" .mivora)
    mkdir -p "$dir"
    "$check" inputs "$packed" "$dir" "$data/astronaut.png" "$data/messi5.jpg"
    echo "== $(basename "$graph")"
    NODE_PATH=$tfjs_dir/node_modules node "$here/tfjs_reference.js" "$graph" "$dir" $("$check" names "$packed")
    "$check" compare "$packed" "$dir" || status=1
done
exit $status
