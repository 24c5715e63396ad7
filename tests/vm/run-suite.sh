#!/usr/bin/env bash
# The tests that need a real kernel (uhid, cuse), run in the virtual machine of run.sh: builds
# build/ with them, runs the CTest label vm, and keeps every guest's output and console in
# build/vm-logs. Fails when a check fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build
cmake -S . -B "$build" -G Ninja -DQX_VM_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target qx_vm_tests
export QX_VM_KEEP="$PWD/$build/vm-logs"
mkdir -p "$QX_VM_KEEP"
status=0
ctest --test-dir "$build" -L vm --output-on-failure || status=$?
echo "guest logs: $QX_VM_KEEP"
exit "$status"
