#!/usr/bin/env bash
# Runs a command as root in a build chroot (scripts/release-chroot.sh) with the work tree at /src
# and /proc, /sys, /dev and a fresh /tmp mounted; the mounts are private to the command and
# vanish with it. An arm64 chroot has its own qemu-aarch64-static, which runs its arm64 programs
# under user-mode emulation (this machine has no binfmt_misc: the emulator is named).
#   scripts/chroot-run.sh <chroot> <command> [args...]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 <chroot> <command> [args...]" >&2; exit 2; }
root="$(cd "$(dirname "$0")/.." && pwd)"
exec unshare --mount --propagation private -- bash -euc '
  dir="$1" src="$2"; shift 2
  mount --rbind /dev "$dir/dev"
  mount --rbind /sys "$dir/sys"
  mount -t proc proc "$dir/proc"
  mount -t tmpfs tmpfs "$dir/tmp"
  mkdir -p "$dir/src"
  mount --bind "$src" "$dir/src"
  cd "$dir/src"
  exec chroot "$dir" env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
    LANG=C.UTF-8 ${QX_CI:+QX_CI=$QX_CI} ${SOURCE_DATE_EPOCH:+SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH} \
    sh -c "cd /src && exec \"\$@\"" sh "$@"
' _ "$1" "$root" "${@:2}"
