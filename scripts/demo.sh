#!/bin/sh
# The main job on a simulated camera: build an upgrade image with mkupfw and
# run update-sim on it. The camera lives in a temporary directory.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build=${BUILD_DIR:-build}

camera=$(mktemp -d /tmp/update-demo-XXXXXX)
trap 'rm -rf "$camera"' EXIT
mkdir -p "$camera/dev/shm" "$camera/mnt/nand" "$camera/proc" "$camera/tmp"

work="$camera/work"
mkdir -p "$work"
head -c 300000 /dev/urandom >"$work/kernel.bin"
head -c 1000000 /dev/urandom >"$work/rootfs.bin"
printf '#!/bin/sh\necho update tool\n' >"$work/update.sh"
"$build/mkupfw" -o "$camera/dev/shm/updateFM.bin" \
  --entry 1:ker:4.2.2.10:"$work/kernel.bin":2022/3/4 \
  --entry 2:fs:40.7.0.80:"$work/rootfs.bin":2022/3/4:0:1 \
  --entry 3:cmd:0.1.0.2:"$work/update.sh":2022/3/4:0:1 \
  --entry 6:tool:0.0.1.0

echo "\$ UPDATE_SIM_ROOT=$camera update-sim -l"
UPDATE_SIM_ROOT="$camera" "$build/update-sim" -l
