#!/usr/bin/env bash
# Builds the core libraries with clang's thread-safety analysis, warnings as errors, so a field
# marked QX_GUARDED_BY used without its lock fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-thread-safety
CXX=clang++ CC=clang cmake -S . -B "$build" -G Ninja -DQX_BUILD_UI=OFF -DBUILD_TESTING=OFF \
    -DQX_WERROR=ON -DCMAKE_CXX_FLAGS="-Wthread-safety" >/dev/null
cmake --build "$build" -j"$(nproc)" --target qxapp qxsim
