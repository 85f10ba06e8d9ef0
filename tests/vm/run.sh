#!/bin/sh
# The real-kernel rig: the production `update` in a qemu guest on Linux's own
# MTD (nandsim) and I2C (i2c-stub) stacks, through every scenario in
# tests/vm/scenarios; update-sim goes through the same steps on the host, and
# the same expected files judge both. See docs/vm.md.
#
#   tests/vm/run.sh [--ctest] [--build-dir DIR] [--keep] [SCENARIO...]
#
# --ctest      install nothing; without qemu, skip (status 77)
# --build-dir  the rig's static build (default: build-vm in the repository)
# --keep       keep the work directory (outputs, console logs)
# SCENARIO     names or prefixes of scenario files (default: all)
#
# Environment: UPDATE_VM_CACHE (downloads and the prepared kernel; default
# /var/cache/update-vm, or ~/.cache/update-vm when that is not writable),
# UPDATE_VM_KERNEL (a kernel ABI such as 6.1.0-58, default: Debian's current
# linux-image-amd64), UPDATE_VM_BUILD_TYPE (default Release),
# UPDATE_VM_ACCEL (default tcg), UPDATE_VM_TIMING (a file that collects the
# timing scenarios' figures).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
ctest=0
keep=0
build=$repo/build-vm
while [ $# -gt 0 ]; do
  case $1 in
    --ctest) ctest=1 ;;
    --keep) keep=1 ;;
    --build-dir)
      build=$2
      shift
      ;;
    --help | -h)
      sed -n '2,/^set -eu/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    -*)
      echo "run.sh: unknown option $1" >&2
      exit 2
      ;;
    *) break ;;
  esac
  shift
done

say() { echo "vm: $*"; }
die() {
  echo "vm: $*" >&2
  exit 1
}

if [ -n "${UPDATE_VM_CACHE:-}" ]; then
  cache=$UPDATE_VM_CACHE
elif mkdir -p /var/cache/update-vm 2>/dev/null && [ -w /var/cache/update-vm ]; then
  cache=/var/cache/update-vm
else
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/update-vm
fi
mkdir -p "$cache"
accel=${UPDATE_VM_ACCEL:-tcg}
started=$(date +%s)

# ---- packages -------------------------------------------------------------

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

apt_updated=0
apt_update() {
  [ $apt_updated = 1 ] && return 0
  as_root apt-get update -qq
  apt_updated=1
}

install_packages() {
  missing=
  for p in "$@"; do installed "$p" || missing="$missing $p"; done
  [ -z "$missing" ] && return 0
  if [ $ctest = 1 ]; then
    die "missing packages:$missing (tests/vm/run.sh installs them)"
  fi
  say "installing$missing"
  apt_update
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends $missing \
    >/dev/null
}

if [ $ctest = 1 ] && ! command -v qemu-system-x86_64 >/dev/null; then
  echo "vm: qemu-system-x86_64 not found: the real-kernel rig is skipped" \
    "(apt-get install qemu-system-x86, or run tests/vm/run.sh, which installs it)"
  exit 77
fi
# qemu for the guest; the compiler, make and libraries that build the
# partition parser against the kernel's headers; the tool's own build.
install_packages qemu-system-x86 cmake g++ make gcc-12 libelf1 libssl3 xz-utils gzip

# ---- kernel, modules and busybox (cached) ---------------------------------

# Downloads a Debian package by name into the current directory.
download() {
  if ! apt-get download "$@" >/dev/null 2>download.log; then
    apt_update
    apt-get download "$@" >/dev/null 2>download.log || {
      cat download.log >&2
      die "apt-get download $* failed"
    }
  fi
}

newest_prepared() {
  ls -d "$cache"/kernel-*/ready 2>/dev/null | sed 's|/ready$||; s|.*/kernel-||' | sort -V | tail -1
}

