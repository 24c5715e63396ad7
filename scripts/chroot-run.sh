#!/usr/bin/env bash
# Runs a command as root in a build chroot (scripts/release-chroot.sh) with the work tree at /src
# and /proc, /sys, /dev and a fresh /tmp mounted; the mounts are private to the command and
# vanish with it. An arm64 chroot has its own qemu-aarch64-static, which runs its arm64 programs
# under user-mode emulation (this machine has no binfmt_misc: the emulator is named).
# A compiler cache named by CMAKE_CXX_COMPILER_LAUNCHER=ccache and CCACHE_DIR (as CI sets them)
# is mounted and used inside.
#   scripts/chroot-run.sh <chroot> <command> [args...]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 <chroot> <command> [args...]" >&2; exit 2; }
root="$(cd "$(dirname "$0")/.." && pwd)"
cache_dir="" cache_env=""
if [ "${CMAKE_CXX_COMPILER_LAUNCHER:-}" = ccache ] && [ -n "${CCACHE_DIR:-}" ]; then
  cache_dir="$CCACHE_DIR/$(basename "$1")"  # the chroot's compilers and ccache are its own
  mkdir -p "$cache_dir"
  cache_env="CCACHE_DIR=/ccache CCACHE_BASEDIR=/src CCACHE_NOHASHDIR=1
      CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G} CMAKE_CXX_COMPILER_LAUNCHER=ccache
      CMAKE_C_COMPILER_LAUNCHER=ccache"
fi
exec unshare --mount --propagation private -- bash -euc '
  dir="$1" src="$2" cache_dir="$3" cache_env="$4"; shift 4
  mount --rbind /dev "$dir/dev"
  mount --rbind /sys "$dir/sys"
  mount -t proc proc "$dir/proc"
  mount -t tmpfs tmpfs "$dir/tmp"
  mkdir -p "$dir/src"
  mount --bind "$src" "$dir/src"
  [ -z "$cache_dir" ] || { mkdir -p "$dir/ccache"; mount --bind "$cache_dir" "$dir/ccache"; }
  cd "$dir/src"
  exec chroot "$dir" env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
    LANG=C.UTF-8 ${QX_CI:+QX_CI=$QX_CI} ${SOURCE_DATE_EPOCH:+SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH} \
    $cache_env \
    sh -c "cd /src && exec \"\$@\"" sh "$@"
' _ "$1" "$root" "$cache_dir" "$cache_env" "${@:2}"
