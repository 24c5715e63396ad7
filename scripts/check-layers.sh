#!/usr/bin/env bash
# Folders depend downward only: core <- platform <- vsp <- link <- manager <- app <- ui <- program,
# and sim beside platform; the keying-port helper (helper/) sees core, platform and vsp (its
# relay serves the port through vsp's CuseSession). Fails, naming the file, when a file includes
# a header of a layer it may not see.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
  [core]="core"
  [platform]="core platform"
  [sim]="core platform sim"
  [vsp]="core platform vsp"
  [link]="core platform vsp link"
  [manager]="core platform vsp link manager"
  [app]="core platform vsp link manager app"
  [ui]="core platform vsp link manager app ui"
  [program]="core platform vsp link manager app ui sim program"
  [helper]="core platform vsp helper"
)
status=0
for layer in "${!allowed[@]}"; do
  for file in $(find "$layer" -name '*.h' -o -name '*.cpp' | sort); do
    while IFS= read -r target; do
      if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
        echo "$file includes a header of $target, which $layer may not see"
        status=1
      fi
    done < <(sed -nE 's|^#include "([a-z]+)/[^"]*".*|\1|p' "$file")
  done
done
[ $status -eq 0 ] && echo "layers: every include points downward"
exit $status