# The MTD and I2C modules of Debian's generic kernel, the command-line
# partition parser that it does not build (compiled here out of tree against
# its headers) and the uncompressed kernel, which boots faster under TCG.
prepare_kernel() {
  abi=$1
  dir=$cache/kernel-$abi
  [ -f "$dir/ready" ] && return 0
  say "preparing kernel $abi (once)"
  apt-cache show "linux-image-$abi-amd64" >/dev/null 2>&1 || apt_update
  version=$(apt-cache show --no-all-versions "linux-image-$abi-amd64" | sed -n 's/^Version: //p')
  [ -n "$version" ] || die "no package linux-image-$abi-amd64"
  series=$(echo "$abi" | sed 's/^\([0-9]*\.[0-9]*\).*/\1/')
  rm -rf "$dir"
  t=$(mktemp -d "$cache/prepare.XXXXXX")
  (
    cd "$t"
    download "linux-image-$abi-amd64=$version" "linux-headers-$abi-amd64=$version" \
      "linux-headers-$abi-common=$version" "linux-kbuild-$series=$version" \
      "linux-source-$series=$version"
    for deb in linux-image-*.deb linux-headers-*.deb linux-kbuild-*.deb; do dpkg -x "$deb" x; done
    dpkg-deb --fsys-tarfile linux-source-*.deb | tar -x --wildcards '*/linux-source-*.tar.xz'
    tar -xJf usr/src/linux-source-$series.tar.xz --occurrence=1 \
      "linux-source-$series/drivers/mtd/parsers/cmdlinepart.c"
    # The headers include their common part by an absolute path; point it
    # into this tree instead of installing anything.
    headers=$t/x/usr/src/linux-headers-$abi-amd64
    echo "include $t/x/usr/src/linux-headers-$abi-common/Makefile" >"$headers/Makefile"
    mkdir parser
    cp "linux-source-$series/drivers/mtd/parsers/cmdlinepart.c" parser/
    echo 'obj-m := cmdlinepart.o' >parser/Kbuild
    make -s -C "$headers" M="$t/parser" modules >make.log 2>&1 || {
      cat make.log >&2
      exit 1
    }
    # vmlinuz is a bzImage: the xz stream starts payload_offset bytes into
    # the protected-mode part, which follows the (setup_sects + 1) sectors.
    image=$(ls x/boot/vmlinuz-*)
    setup_sects=$(od -A n -t u1 -j 497 -N 1 "$image" | tr -d ' ')
    payload_offset=$(od -A n -t u4 -j 584 -N 4 "$image" | tr -d ' ')
    payload_length=$(od -A n -t u4 -j 588 -N 4 "$image" | tr -d ' ')
    mkdir -p out/modules
    tail -c +$(((setup_sects + 1) * 512 + payload_offset + 1)) "$image" | head -c "$payload_length" |
      xz -dc --single-stream >out/vmlinux
    k=x/lib/modules/$abi-amd64/kernel
    cp $k/drivers/mtd/mtd.ko $k/lib/bch.ko $k/drivers/mtd/nand/nandcore.ko \
      $k/drivers/mtd/nand/raw/nand.ko $k/drivers/mtd/nand/raw/nandsim.ko \
      $k/drivers/i2c/i2c-dev.ko $k/drivers/i2c/i2c-stub.ko parser/cmdlinepart.ko out/modules/
    echo "$version" >out/ready
  ) || {
    rm -rf "$t"
    die "preparing kernel $abi failed"
  }
  mv "$t/out" "$dir"
  rm -rf "$t"
}

abi=${UPDATE_VM_KERNEL:-$(newest_prepared)}
if [ -z "$abi" ]; then
  apt-cache show linux-image-amd64 >/dev/null 2>&1 || apt_update
  abi=$(apt-cache depends linux-image-amd64 | sed -n 's/.*Depends: linux-image-\(.*\)-amd64$/\1/p' |
    head -1)
  [ -n "$abi" ] || die "cannot tell Debian's current kernel (linux-image-amd64)"
fi
prepare_kernel "$abi"
kernel=$cache/kernel-$abi

if [ ! -x "$cache/busybox/busybox" ]; then
  say "fetching busybox-static (once)"
  t=$(mktemp -d "$cache/busybox.XXXXXX")
  (cd "$t" && download busybox-static && dpkg -x busybox-static_*.deb x) || die "busybox-static"
  mkdir -p "$cache/busybox"
  cp "$t/x/bin/busybox" "$cache/busybox/busybox"
  rm -rf "$t"
