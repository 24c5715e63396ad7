#!/usr/bin/env bash
# The running program's own idle cost: starts qx-manager on simulated interfaces with all their
# ports assigned, waits for the ports, optionally holds interface 1's CAT port open without
# traffic, and prints the CPU time of all its threads (from schedstat, in ns) and their
# wake-ups (context switches) per second over the measuring time. Private HOME and ports.
#
#   bench/program_idle.sh <qx-manager> <interfaces> <seconds> [--hold-cat]
set -euo pipefail
program=$1 interfaces=$2 seconds=$3 hold=${4:-}
work=$(mktemp -d /tmp/qx-program-idle-XXXXXX)
trap 'kill $pid $holder 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
holder=""
export HOME=$work/home XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run
export QXM_PORTS_DIR=$work/ports QXM_SIMULATED_DEVICES=$interfaces QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$QXM_PORTS_DIR" "$XDG_DATA_HOME/Halvorn/QX Manager"
mkdir -m 700 "$XDG_RUNTIME_DIR"
ini=""
for ((i = 1; i <= interfaces; i++)); do
  ini+=$(printf '[Interface-QX4SIM%04d]\r\nPortCat=%d1\r\nPortPttCw=%d2\r\nPortFsk=%d3\r\nPortWinkey=%d4\r\n' $i $i $i $i $i)$'\r\n'
done
{ printf '\xff\xfe'; printf '%s' "$ini" | iconv -f UTF-8 -t UTF-16LE; } > "$XDG_DATA_HOME/Halvorn/QX Manager/QX Manager.ini"

"$program" -m >/dev/null 2>&1 &
pid=$!
# The first scan runs about 5 s after start.
for _ in $(seq 1 150); do
  [ -e "$QXM_PORTS_DIR/COM${interfaces}4" ] && break
  sleep 0.1
done
[ -e "$QXM_PORTS_DIR/COM${interfaces}4" ] || { echo "the ports did not appear" >&2; exit 1; }
if [ "$hold" = "--hold-cat" ]; then
  sleep infinity <>"$QXM_PORTS_DIR/COM11" &
  holder=$!
fi
sleep 2  # start-up exchanges and the first poll

# Sums over the program's threads: run time in ns, and context switches.
figures() {
  local ns=0 switches=0 task
  for task in /proc/$pid/task/*; do
    read -r run _ < "$task/schedstat" || continue
    ns=$((ns + run))
    switches=$((switches + $(awk '/ctxt_switches/ {s += $2} END {print s}' "$task/status")))
  done
  echo "$ns $switches"
}
read -r ns0 sw0 < <(figures)
start=$(date +%s%N)
sleep "$seconds"
read -r ns1 sw1 < <(figures)
end=$(date +%s%N)
awk -v ns=$((ns1 - ns0)) -v sw=$((sw1 - sw0)) -v wall=$((end - start)) -v n="$interfaces" -v hold="$hold" \
  'BEGIN { printf "qx-manager, %d interface(s)%s: %.3f %% of one core, %.1f wake-ups/s\n",
           n, hold == "" ? ", no port open" : ", CAT port held open", 100 * ns / wall, sw * 1e9 / wall }'
