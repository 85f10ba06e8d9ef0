# The boot environment on the kernel's flash: loading from two freshly
# written copies (the second is newer and holds other values), the version
# and show reports, and two variables set, each written to both copies by
# whole erase blocks (copy not in use first) with the counter flags raised.
VM_TRACE=1

# Copy 0 (env1) from one camera, copy 1 (env2), newer, from another; behind
# each copy, in the same erase blocks, bytes that a save must keep.
camera() {
  mkcamera --slot 1 --flags 7,8 --set sn=OLD0000 || return 1
  "$MKCAMERA" --slot 1 --flags 7,8 --set sn=NEW0001 --set ipaddr=192.168.1.77 "$VM_CAMERA.2" &&
    cp "$VM_CAMERA.2/dev/mtd2" "$VM_CAMERA/dev/mtd2" || return 1
  for n in 1 2; do
    head -c 4096 /dev/zero | tr '\0' "\13$n" |
      dd of="$VM_CAMERA/dev/mtd$n" bs=4096 seek=$((0x7F000 / 4096)) conv=notrunc 2>/dev/null
  done
}

data() {
  for n in 1 2; do dd if="$VM_CAMERA/dev/mtd$n" of=tail$n bs=4096 skip=64 2>/dev/null; done
}

# tail_kept N: the bytes behind the copy on device N are as they were.
tail_kept() {
  check "mtd$1 keeps the bytes behind its copy" \
    sh -c "dd if='$(dev $1)' bs=4096 skip=64 2>/dev/null | cmp - tail$1"
}

steps() {
  tool version 0 -v
  tool show 0 --show
  tool set 0 -N SN0042 --delay 3
  env_is set.env1 1
  env_is set.env2 2
  tail_kept 1
  tail_kept 2
  tool show-after 0 --show
}
