#!/usr/bin/env bash
# Cross-builds the project and its test suite for arm64 in a Debian 13 chroot and runs the suite
# there under qemu-aarch64-static (user-mode emulation: correctness only, timings mean nothing).
# The few tests that user-mode emulation cannot serve are skipped by name, each with its reason,
# as listed in tests/emulation-skips.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
chroot="$(./scripts/release-chroot.sh debian13 arm64)"
skips="$(sed -nE 's/^([^#[:space:]][^[:space:]]*).*/\1/p' tests/emulation-skips.txt | paste -sd'|')"
werror=OFF
[ -n "${QX_CI:-}" ] && werror=ON
./scripts/chroot-run.sh "$chroot" bash -euc '
  werror="$1" skips="$2" exclude=()
  export QX_TEST_EMULATOR=qemu-aarch64-static  # runs the program the tests start
  [ -n "$skips" ] && exclude=(-E "$skips")
  # Correctness only: -O1 without debug information compiles in half the time of -O2 -g.
  cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
      -DQX_WERROR="$werror" -DQX_BENCHMARKS=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" \
      -DQX_TEST_TIMEOUT_SCALE=5 >/dev/null
  cmake --build build-arm64 -j"$(nproc)"
  # Emulated, every test runs several times slower: the time limits grow fivefold (above), and
  # a test whose bound a busy emulator missed gets a second run.
  ctest --test-dir build-arm64 -j"$(nproc)" --repeat until-pass:2 \
      --output-on-failure "${exclude[@]}"
' _ "$werror" "$skips"
