#!/usr/bin/env bash
# Installs the Debian packages the project needs, by what is to be done:
#   scripts/install-deps.sh run       build and run the program (scripts/run.sh)
#   scripts/install-deps.sh test      that, plus the test suite, sanitizers, fuzzing, the
#                                     virtual-machine and booted-system tests (scripts/test.sh)
#   scripts/install-deps.sh package   that of run, plus building and checking the Debian package
#   scripts/install-deps.sh [all]     everything above, and the compiler cache (CI)
set -euo pipefail
run=(
  build-essential cmake ninja-build pkg-config
  libhidapi-dev libudev-dev udev libsystemd-dev systemd
  qt6-base-dev libgl-dev
  xvfb xauth fonts-noto-cjk qt6-translations-l10n
)
test=(
  git googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format ccache
  socat trayer dunst x11-apps dbus-daemon libhamlib-utils jq python3-serial
  at-spi2-core python3-pyatspi
  mmdebstrap qemu-system-x86 qemu-system-arm e2fsprogs cpio xz-utils kmod
)
package=(git lintian appstream librsvg2-bin)
case "${1:-all}" in
  run) packages=("${run[@]}") ;;
  test) packages=("${run[@]}" "${test[@]}") ;;
  package) packages=("${run[@]}" "${package[@]}") ;;
  all) packages=("${run[@]}" "${test[@]}" "${package[@]}") ;;
  *) echo "usage: $0 [run|test|package|all]" >&2; exit 2 ;;
esac
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
