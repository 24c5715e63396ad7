#!/usr/bin/env bash
# Scores every system service unit of the package with systemd's offline security analysis
# and fails when one is exposed more than the limit (0 is fully confined, 10 not at all).
# Needs no running systemd. The user unit (qx-manager.service) runs as the desktop user and
# is not scored.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=2.0
user_units=(qx-manager.service.in)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for template in packaging/*.service.in; do
    name=$(basename "$template" .in)
    [[ " ${user_units[*]} " == *" $(basename "$template") "* ]] && continue
    sed 's|@QX_HELPER_PATH@|/usr/libexec/qx-cuse-helper|g' "$template" >"$work/$name"
    score=$(systemd-analyze security --offline=true --no-pager "$work/$name" 2>&1 |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    if [ -z "$score" ]; then
        echo "$name: no score from systemd-analyze" >&2
        failed=1
    elif awk -v s="$score" -v l="$limit" 'BEGIN { exit !(s > l) }'; then
        echo "$name: exposure $score, above $limit:" >&2
        systemd-analyze security --offline=true --no-pager "$work/$name" | grep '✗' >&2 || true
        failed=1
    else
        echo "$name: exposure $score (limit $limit)"
    fi
done
exit "$failed"
