#!/bin/sh
# Cross-builds everything for TARGET and runs the whole suite under qemu
# user-mode emulation through CTest. Installs what is missing with apt-get.
#   scripts/cross-test.sh armhf      # the camera's 32-bit ARM
#   scripts/cross-test.sh s390x      # a big-endian target
# BUILD_DIR (default build-TARGET) names the build; extra arguments go to cmake.
set -eu
cd "$(dirname "$0")/.."
target=${1:-}
case "$target" in
  armhf) triplet=arm-linux-gnueabihf ;;
  s390x) triplet=s390x-linux-gnu ;;
  *) echo "usage: $0 armhf|s390x [cmake options]" >&2; exit 2 ;;
esac
shift

scripts/setup.sh
scripts/setup.sh "g++-$triplet" qemu-user-static

build_dir=${BUILD_DIR:-build-$target}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
start=$(date +%s)
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$triplet.cmake" "$@" >/dev/null
cmake --build "$build_dir" -j"$jobs"
built=$(date +%s)
status=0
ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" --timeout 120 || status=$?
echo "$target: build $((built - start)) s, tests under emulation $(($(date +%s) - built)) s"
exit "$status"
