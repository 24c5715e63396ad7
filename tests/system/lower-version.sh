#!/usr/bin/env bash
# Makes the package of an earlier release from a package: the same files, the version's last
# number lowered (1.0.1 -> 1.0.0, 1.0.0 -> 0.9.9), so that installing the original over it is
# an upgrade.
#   lower-version.sh <package.deb> <output.deb>
set -euo pipefail
tree="$(mktemp -d)"
trap 'rm -rf "$tree"' EXIT
dpkg-deb -R "$1" "$tree"
version="$(dpkg-deb -f "$1" Version)"
lower="$(awk -F. '{ if ($3 > 0) print $1 "." $2 "." $3 - 1;
                    else if ($2 > 0) print $1 "." $2 - 1 ".9";
                    else print $1 - 1 ".9.9" }' <<<"$version")"
sed -i "s/^Version: .*/Version: $lower/" "$tree/DEBIAN/control"
dpkg-deb --root-owner-group -Zxz -b "$tree" "$2" >/dev/null
