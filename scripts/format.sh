#!/usr/bin/env bash
# Formats every C++ file of the project with .clang-format.
#   scripts/format.sh           rewrites the files in place
#   scripts/format.sh --check   changes nothing; lists the files that differ and fails if any do
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
    status=0
    for f in "${files[@]}"; do
        if ! clang-format --dry-run --Werror "$f" 2>/dev/null; then
            echo "not formatted: $f"
            status=1
        fi
    done
    exit $status
fi
clang-format -i "${files[@]}"
