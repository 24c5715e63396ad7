#!/usr/bin/env bash
# Builds every library and program (window, helper, simulator) with clang's thread-safety
# analysis, warnings as errors, so a field marked QX_GUARDED_BY used without its lock fails the
# build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-thread-safety
CXX=clang++ CC=clang cmake -S . -B "$build" -G Ninja -DBUILD_TESTING=OFF \
    -DQX_WERROR=ON -DCMAKE_CXX_FLAGS="-Wthread-safety" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -DNDEBUG" >/dev/null  # the analysis, not the code, counts
cmake --build "$build" -j"$(nproc)"
