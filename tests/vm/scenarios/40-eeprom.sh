# The compatibility gate with the identity EEPROM on the kernel's I2C bus: the
# chip information is read from the chip (SMBus byte reads on i2c-stub),
# stored in the boot environment and judged (an old speed dome, character 16
# is '4', refuses a version above 7.0.70). A later run takes the stored
# string and leaves the chip alone, even when the chip now says otherwise.
VM_TRACE=1

camera() { mkcamera --slot 1 --chipinfo VTC29H6301SA100E4110N00040000000; }

data() {
  head -c 100 /dev/zero >payload
  "$MKUPFW" -o upfw.bin -e 1:ker:4.2.2.11:payload -e 2:fs:40.7.0.81:payload
  # Another chip information, for the second run.
  { printf 'VTC29H6301SA100E0110N00040000000'; head -c 224 /dev/zero | tr '\0' '\377'; } >eeprom2
}

steps() {
  tool gate 240 -u ./upfw.bin
  env_is gate.env1 1
  env_is gate.env2 2
  file_is gate.upfw.log /mnt/nand/upfw.log
  if on_kernel; then
    vmcheck eeprom /dev/i2c-2 0x50 eeprom2
  else
    cp eeprom2 "$ROOT/dev/i2c-2"
  fi
  tool again 240 -u ./upfw.bin
}
