#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (sanitizers on) and runs each for a bounded time.
#   scripts/fuzz.sh [seconds per target, default 45]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
seconds="${1:-45}"
build=build-fuzz
CXX=clang++ CC=clang cmake -S . -B "$build" -G Ninja -DQX_FUZZ=ON -DQX_BUILD_UI=OFF \
    -DQX_SANITIZE=address -DBUILD_TESTING=ON >/dev/null
targets=$(find tests/fuzz -name '*_fuzz.cpp' -exec basename {} .cpp \; | sort)
[ -n "$targets" ] || { echo "no fuzz targets"; exit 0; }
cmake --build "$build" -j"$(nproc)" --target $targets
for t in $targets; do
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    echo "== $t for ${seconds}s"
    "$build/tests/$t" -max_total_time="$seconds" -print_final_stats=1 "$corpus" 2>&1 \
        | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' || true
    # libFuzzer exits non-zero and leaves a crash-* file when it finds a fault.
    if ls crash-* leak-* timeout-* >/dev/null 2>&1; then
        echo "$t found a fault:"; ls crash-* leak-* timeout-* 2>/dev/null; exit 1
    fi
done