fi
busybox=$cache/busybox/busybox

# ---- the tool, statically linked -------------------------------------------

say "building into $build"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE="${UPDATE_VM_BUILD_TYPE:-Release}" \
  -DUPDATE_STATIC=ON -DUPDATE_BUILD_TESTS=OFF -DUPDATE_SANITIZE=OFF >/dev/null
cmake --build "$build" -j2 --target update update-sim mkupfw mkcamera vmcheck vmsh vmfacts \
  vmfacts-sim >"$build/vm.log" \
  2>&1 || {
  cat "$build/vm.log" >&2
  die "build failed"
}
# The guest has nothing to load a dynamic program with.
if readelf -l "$build/update" | grep -q 'Requesting program interpreter'; then
  die "$build/update is not statically linked"
fi
MKCAMERA=$build/mkcamera
MKUPFW=$build/mkupfw
UPDATE_SIM=$build/update-sim
VMCHECK=$build/tests/vm/vmcheck
export MKCAMERA MKUPFW UPDATE_SIM

# ---- the guest's base (everything but the scenario) ------------------------

work=$(mktemp -d /tmp/update-vm.XXXXXX)
if [ $keep = 1 ]; then
  say "work directory $work"
else
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/bin"
# vmcheck judges the simulated camera's files on the host too.
ln -s "$VMCHECK" "$work/bin/vmcheck"
ln -s "$build/tests/vm/vmfacts-sim" "$work/bin/vmfacts-sim"
PATH=$work/bin:$PATH

base=$work/base
mkdir -p "$base/bin" "$base/lib/modules" "$base/vm" "$base/proc" "$base/sys" "$base/dev" \
  "$base/tmp"
