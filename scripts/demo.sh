#!/bin/sh
# The main job on a simulated camera: build an upgrade image with mkupfw,
# make a camera running slot 1 with mkcamera, install the image with
# update-sim -u, then show what the camera now holds. Everything lives in a
# temporary directory that is removed at the end.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
build=${BUILD_DIR:-build}

work=$(mktemp -d /tmp/update-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
camera="$work/camera"

step() { printf '\n$ %s\n' "$*"; }

# Component files of a firmware release.
head -c 1500000 /dev/urandom >"$work/uImage"
head -c 6000000 /dev/urandom >"$work/rootfs.ubi"
printf '#!/bin/sh\necho "update tool 0.1.0.3"\n' >"$work/update"

step mkcamera --slot 1 camera
"$build/mkcamera" --slot 1 --codec codec_internal "$camera"
echo "(a camera with ten NAND partitions, booting ker1 + fs1)"

step mkupfw -o camera/dev/shm/updateFM.bin -e 1:ker:4.2.2.11:uImage:2022/5/6 \
  -e 2:fs:40.7.0.81:rootfs.ubi:2022/5/6:0:1 -e 3:cmd:0.1.0.3:update:2022/5/6:0:1
"$build/mkupfw" -o "$camera/dev/shm/updateFM.bin" \
  -e 1:ker:4.2.2.11:"$work/uImage":2022/5/6 \
  -e 2:fs:40.7.0.81:"$work/rootfs.ubi":2022/5/6:0:1 \
  -e 3:cmd:0.1.0.3:"$work/update":2022/5/6:0:1

step update-sim -l
UPDATE_SIM_ROOT="$camera" "$build/update-sim" -l

step update-sim -u
status=0
UPDATE_SIM_ROOT="$camera" "$build/update-sim" -u 2>&1 || status=$?
echo "(exit status $status)"

step update-sim -v
UPDATE_SIM_ROOT="$camera" "$build/update-sim" -v

step "the result log /mnt/nand/upfw.log (two 256-byte records)"
printf 'code:    %s\n' "$(head -c 256 "$camera/mnt/nand/upfw.log" | tr -d '\0')"
printf 'message: %s\n' "$(tail -c 256 "$camera/mnt/nand/upfw.log" | tr -d '\0')"

step "what the boot loader will start"
UPDATE_SIM_ROOT="$camera" "$build/update-sim" --show | grep -E '^(bootargs|bootcmd)='
printf '\n%s flash operations (erase and page writes), see flash.log\n' "$(wc -l <"$camera/flash.log")"
exit "$status"
