#!/bin/sh
# Installs what a fresh Debian machine lacks for building and testing.
set -eu
packages="cmake g++ make libgtest-dev libgmock-dev clang libclang-rt-14-dev"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -eq 0 ]; then as_root=""; else as_root="sudo"; fi
  $as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -qq $missing
fi
