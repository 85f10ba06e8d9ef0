# A full installation from slot 1: kernel and file system into ker2 and fs2,
# erase block 1 of ker2 bad. The payloads must land on the good blocks in
# order, the running slot stays as it was, the firmware records and then the
# boot arguments name the new slot.
VM_BAD="ker2:1"
VM_TRACE=1

camera() { mkcamera --slot 1; }

data() {
  random_file uImage 1500000 1
  random_file rootfs.ubi 6000000 2
  "$MKUPFW" -o upfw.bin -e 1:ker:4.2.2.11:uImage:2022/5/6 \
    -e 2:fs:40.7.0.81:rootfs.ubi:2022/5/6:0:1 -e 3:cmd:0.1.0.3
}

steps() {
  tool install 0 -u ./upfw.bin
  payload_is 4 uImage 1
  payload_is 6 rootfs.ubi
  blank_is 3
  blank_is 5
  env_is install.env1 1
  env_is install.env2 2
  file_is install.upfw.log /mnt/nand/upfw.log
  tool show 0 --show
}
