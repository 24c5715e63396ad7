#!/usr/bin/env bash
# Makes, once, a build chroot of a Debian release from the package registry (mmdebstrap), with
# what the project needs to build and test, and prints its path. With "arm64" the chroot is
# multiarch: the arm64 cross compilers and the arm64 libraries beside the native tools.
#   scripts/release-chroot.sh <debian13|debian12> [arm64]
# The chroot is kept under QX_CHROOT_CACHE (default /var/cache/qx-manager), so a fresh clone on
# the same machine reuses it; the package list is installed into it on every call (a no-op when
# nothing is missing), so a longer list does not make a new chroot.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
release="${1:-}"
arch="${2:-}"
case "$release" in
  debian13) suite=trixie ;;
  debian12) suite=bookworm ;;
  *) echo "usage: $0 <debian13|debian12> [arm64]" >&2; exit 2 ;;
esac
case "$arch" in
  "" | amd64) arch=amd64 ;;
  arm64) ;;
  *) echo "$0: unknown architecture '$arch' (amd64 or arm64)" >&2; exit 2 ;;
esac

# Native build and check tools, then the libraries for the target architecture.
native=(build-essential cmake ninja-build pkg-config git dpkg-dev file fakeroot lintian appstream
        librsvg2-bin socat jq dbus-daemon libhamlib-utils xauth xvfb fonts-noto-cjk
        qt6-translations-l10n
        qt6-base-dev-tools ca-certificates ccache)
libraries=(qt6-base-dev libgl-dev libhidapi-dev libudev-dev libsystemd-dev libgtest-dev
           libgmock-dev googletest libbenchmark-dev)
architectures=amd64
if [ "$arch" = arm64 ]; then
  architectures=amd64,arm64
  # Debian 13's emulator translates the termios2 ioctls that the port component uses.
  native+=(crossbuild-essential-arm64 qemu-user-static)
  libraries=("${libraries[@]/%/:arm64}")
  libraries=("${libraries[@]/googletest:arm64/googletest}")
fi

cache="${QX_CHROOT_CACHE:-/var/cache/qx-manager}"
dir="$cache/chroot-$release-$arch"
# One maker at a time: a second caller (CI runs stages side by side) waits for the first.
mkdir -p "$cache"
exec 9>"$cache/.lock-$release-$arch"
flock 9
if [ ! -f "$dir/.ready" ]; then
  command -v mmdebstrap >/dev/null || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >/dev/null
  }
  rm -rf "$dir"
  echo "chroot: making $dir with mmdebstrap (a few minutes, once)" >&2
  start=$SECONDS
  include="$(IFS=,; echo "${native[*]},${libraries[*]}")"
  mmdebstrap --quiet --variant=apt --architectures="$architectures" --include="$include" \
    "$suite" "$dir" http://deb.debian.org/debian >&2
  touch "$dir/.ready"
  echo "chroot: ready in $((SECONDS - start)) s" >&2
fi
missing=()
for p in "${native[@]}" "${libraries[@]}"; do
  chroot "$dir" dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "chroot: installing ${missing[*]}" >&2
  chroot "$dir" apt-get update -qq >&2
  chroot "$dir" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
fi
echo "$dir"
