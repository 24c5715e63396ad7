#!/usr/bin/env bash
# Installs what is needed, builds the project and runs the whole test suite with CTest.
#   scripts/test.sh            the suite in a normal build (build/)
#   scripts/test.sh address    the suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/test.sh thread     the suite under ThreadSanitizer
# With QX_CI set (as .ci/run does), compiler warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh test
sanitize="${1:-}"
build="build${sanitize:+-$sanitize}"
werror=OFF
[ -n "${QX_CI:-}" ] && werror=ON
# Line tables are all a CI log or a sanitizer's report needs, and a sanitizer finds its faults
# as well at -O1: together about half the compile time of -O2 with full debug information.
level=-O2 debug=-g
[ -n "$sanitize" ] && level=-O1
[ -n "${QX_CI:-}${sanitize}" ] && debug=-g1
cmake -S . -B "$build" -G Ninja -DQX_SANITIZE="$sanitize" -DQX_WERROR="$werror" \
    -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$level $debug -DNDEBUG" >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
