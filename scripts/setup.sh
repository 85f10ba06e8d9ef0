#!/bin/sh
# Installs what a fresh Debian machine lacks: the named packages, or without
# names what building and testing need.
#   scripts/setup.sh [PACKAGE...]
set -eu
[ $# -gt 0 ] || set -- cmake g++ make libgtest-dev libgmock-dev clang libclang-rt-14-dev
missing=""
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -eq 0 ]; then as_root=""; else as_root="sudo"; fi
  $as_root apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -qq $missing
fi
