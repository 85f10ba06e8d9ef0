#!/bin/sh
# Sets up, builds and runs every test.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh "$@"
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j"$(nproc)"
