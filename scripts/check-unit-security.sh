#!/usr/bin/env bash
# Scores every service unit of the package with systemd's offline security analysis and fails
# when one is exposed more than its limit (0 is fully confined, 10 not at all). Needs no running
# systemd. The user unit (qx-manager.service) runs as the desktop user, where a service manager
# can confine far less (nothing that needs a namespace or drops capabilities), so it has a limit
# of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
system_limit=2.0
user_limit=6.5
user_units=(qx-manager.service.in)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The user manager's analysis looks for the runtime directory even offline.
mkdir -m 0700 "$work/runtime"
failed=0
for template in packaging/*.service.in; do
    name=$(basename "$template" .in)
    sed -e 's|@QX_HELPER_PATH@|/usr/libexec/qx-cuse-helper|g' \
        -e 's|@CMAKE_INSTALL_FULL_BINDIR@|/usr/bin|g' "$template" >"$work/$name"
    analyze=(systemd-analyze security --offline=true --no-pager)
    limit=$system_limit
    if [[ " ${user_units[*]} " == *" $(basename "$template") "* ]]; then
        analyze=(env XDG_RUNTIME_DIR="$work/runtime" "${analyze[@]}" --user)
        limit=$user_limit
    fi
    score=$("${analyze[@]}" "$work/$name" 2>&1 |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    if [ -z "$score" ]; then
        echo "$name: no score from systemd-analyze" >&2
        failed=1
    elif awk -v s="$score" -v l="$limit" 'BEGIN { exit !(s > l) }'; then
        echo "$name: exposure $score, above $limit:" >&2
        "${analyze[@]}" "$work/$name" | grep '✗' >&2 || true
        failed=1
    else
        echo "$name: exposure $score (limit $limit)"
    fi
done
exit "$failed"
