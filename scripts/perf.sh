#!/bin/sh
# Reproduces the figures of docs/performance.md: crc32 throughput beside
# zlib's crc32 and the plain table method, the time of an installation and of
# a variable set on the simulated camera, and the peak memory of
# installations of an 8 MiB and a 64 MiB image.
#
#   REPEAT  benchmark repetitions of each case (default 20)
#   RUNS    timed runs of each installation (default 5)
#   BUILD_DIR  the Release build to use (default build-perf)
#   VM=1    also time an installation against the flash's own floor in the
#           real-kernel rig (tests/vm/run.sh 60)
#
# The machine is shared, so every figure is the best and the median of
# several runs, and the checksum methods are compared within one run of one
# benchmark binary with their cases interleaved at random.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-perf}
repeat=${REPEAT:-20}
runs=${RUNS:-5}

for tool in /usr/bin/time awk sort; do
  command -v "$tool" >/dev/null || { echo "perf.sh: $tool is missing" >&2; exit 1; }
done

echo "== build (Release, benchmarks on) in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPDATE_BUILD_TESTS=OFF \
  -DUPDATE_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 >/dev/null

work=$(mktemp -d /tmp/update-perf-XXXXXX)
trap 'rm -rf "$work"' EXIT

# The middle value of the numbers on standard input (the lower of two).
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
smallest() { sort -g | head -n 1; }
largest() { sort -g | tail -n 1; }

echo "== machine"
printf 'cpu:      %s (%s cores)\n' "$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)" \
  "$(nproc)"
printf 'kernel:   %s\n' "$(uname -srm)"
printf 'compiler: %s\n' "$(c++ --version | head -n 1)"
printf 'zlib:     %s, benchmark: %s\n' "$(dpkg-query -W -f='${Version}' zlib1g 2>/dev/null || echo '?')" \
  "$(dpkg-query -W -f='${Version}' libbenchmark-dev 2>/dev/null || echo '?')"
printf 'load:     %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "== crc32 throughput: $repeat repetitions per case, CPU time"
"$build/bench/crc32_bench" --benchmark_repetitions="$repeat" --benchmark_min_time=0.1 \
  --benchmark_enable_random_interleaving=true --benchmark_format=csv >"$work/bench.csv" 2>/dev/null
if grep -q ',true,' "$work/bench.csv"; then
  echo "perf.sh: a benchmark failed:" >&2
  grep ',true,' "$work/bench.csv" >&2
  exit 1
fi
# One line per method and size: best and median CPU time in ns. The
# repetition rows have no _mean/_median/... suffix.
awk -F, 'NR > 1 && $1 !~ /_(mean|median|stddev|cv)"$/ {
           gsub(/"/, "", $1); split($1, part, "/"); print part[2], part[3], $4 }' \
  "$work/bench.csv" >"$work/samples"
for method in portable zlib table; do
  for size in 1024 65536 16777216; do
    awk -v m="$method" -v s="$size" '$1 == m && $2 == s { print $3 }' "$work/samples" >"$work/one"
    printf '%s %s %s %s\n' "$method" "$size" "$(smallest <"$work/one")" "$(median <"$work/one")"
  done
done >"$work/times"

awk '
  { best[$1, $2] = $3; mid[$1, $2] = $4 }
  function rate(ns, size) { return size / ns * 1e9 / 1048576 }
  END {
    printf "%-8s  %-22s  %-22s  %-22s  %-15s  %-15s\n", "size", "portable MiB/s", "zlib MiB/s",
           "table MiB/s", "portable/zlib", "portable/table"
    printf "%-8s  %-22s  %-22s  %-22s  %-15s  %-15s\n", "", "best (median)", "best (median)",
           "best (median)", "best (median)", "best (median)"
    n = split("1024 65536 16777216", sizes, " ")
    split("1 KiB,64 KiB,16 MiB", label, ",")
    for (i = 1; i <= n; ++i) {
      s = sizes[i]
      printf "%-8s  %8.0f (%8.0f)     %8.0f (%8.0f)     %8.0f (%8.0f)     %5.2f (%5.2f)    %5.2f (%5.2f)\n",
             label[i], rate(best["portable", s], s), rate(mid["portable", s], s),
             rate(best["zlib", s], s), rate(mid["zlib", s], s),
             rate(best["table", s], s), rate(mid["table", s], s),
             best["zlib", s] / best["portable", s], mid["zlib", s] / mid["portable", s],
             best["table", s] / best["portable", s], mid["table", s] / mid["portable", s]
    }
    for (i = 2; i <= n; ++i) {
      s = sizes[i]
      z = mid["zlib", s] / mid["portable", s]
      t = mid["table", s] / mid["portable", s]
      printf "target %-6s portable >= zlib: %s (median ratio %.2f); portable >= 3 x table: %s (%.2f)\n",
             label[i], (z >= 1 ? "met" : "MISSED"), z, (t >= 3 ? "met" : "MISSED"), t
    }
    # What the checksum costs the work below: an installation checks its
    # payload twice (verification and read-back), a variable set walks the
    # 262139-byte data area of the environment.
    printf "checksum of 2 x 32 MiB: portable %.0f ms, table %.0f ms (16 MiB medians)\n",
           4 * mid["portable", 16777216] / 1e6, 4 * mid["table", 16777216] / 1e6
    printf "checksum of 262139 bytes: portable %.0f us, table %.0f us (64 KiB medians)\n",
           262139 / 65536 * mid["portable", 65536] / 1e3, 262139 / 65536 * mid["table", 65536] / 1e3
  }' "$work/times"

# A camera whose second slot takes the payloads, with an image of `ker` and
# `fs` bytes of payload in dev/shm/updateFM.bin.
make_image() {
  head -c "$1" /dev/urandom >"$work/ker"
  head -c "$2" /dev/urandom >"$work/fs"
  "$build/mkupfw" -o "$work/updateFM.bin" -e 1:ker:4.2.2.11:"$work/ker":2022/5/6 \
    -e 2:fs:40.7.0.81:"$work/fs":2022/5/6:0:1
}
fresh_camera() {
  "$build/mkcamera" --force --size fs=64M --size ker=8M "$work/camera"
  cp "$work/updateFM.bin" "$work/camera/dev/shm/updateFM.bin"
}

# Runs update-sim with the arguments under /usr/bin/time -v; appends
# "elapsed-seconds max-rss-KiB" to the file named first.
timed() {
  into=$1
  shift
  UPDATE_SIM_ROOT="$work/camera" /usr/bin/time -v -o "$work/time.txt" "$build/update-sim" "$@" \
    >"$work/run.out" 2>&1 || {
    echo "perf.sh: update-sim $* failed:" >&2
    tail -n 5 "$work/run.out" >&2
    exit 1
  }
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0
                                          for (i = 1; i <= n; ++i) s = s * 60 + t[i] }
              /Maximum resident set size/ { rss = $2 }
              END { print s, rss }' "$work/time.txt" >>"$into"
}

