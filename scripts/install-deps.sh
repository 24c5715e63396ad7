#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run and test.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git
  libhidapi-dev libudev-dev udev libsystemd-dev systemd
  qt6-base-dev libgl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  xvfb xauth fonts-noto-cjk socat trayer dunst x11-apps
  lintian appstream librsvg2-bin
  dbus-daemon libhamlib-utils jq
  at-spi2-core python3-pyatspi
  mmdebstrap qemu-system-x86 qemu-system-arm e2fsprogs cpio xz-utils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
