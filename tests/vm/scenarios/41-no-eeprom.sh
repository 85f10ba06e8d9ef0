# The compatibility gate without the identity EEPROM: first a bus on which no
# chip answers at 0x50 (i2c-stub holds its chip at 0x51), then no bus at all.
# The chip counts as absent (old firmware refused), the chip information is
# the built-in default and is not stored.
VM_TRACE=1

camera() { mkcamera --slot 1 --silent-eeprom; }

data() {
  head -c 100 /dev/zero >payload
  printf '#!/bin/sh\necho tool\n' >tool
  # As the image carries it: filled up to 2048 bytes.
  { cat tool; head -c $((2048 - 20)) /dev/zero | tr '\0' '\377'; } >tool.padded
  "$MKUPFW" -o old.bin -e 1:ker:4.2.2.11:payload -e 2:fs:40.7.0.62:payload
  "$MKUPFW" -o new.bin -e 1:ker:4.2.2.11:payload -e 2:fs:40.7.0.63:payload \
    -e 3:cmd:0.1.0.3:tool
}

steps() {
  tool silent 240 -u ./old.bin
  tool silent-new 0 -a ./new.bin
  check "the unpacked tool is the image's" cmp "$ROOT/dev/shm/update" tool.padded
  if on_kernel; then rm /dev/i2c-2; else rm "$ROOT/dev/i2c-2"; fi
  tool no-bus 240 -u ./old.bin
  tool no-bus-new 0 -a ./new.bin
}
