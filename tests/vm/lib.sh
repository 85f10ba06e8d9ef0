# What scenario steps are written with. Sourced on both sides of the rig:
#   VM_SIDE=kernel  in the guest: the production update on the kernel's
#                   devices, ROOT empty
#   VM_SIDE=sim     on the host: update-sim on the simulated camera ROOT
# The same steps and the same expected files judge both.
# VM_EXPECTED: the scenario's expected files; VM_OUT: where outputs go.

vm_passed=0
vm_failed=0

pass() {
  vm_passed=$((vm_passed + 1))
  echo "ok - $VM_SIDE: $1"
}

fail() {
  vm_failed=$((vm_failed + 1))
  echo "not ok - $VM_SIDE: $1"
}

# The path of a camera file: dev 4 is /dev/mtd4 on the camera.
dev() { echo "$ROOT/dev/mtd$1"; }

# same NAME EXPECTED ACTUAL: a missing expected file stands for no output. A
# file EXPECTED.sim or EXPECTED.kernel beside it, where there is one, is what
# that side alone must give: a difference between the simulated camera and
# the kernel that is known, and written down there.
same() {
  expected=$2
  [ -f "$expected.$VM_SIDE" ] && expected=$expected.$VM_SIDE
  [ -f "$expected" ] || expected=/dev/null
  if cmp -s "$expected" "$3"; then
    pass "$1"
  else
    fail "$1"
    diff -u "$expected" "$3" | sed 's/^/    /'
  fi
}

# One-line summary of a flash trace: runs of consecutive erase blocks and
# programmed pages of the whole chip, "erase 12-15", "program 768-1023".
vm_runs() {
  awk '
    function flush() { if (op != "") print op " " (first == last ? first : first "-" last) }
    { if ($1 == op && $2 == last + 1) { last = $2; next } flush(); op = $1; first = $2; last = $2 }
    END { flush() }'
}

# The trace of the flash operations the last step made; the kernel's also
# has the page reads where the scenario logs them (trace_on).
vm_trace() {
  if [ "$VM_SIDE" = kernel ]; then
    dmesg -c | sed -n 's/.*log: erase sector \([0-9]*\).*/erase \1/p
                       s/.*log: programm page \([0-9]*\).*/program \1/p
                       s/.*log: read page \([0-9]*\)$/read \1/p'
  else
    [ -f "$ROOT/flash.log" ] || return 0
    awk -v starts="$VM_PART_START" -v block="$VM_ERASESIZE" -v page="$VM_PAGESIZE" '
      function hex(s,   i, c, v) {
        v = 0; s = tolower(substr(s, 3))
        for (i = 1; i <= length(s); i++) { c = index("0123456789abcdef", substr(s, i, 1)) - 1; v = v * 16 + c }
        return v
      }
      BEGIN { split(starts, start, " ") }
      {
        n = $2; sub(/.*mtd/, "", n); base = start[n + 1] * block
        from = base + hex($3); count = hex($4)
        if ($1 == "erase") for (b = from / block; b < (from + count) / block; b++) print "erase " b
        if ($1 == "write") for (p = from / page; p < (from + count) / page; p++) print "program " p
      }' "$ROOT/flash.log"
    rm -f "$ROOT/flash.log"
  fi
}

# tool STEP STATUS ARGS...: runs the tool with ARGS in the data directory and
# checks its exit status, standard output (STEP.out), standard error
# (STEP.err), the shell commands it ran (STEP.shell) and, where the scenario
# traces, the flash operations (STEP.trace).
tool() {
  step=$1
  status=$2
  shift 2
  out=$VM_OUT/$step
  rm -f "$out.shell"
  # VM_TIMED=1: the run's wall time goes to STEP.seconds.
  timer=
  [ "${VM_TIMED:-0}" = 1 ] && timer="vmcheck time $out.seconds"
  if [ "$VM_SIDE" = kernel ]; then
    VMSH_LOG=$out.shell $timer /bin/update "$@" >"$out.out" 2>"$out.err"
    rc=$?
  else
    rm -f "$ROOT/shell.log"
    UPDATE_SIM_ROOT=$ROOT $timer "$UPDATE_SIM" "$@" >"$out.out" 2>"$out.err"
    rc=$?
    # A pause is waited on the camera, only noted by the simulation.
    [ -f "$ROOT/shell.log" ] && grep -v '^# sleep ' "$ROOT/shell.log" >"$out.shell"
  fi
  touch "$out.shell"
  if [ "$rc" = "$status" ]; then
    pass "$step: update $* exits with $status"
  else
    fail "$step: update $* exits with $rc, not $status"
  fi
  same "$step: standard output" "$VM_EXPECTED/$step.out" "$out.out"
  same "$step: standard error" "$VM_EXPECTED/$step.err" "$out.err"
  same "$step: shell commands" "$VM_EXPECTED/$step.shell" "$out.shell"
  if [ "${VM_TRACE:-0}" = 1 ]; then
    # The simulation notes no reads: the judged trace leaves them out, and
    # STEP.ops keeps them for the floor.
    vm_trace | vm_runs >"$out.ops"
    grep -v '^read ' "$out.ops" | vm_runs >"$out.trace"
    same "$step: flash operations" "$VM_EXPECTED/$step.trace" "$out.trace"
  fi
}

