#!/usr/bin/env bash
# ctest's emulator for the linux-i386 build: runs a 32-bit program natively
# where the kernel can, under qemu-i386 where it cannot.
# REGISTER_I386_RUNNER=qemu forces qemu, so that path runs on any machine;
# REGISTER_I386_RUNNER=native forces the kernel.
set -euo pipefail

program=${1:?usage: linux-i386-run.sh program [arguments...]}

runner=${REGISTER_I386_RUNNER:-}
if [ -z "$runner" ]; then
  # The i386 dynamic loader is itself a 32-bit program: if the kernel cannot
  # start it, it can start no other.
  if /lib/ld-linux.so.2 --help >/dev/null 2>&1; then
    runner=native
  else
    runner=qemu
  fi
fi
case $runner in
native) exec "$@" ;;
qemu)
  if ! command -v qemu-i386 >/dev/null 2>&1; then
    echo "linux-i386-run.sh: qemu-i386 is not installed (Debian's qemu-user; scripts/install-deps.sh i386)" >&2
    exit 1
  fi
  exec qemu-i386 "$@"
  ;;
*)
  echo "linux-i386-run.sh: REGISTER_I386_RUNNER must be native or qemu, not '$runner'" >&2
  exit 2
  ;;
esac
