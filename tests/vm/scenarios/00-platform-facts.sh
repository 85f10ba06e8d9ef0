# What the platform answers to each flash and bus request the tool makes, on
# a NAND partition with a bad erase block and on the EEPROM's bus: asked
# through the tool's own Platform interface, of the kernel (LinuxPlatform on
# nandsim and i2c-stub) and of the simulated camera (SimPlatform).
VM_BAD="cfg:3"

camera() { mkcamera; }

steps() {
  if on_kernel; then
    vmfacts /dev/mtd7 3 >"$VM_OUT/facts" 2>&1
    # The rig's own layout: nandsim numbers the camera's bad block as such.
    vmcheck bad /dev/mtd7 >"$VM_OUT/bad" 2>&1
    same "nandsim reports block 3 of cfg bad" "$VM_EXPECTED/bad" "$VM_OUT/bad"
  else
    UPDATE_SIM_ROOT=$ROOT vmfacts-sim /dev/mtd7 3 >"$VM_OUT/facts" 2>&1
  fi
  same "flash and bus answers" "$VM_EXPECTED/facts" "$VM_OUT/facts"
}
