#!/bin/sh
# Builds the libFuzzer targets with clang in their own build directory and
# runs each for SECONDS (default 30) from its seed corpus, under
# AddressSanitizer and UndefinedBehaviorSanitizer. Fails on any finding; the
# input that found it is left in BUILD/artifacts/. A summary line per target
# gives its executions.
#
#   fuzz/run.sh [SECONDS]        FUZZ_BUILD_DIR (default build-fuzz)
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=${FUZZ_BUILD_DIR:-build-fuzz}

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null

# An input file is bounded by its own size.
max_len() {
  case "$1" in
    image) echo 16384 ;;
    env) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

mkdir -p "$build/artifacts"
failed=0
for target in image env firmware_record mtd cmdline gate; do
  # New inputs go to a corpus in the build directory; the seeds stay as
  # they are.
  work="$build/corpus/$target"
  mkdir -p "$work"
  log="$build/$target.log"
  if "$build/${target}_fuzz" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
      "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    result="no findings"
  else
    result="FINDING (see $log and $build/artifacts/)"
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  printf '%s: %s executions in %s s, %s\n' "$target" "${runs:-?}" "$seconds" "$result"
done
exit "$failed"
