# The slot switch: -S 2 on a camera running slot 1 rewrites the slot digits
# of bootargs and bootcmd (one save of both copies each), announces the
# switch, waits 3 seconds and issues the reboot command, which the guest's
# shell answers without restarting the machine.
VM_TRACE=1

camera() { mkcamera --slot 1; }

steps() {
  started=$(date +%s)
  tool switch 0 -S 2
  if on_kernel; then
    check "the reboot waited 3 seconds" [ $(($(date +%s) - started)) -ge 3 ]
  fi
  env_is switch.env1 1
  env_is switch.env2 2
  tool version 0 -v
}
