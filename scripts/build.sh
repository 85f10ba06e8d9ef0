#!/bin/sh
# Builds into BUILD_DIR (default: build); extra arguments go to cmake.
set -eu
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
