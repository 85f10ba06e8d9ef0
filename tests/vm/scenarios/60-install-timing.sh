# What an installation costs against the flash's own floor: a 32 MiB image
# (6 MiB kernel, 26 MiB file system) from slot 1, with nandsim's timing model
# on (25 us to read a page, 200 us to program one, 2 ms to erase a block,
# 50 and 40 ns a byte in and out). The tool installs twice on the same
# camera: traced first, so that its flash operations can be carried out again
# by a program that does nothing else (vmcheck floor); then, with the
# environment put back, untraced and timed, between two such floors, up to
# three times while it takes longer than 1.25 times the floor.
VM_MEMORY=1024
VM_TIMING_LIMIT=1.25
VM_NANDSIM="log=1 do_delays=1 access_delay=25 programm_delay=200 erase_delay=2 input_cycle=50
  output_cycle=40"

camera() { mkcamera --slot 1 --size ker=8M --size fs=32M; }

data() {
  random_file uImage $((6 << 20)) 5
  random_file rootfs.ubi $((26 << 20)) 6
  "$MKUPFW" -o upfw.bin -e 1:ker:4.2.2.11:uImage:2022/5/6 \
    -e 2:fs:40.7.0.81:rootfs.ubi:2022/5/6:0:1
}

steps() {
  trace_on
  tool install 0 -u ./upfw.bin
  trace_off
  payload_is 4 uImage
  payload_is 6 rootfs.ubi
  env_is install.env1 1
  env_is install.env2 2
  floor install floor.0
  for attempt in 1 2 3; do
    restore 1 2
    VM_TIMED=1
    tool install 0 -u ./upfw.bin
    VM_TIMED=0
    floor install floor.$attempt
    timing install floor.$((attempt - 1)) floor.$attempt && break
  done
  timing_is install
}
