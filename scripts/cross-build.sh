#!/bin/sh
# The camera's programs: a static 32-bit ARM build, ready to be copied onto a
# camera (BUILD_DIR, default build-camera; update is BUILD_DIR/update). Installs
# the cross compiler if missing; extra arguments go to cmake.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh cmake make g++-arm-linux-gnueabihf file

build_dir=${BUILD_DIR:-build-camera}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/arm-linux-gnueabihf.cmake" \
  -DUPDATE_BUILD_TESTS=OFF -DUPDATE_STATIC=ON "$@" >/dev/null
cmake --build "$build_dir" -j"$jobs"
description=$(file -b "$build_dir/update")
echo "$build_dir/update: $description"
case "$description" in
  *"ELF 32-bit"*ARM*"statically linked"*) ;;
  *) echo "$build_dir/update is not a static 32-bit ARM program" >&2; exit 1 ;;
esac
