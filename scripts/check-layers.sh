#!/usr/bin/env bash
# Folders depend downward only: platform <- vsp <- link <- manager <- app <- ui, and sim beside
# platform; the keying-port helper (helper/) sees platform and vsp. Fails, naming the file,
# when a file includes a header of a layer it may not see.
# The program's entry (app/main.cpp) is the one place that may reach ui and the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
  [platform]="platform"
  [sim]="platform sim"
  [vsp]="platform vsp"
  [link]="platform vsp link"
  [manager]="platform vsp link manager"
  [app]="platform vsp link manager app"
  [ui]="platform vsp link manager app ui"
  [helper]="platform vsp helper"
)
status=0
for layer in "${!allowed[@]}"; do
  for file in $(find "$layer" -name '*.h' -o -name '*.cpp' | sort); do
    [ "$file" = app/main.cpp ] && continue
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