# $runs installations of the current image, each on a fresh camera; their
# figures go to the file named.
installs() {
  : >"$1"
  i=0
  while [ "$i" -lt "$runs" ]; do
    fresh_camera
    timed "$1" -u
    i=$((i + 1))
  done
}

echo
echo "== installation on the simulated camera (update-sim -u), $runs runs, fresh camera each"
mkdir -p "$work/camera"
make_image $((6 << 20)) $((26 << 20))
installs "$work/install32"
printf '32 MiB of payload (6 MiB ker, 26 MiB fs): best %s s, median %s s\n' \
  "$(cut -d' ' -f1 "$work/install32" | smallest)" "$(cut -d' ' -f1 "$work/install32" | median)"

echo
echo "== variable set (update-sim -N), 50 sets in a row"
fresh_camera
start=$(date +%s%N)
i=0
while [ "$i" -lt 50 ]; do
  UPDATE_SIM_ROOT="$work/camera" "$build/update-sim" -N "SN$i" >/dev/null 2>&1 || {
    echo "perf.sh: update-sim -N failed" >&2
    exit 1
  }
  i=$((i + 1))
done
end=$(date +%s%N)
awk -v ns=$((end - start)) 'BEGIN { printf "one variable set: %.1f ms (mean of 50)\n", ns / 50 / 1e6 }'

echo
echo "== peak resident memory of an installation, $runs runs per image size"
for mib in 8 64; do
  make_image $((2 << 20)) $(((mib - 2) << 20))
  installs "$work/memory$mib"
  printf '%2s MiB image: max RSS %s to %s KiB\n' "$mib" \
    "$(cut -d' ' -f2 "$work/memory$mib" | smallest)" "$(cut -d' ' -f2 "$work/memory$mib" | largest)"
done
# The floor: the same binary printing its version, with no installation.
: >"$work/memory0"
timed "$work/memory0" -v
printf 'update-sim -v alone: max RSS %s KiB\n' "$(cut -d' ' -f2 "$work/memory0")"
small=$(cut -d' ' -f2 "$work/memory8" | largest)
big=$(cut -d' ' -f2 "$work/memory64" | largest)
awk -v a="$small" -v b="$big" 'BEGIN {
  printf "target under 8 MiB: %s; 64 MiB against 8 MiB: %+d KiB\n",
         (a < 8192 && b < 8192) ? "met" : "MISSED", b - a }'

# The installation against the flash's own floor needs the real kernel: the
# VM rig's timing scenario (about a minute and a half once the rig's kernel
# is cached; tests/vm/run.sh installs what it needs).
if [ "${VM:-0}" = 1 ]; then
  echo
  echo "== installation against the flash's own floor (VM rig, nandsim's timing model)"
  UPDATE_VM_TIMING=$work/vm tests/vm/run.sh 60 >"$work/vm.log" 2>&1 || {
    cat "$work/vm.log" >&2
    exit 1
  }
  awk '{ for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
         printf "attempt %d: install %.2f s, floor %.2f s, ratio %.3f; delays alone %.2f s\n",
           NR, v["install"], v["seconds"], v["ratio"], v["delays"] }
       END { printf "%d erases, %d page programs, %d page reads (%d of the environment)\n",
           v["erases"], v["programs"], v["reads"], v["environment_reads"] }' "$work/vm"
fi