# trace_on, trace_off: from here on the kernel logs every erase, page
# program and page read, or no longer does (for a scenario that loads nandsim
# with log=1 and wants a trace of some steps only).
trace_on() {
  VM_TRACE=1
  if on_kernel; then
    echo 'module nandsim +p' >/proc/dynamic_debug/control
    dmesg -c >/dev/null
  else
    rm -f "$ROOT/flash.log"
  fi
}

trace_off() {
  VM_TRACE=0
  on_kernel && echo 'module nandsim -p' >/proc/dynamic_debug/control
  return 0
}

# restore N...: devices N, and the files under /mnt/nand (the result log),
# hold again what the camera held before the first step.
restore() {
  if on_kernel; then
    camera=/vm/root
  else
    camera=$VM_CAMERA
    rm -f "$ROOT/flash.log"
  fi
  for mtd in "$@"; do
    if on_kernel; then
      check "mtd$mtd restored" vmcheck write "$(dev $mtd)" "/vm/flash/mtd$mtd"
    else
      check "mtd$mtd restored" cp "$camera/dev/mtd$mtd" "$(dev $mtd)"
    fi
  done
  rm -rf "$ROOT/mnt/nand"
  mkdir -p "$ROOT/mnt/nand"
  [ -d "$camera/mnt/nand" ] && cp -a "$camera/mnt/nand/." "$ROOT/mnt/nand/"
  return 0
}

# floor STEP NAME: the kernel carries out STEP's traced flash operations
# again with nothing else around them (vmcheck floor); the figures go to NAME.
floor() {
  on_kernel || return 0
  if vmcheck floor "$VM_OUT/$1.ops" >"$VM_OUT/$2" 2>&1; then
    pass "$1: the flash operations carried out again ($2)"
  else
    fail "$1: the flash operations carried out again ($2)"
    sed 's/^/    /' "$VM_OUT/$2"
  fi
}

# timing STEP BEFORE AFTER: STEP's last wall time against the mean of the
# floors BEFORE and AFTER, measured around it; the figures go to the console
# on a "VM-TIMING" line and to STEP.timing. Status 0 when the ratio is at
# most VM_TIMING_LIMIT.
timing() {
  on_kernel || return 0
  line=$(cd "$VM_OUT" && awk -v limit="$VM_TIMING_LIMIT" '
    FILENAME == ARGV[1] { install = $1; next }
    { for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
      floors += v["seconds"]; n++ }
    END { floor = floors / n; ratio = install / floor
      printf "install=%.3f seconds=%.3f ratio=%.3f limit=%s", install, floor, ratio, limit
      for (k in v) if (k != "seconds") printf " %s=%s", k, v[k]
      printf "\n"
      exit ratio <= limit ? 0 : 1 }' "$1.seconds" "$2" "$3")
  within=$?
  echo "VM-TIMING $1 $line"
  echo "$line" >>"$VM_OUT/$1.timing"
  return $within
}

# timing_is STEP: the best of STEP's timings is at most VM_TIMING_LIMIT times
# the flash's own floor. A busy host stretches the tool's own work but not the
# chip's busy-waits, so a run is taken again before it counts as too slow.
timing_is() {
  on_kernel || return 0
  best=$(sed -n 's/.* ratio=\([0-9.]*\) .*/\1/p' "$VM_OUT/$1.timing" | sort -n | head -1)
  if [ -n "$best" ] && awk -v best="$best" -v limit="$VM_TIMING_LIMIT" 'BEGIN { exit !(best <= limit) }'; then
    pass "$1: at most $VM_TIMING_LIMIT times the flash's own floor ($best)"
  else
    fail "$1: at most $VM_TIMING_LIMIT times the flash's own floor: the best was $best"
  fi
}

# env_is NAME N: the environment copy on device N, as vmcheck reads it
# (CRC, flag byte, variables), is the expected file NAME.
env_is() {
  vmcheck env "$(dev $2)" >"$VM_OUT/$1" 2>&1
  same "$1: environment copy on mtd$2" "$VM_EXPECTED/$1" "$VM_OUT/$1"
}

# check NAME COMMAND...: passes when COMMAND succeeds.
check() {
  name=$1
  shift
  if "$@" >"$VM_OUT/check.log" 2>&1; then
    pass "$name"
  else
    fail "$name"
    sed 's/^/    /' "$VM_OUT/check.log"
  fi
}

# payload_is N FILE [BAD,...]: device N holds FILE on its good blocks, then
# 0xFF to its end (the bad erase blocks of the partition are skipped).
payload_is() {
  check "mtd$1 holds $2${3:+, skipping block $3}" vmcheck payload "$(dev $1)" "$2" "$VM_ERASESIZE" ${3:-}
}

# blank_is N: device N is erased.
blank_is() { check "mtd$1 is erased" vmcheck blank "$(dev $1)"; }

# file_is NAME PATH: the camera file PATH holds the expected file NAME.
file_is() {
  rm -f "$VM_OUT/$1"
  [ -f "$ROOT$2" ] && cp "$ROOT$2" "$VM_OUT/$1"
  same "$1: $2" "$VM_EXPECTED/$1" "$VM_OUT/$1"
}

# Steps that only the kernel can answer.
on_kernel() { [ "$VM_SIDE" = kernel ]; }
