# An installation that fails after the kernel went in: the file system needs
# 127 erase blocks and a page, fs2 has 128 with one bad, so the flash ends
# before the payload does. The new kernel's record stays, the boot arguments
# still start slot 1; a result log from an earlier run is replaced.
VM_BAD="fs2:5"
VM_TRACE=1

camera() {
  mkcamera --slot 1 && printf 'earlier run\n' >"$VM_CAMERA/mnt/nand/upfw.log"
}

data() {
  random_file uImage 1048576 3
  random_file rootfs.ubi $((127 * 131072 + 2048)) 4
  head -c $((127 * 131072)) rootfs.ubi >fs2.written
  "$MKUPFW" -o upfw.bin -e 1:ker:4.2.2.11:uImage:2022/5/6 -e 2:fs:40.7.0.81:rootfs.ubi:2022/5/6
}

steps() {
  tool install 11 -u ./upfw.bin
  payload_is 4 uImage
  payload_is 6 fs2.written 5
  blank_is 3
  blank_is 5
  env_is install.env1 1
  env_is install.env2 2
  file_is install.upfw.log /mnt/nand/upfw.log
  tool version 0 -v
}
