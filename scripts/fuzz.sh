#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (sanitizers and coverage feedback on the code under
# test as well) and runs each for a bounded time, starting from a copy of its seed corpus in
# tests/fuzz/corpus/<target>/. A target is tests/fuzz/<name>_fuzz.cpp plus that folder.
#   scripts/fuzz.sh [seconds per target, default 45]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh test
seconds="${1:-45}"
build=build-fuzz
CXX=clang++ CC=clang cmake -S . -B "$build" -G Ninja -DQX_FUZZ=ON -DQX_BUILD_UI=OFF \
    -DQX_SANITIZE=address -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" >/dev/null
targets=$(find tests/fuzz -maxdepth 1 -name '*_fuzz.cpp' -exec basename {} .cpp \; | sort)
[ -n "$targets" ] || { echo "no fuzz targets"; exit 0; }
cmake --build "$build" -j"$(nproc)" --target $targets
for t in $targets; do
    seeds="tests/fuzz/corpus/$t"
    [ -d "$seeds" ] || { echo "$t has no seed corpus ($seeds)"; exit 1; }
    # A fresh copy each run: what a run adds stays in the build tree, the seeds stay as they are.
    corpus="$build/corpus/$t"
    rm -rf "$corpus" && mkdir -p "$corpus" && cp "$seeds"/* "$corpus"/
    log="$build/$t.log"
    echo "== $t for ${seconds}s from $(ls "$seeds" | wc -l) seeds"
    status=0
    "$build/tests/$t" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/$t-" \
        "$corpus" >"$log" 2>&1 || status=$?
    # The last status line carries the coverage reached: edges (cov) and features (ft).
    { grep -E 'cov: ' "$log" || true; } | tail -1
    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "$log" || true
    if [ "$status" -ne 0 ]; then
        echo "$t found a fault (exit $status); log: $log"
        ls "$build/$t"-* 2>/dev/null || true
        exit 1
    fi
done