cp "$busybox" "$base/bin/busybox"
cp "$build/tests/vm/vmsh" "$base/bin/sh"
cp "$build/update" "$build/tests/vm/vmcheck" "$build/tests/vm/vmfacts" "$base/bin/"
cp "$kernel"/modules/*.ko "$base/lib/modules/"
cp "$here/guest/init" "$base/init"
cp "$here/lib.sh" "$base/vm/lib.sh"
chmod 755 "$base/init"
touch "$base/vm/guest"
cpio_of() { (cd "$1" && find . | LC_ALL=C sort | "$busybox" cpio -o -H newc -R 0:0 2>/dev/null); }
cpio_of "$base" | gzip -1 >"$work/base.cpio.gz"
# The scenario's archive follows uncompressed; the kernel looks for it at a
# multiple of 4 bytes and skips zero bytes up to there.
pad=$(((4 - $(wc -c <"$work/base.cpio.gz") % 4) % 4))
head -c "$pad" /dev/zero >>"$work/base.cpio.gz"

# ---- scenarios -------------------------------------------------------------

# Scenario helper on the host: the camera as mkcamera makes it, with the bad
# blocks the scenario names.
mkcamera() {
  for b in $VM_BAD; do set -- "$@" --bad "$b"; done
  "$MKCAMERA" "$@" "$VM_CAMERA"
}

# random_file NAME SIZE SEED: SIZE bytes of pseudo-random data, the same for
# the same seed everywhere (expected outputs carry the payloads' checksums).
random_file() {
  perl -e 'my ($n, $seed) = @ARGV; srand($seed);
    while ($n > 0) { my $k = $n < 65536 ? $n : 65536;
      print substr(pack("L*", map { int(rand(4294967296)) } 1 .. ($k + 3) / 4), 0, $k); $n -= $k }' \
    "$2" "$3" >"$1"
}

# Reads the camera's partition list into the guest's layout: the partition
# parser's list, each partition's first erase block, and the bad blocks as
# nandsim numbers them (erase blocks of the whole chip).
camera_layout() {
  VM_MTDPARTS=$(awk 'NR > 1 {
      name = $4; gsub(/"/, "", name)
      printf "%s%dk(%s)", (NR > 2 ? "," : ""), ("0x" $2) / 1024, name }' "$1/proc/mtd")
  # awk takes no hexadecimal input portably: let the shell convert.
  VM_PART_START=
  at=0
  for size in $(awk 'NR > 1 { print $2 }' "$1/proc/mtd"); do
    VM_PART_START="$VM_PART_START $((at / VM_ERASESIZE))"
    at=$((at + 0x$size))
  done
  [ "$at" -le $((128 << 20)) ] || die "the camera's partitions exceed the 128 MiB chip"
  VM_NANDSIM_BAD=
  for b in $VM_BAD; do
    name=${b%%:*}
    n=$(awk -v name="\"$name\"" '$4 == name { sub(/^mtd/, "", $1); sub(/:$/, "", $1); print $1 }' \
      "$1/proc/mtd")
    [ -n "$n" ] || die "no partition $name"
    first=$(echo "$VM_PART_START" | awk -v n="$n" '{ print $(n + 1) }')
    for i in $(echo "${b#*:}" | tr ',' ' '); do
      VM_NANDSIM_BAD="$VM_NANDSIM_BAD${VM_NANDSIM_BAD:+,}$((first + i))"
    done
  done
}

passed=0
failed=0
summary=
record() {
  if [ "$2" = ok ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  summary="$summary$(printf '  %-22s %-7s %s' "$1" "$2" "$3")
"
}

run_scenario() {
  file=$1
  name=$(basename "$file" .sh)
  w=$work/$name
  mkdir -p "$w/pack/vm/flash" "$w/pack/vm/root" "$w/pack/vm/data" "$w/sim-out"
  expected=$here/expected/$name
  (
    VM_BAD=
    VM_TRACE=0
    VM_SIM=1
    VM_ERASESIZE=131072
    VM_PAGESIZE=2048
    VM_CAMERA=$w/camera
    VM_MEMORY=512
    . "$file"
    camera || die "$name: making the camera failed"
    if type data >/dev/null 2>&1; then (cd "$w/pack/vm/data" && data) || die "$name: data failed"; fi
    camera_layout "$VM_CAMERA"
    # The kernel's NAND simulator takes writes of 512-byte sub-pages.
    for g in "$VM_CAMERA"/dev/mtd*.geometry; do echo 'subpagesize=512' >>"$g"; done
    slot=$(grep -o 'ubi\.mtd=fs[0-9]*' "$VM_CAMERA/proc/cmdline" || true)

    # The simulated camera goes through the steps first.
    if [ "$VM_SIM" = 1 ]; then
      cp -a "$VM_CAMERA" "$w/sim-root"
      cp -a "$w/pack/vm/data" "$w/sim-data"
      (
        # As in the guest's shell: a failing step is a failed check, no more.
        set +eu
        VM_SIDE=sim
        ROOT=$w/sim-root
        VM_OUT=$w/sim-out
        VM_EXPECTED=$expected
        . "$here/lib.sh"
        cd "$w/sim-data"
        steps
        echo "VM-RESULT passed=$vm_passed failed=$vm_failed"
      ) >"$w/sim.log" 2>&1 || true
    fi

    # The guest: the camera's flash images, EEPROM and files, the data and
    # the expected files, packed behind the base.
    pack=$w/pack/vm
    for f in "$VM_CAMERA"/dev/mtd[0-9]*; do
      case $f in *.geometry) continue ;; esac
      vmcheck blank "$f" || cp "$f" "$pack/flash/"
    done
    if [ ! -e "$VM_CAMERA/dev/i2c-2" ]; then
      eeprom=none
    elif [ ! -s "$VM_CAMERA/dev/i2c-2" ]; then
      eeprom=silent
    else
      eeprom=chip
      cp "$VM_CAMERA/dev/i2c-2" "$pack/eeprom"
    fi
    for d in tmp mnt/nand dev/shm; do
      [ -d "$VM_CAMERA/$d" ] && mkdir -p "$pack/root/$d" && cp -a "$VM_CAMERA/$d/." "$pack/root/$d/"
    done
    cp "$file" "$pack/scenario.sh"
    cp "$VM_CAMERA/proc/mtd" "$pack/proc-mtd"
    [ -d "$expected" ] && cp -a "$expected" "$pack/expected"
    cat >"$pack/camera.sh" <<EOF
VM_MTDPARTS='$VM_MTDPARTS'
VM_NANDSIM_BAD='$VM_NANDSIM_BAD'
VM_PART_START='$VM_PART_START'
VM_EEPROM=$eeprom
VM_ERASESIZE=$VM_ERASESIZE
VM_PAGESIZE=$VM_PAGESIZE
EOF
    { cat "$work/base.cpio.gz"; cpio_of "$w/pack"; } >"$w/initrd"
    echo "$slot" >"$w/slot"
    echo "$VM_MEMORY" >"$w/memory"
  ) >"$w/host.log" 2>&1 || {
    cat "$w/host.log"
    record "$name" FAIL "host preparation"
    return 0
  }

  if [ -f "$w/sim.log" ]; then
    sim=$(sed -n 's/^VM-RESULT passed=\([0-9]*\) failed=\([0-9]*\)$/\1 \2/p' "$w/sim.log")
    if [ -n "$sim" ] && [ "${sim#* }" = 0 ]; then
      record "$name" ok "sim: ${sim% *} checks"
    elif [ -n "$sim" ]; then
      record "$name" FAIL "sim: ${sim#* } of $((${sim% *} + ${sim#* })) checks failed"
      grep -v '^ok - ' "$w/sim.log" | sed 's/^/  | /'
    else
      record "$name" FAIL "sim: the steps did not finish"
      tail -20 "$w/sim.log" | sed 's/^/  | /'
    fi
  fi

  t0=$(date +%s)
  timeout 600 qemu-system-x86_64 -accel "$accel" -m "$(cat "$w/memory")" -smp 1 -nodefaults -display none \
    -monitor none -serial stdio -no-reboot -kernel "$kernel/vmlinux" -initrd "$w/initrd" \
    -append "console=ttyS0 panic=-1 loglevel=3 log_buf_len=32M $(cat "$w/slot")" \
    </dev/null 2>&1 | tr -d '\r' >"$w/console.log" || true
  seconds=$(($(date +%s) - t0))
  result=$(sed -n 's/^VM-RESULT passed=\([0-9]*\) failed=\([0-9]*\)$/\1 \2/p' "$w/console.log")
  if [ -n "$result" ] && [ "${result#* }" = 0 ]; then
    record "$name" ok "kernel: ${result% *} checks (${seconds}s)"
  elif [ -n "$result" ]; then
    record "$name" FAIL "kernel: ${result#* } of $((${result% *} + ${result#* })) checks failed"
    sed -n '/^VM-STEPS-BEGIN/,/^VM-STEPS-END/p' "$w/console.log" | grep -v '^ok - \|^VM-' |
      sed 's/^/  | /'
  else
    record "$name" FAIL "kernel: no result (${seconds}s), console:"
    tail -40 "$w/console.log" | sed 's/^/  | /'
  fi
  timing=$(sed -n 's/^VM-TIMING //p' "$w/console.log")
  if [ -n "$timing" ]; then
    summary="$summary$(echo "$timing" | awk '{
        for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
        printf "    %s: %.2f s, floor %.2f s, ratio %.3f (at most %s); the chip'"'"'s delays alone %.2f s;\n",
          $1, v["install"], v["seconds"], v["ratio"], v["limit"], v["delays"]
        printf "      %d erases, %d page programs, %d page reads (%d of the environment)",
          v["erases"], v["programs"], v["reads"], v["environment_reads"]
        if (NR < total) printf "\n" }' total="$(echo "$timing" | wc -l)")
"
    if [ -n "${UPDATE_VM_TIMING:-}" ]; then echo "$timing" >>"$UPDATE_VM_TIMING"; fi
  fi
}

say "kernel $abi, accel $accel, cache $cache"
for file in "$here"/scenarios/*.sh; do
  name=$(basename "$file" .sh)
  if [ $# -gt 0 ]; then
    wanted=0
    for pattern in "$@"; do case $name in "$pattern"*) wanted=1 ;; esac done
    [ $wanted = 1 ] || continue
  fi
  say "scenario $name"
  run_scenario "$file"
done

printf '%s' "$summary"
say "$(($(date +%s) - started)) seconds in all"
echo "$passed passed, $failed failed"
[ $failed = 0 ]
