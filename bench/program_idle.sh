#!/usr/bin/env bash
# The running program's own idle cost. For each way of running it (headless, and the window
# hidden in the tray on Qt's offscreen platform) and for 1, 4 and 16 simulated interfaces with
# all their ports assigned in the settings file, it starts qx-manager, waits for the ports,
# optionally holds interface 1's CAT port open without traffic, and prints the CPU time of all
# its threads (from schedstat) and the wake-ups (context switches) per second of each thread
# over the measuring time. Then, for each way, a first run with 16 interfaces the settings file
# does not know yet: how often the settings file was written (renames onto it and fsyncs of
# its temporary file) while the program started and when `qx-manager -x` ended it. Private
# HOME, runtime and ports directories.
#
#   bench/program_idle.sh <qx-manager> [seconds, 30] [--hold-cat]
set -euo pipefail
export LC_ALL=C
program=$(realpath "$1") seconds=${2:-30} hold=${3:-}
work=$(mktemp -d /tmp/qx-program-idle-XXXXXX)
pid="" holder=""
trap 'kill $pid $holder 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run
export QXM_PORTS_DIR=$work/ports QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY
ini_dir="$XDG_DATA_HOME/Halvorn/QX Manager"
ini="$ini_dir/QX Manager.ini"

fresh_home() {
  rm -rf "$work/home" "$work/data" "$work/config" "$work/run" "$work/ports"
  mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$QXM_PORTS_DIR" "$ini_dir"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
}

# Device n gets COM<n>1 to COM<n>4.
write_ini() {
  local text="" i
  for ((i = 1; i <= $1; i++)); do
    text+=$(printf '[Interface-QX4SIM%04d]\r\nPortCat=%d1\r\nPortPttCw=%d2\r\nPortFsk=%d3\r\nPortWinkey=%d4\r\n' $i $i $i $i $i)$'\r\n'
  done
  { printf '\xff\xfe'; printf '%s' "$text" | iconv -f UTF-8 -t UTF-16LE; } >"$ini"
}

mode_flag() { [ "$1" = headless ] && echo --headless || echo -m; }

# Waits until the ports directory holds $1 ports (the first scan runs about 5 s after start).
wait_ports() {
  local _
  for _ in $(seq 1 300); do
    [ "$(find "$QXM_PORTS_DIR" -maxdepth 1 -name 'COM*' | wc -l)" -ge "$1" ] && return 0
    sleep 0.1
  done
  echo "the ports did not appear" >&2
  exit 1
}

# One line per thread present at the start: "<tid> <context switches> <run ns>".
threads() {
  local task run switches
  for task in /proc/$pid/task/*; do
    read -r run _ <"$task/schedstat" 2>/dev/null || continue
    switches=$(awk '/ctxt_switches/ {s += $2} END {print s}' "$task/status" 2>/dev/null) || continue
    echo "${task##*/} $switches $run"
  done
}

idle() {
  local mode=$1 interfaces=$2
  fresh_home
  write_ini "$interfaces"
  QXM_SIMULATED_DEVICES=$interfaces "$program" "$(mode_flag "$mode")" >/dev/null 2>&1 &
  pid=$!
  wait_ports $((interfaces * 4))
  if [ "$hold" = "--hold-cat" ]; then
    sleep infinity <>"$QXM_PORTS_DIR/COM11" &
    holder=$!
  fi
  sleep 2 # start-up exchanges and the first poll
  threads | sort >"$work/before"
  local start end
  start=$(date +%s%N)
  sleep "$seconds"
  threads | sort >"$work/after"
  end=$(date +%s%N)
  # Each thread's name is its start routine's, which the program does not set; the main thread
  # is the one whose id is the process's.
  join "$work/before" "$work/after" | awk -v pid="$pid" -v wall=$((end - start)) -v n="$interfaces" \
    -v mode="$mode" -v hold="$hold" '
    { rate[$1] = ($4 - $2) * 1e9 / wall; ns += $5 - $3; total += rate[$1]; count++ }
    END {
      printf "%s, %d interface(s)%s: %.3f %% of one core, %.1f wake-ups/s in %d threads\n",
             mode, n, hold == "" ? ", no port open" : ", CAT port held open", 100 * ns / wall, total, count
      quiet = 0; quietSum = 0
      for (t in rate) {
        if (t == pid) printf "  main thread        %6.2f/s\n", rate[t]
        else if (rate[t] >= 0.05) printf "  thread %-10s  %6.2f/s\n", t, rate[t]
        else { quiet++; quietSum += rate[t] }
      }
      if (quiet) printf "  %d other threads  %6.2f/s together\n", quiet, quietSum
    }'
  kill "$pid" $holder 2>/dev/null || true
  wait "$pid" $holder 2>/dev/null || true
  pid="" holder=""
}

# Settings writes of a first run with interfaces the settings file does not know yet: while the
# program starts and gives them ports, then when `-x` ends it.
first_exit() {
  local mode=$1 interfaces=$2 trace=$work/strace
  fresh_home
  QXM_SIMULATED_DEVICES=$interfaces strace -f -y -qq -o "$trace" \
    -e trace=rename,renameat,renameat2,fsync,fdatasync "$program" "$(mode_flag "$mode")" >/dev/null 2>&1 &
  pid=$!
  wait_ports $((interfaces * 4))
  sleep 2
  local before start end
  before=$(grep -c 'QX Manager.ini' "$trace" || true)
  start=$(date +%s%N)
  QXM_SIMULATED_DEVICES=$interfaces "$program" -x >/dev/null 2>&1 || echo "  (-x reported a failure)"
  wait "$pid" 2>/dev/null || true
  end=$(date +%s%N)
  pid=""
  # A rename names the file it replaces; an fsync names the temporary file it syncs.
  awk -v before="$before" -v n="$interfaces" -v mode="$mode" -v exitMs=$(((end - start) / 1000000)) '
    /QX Manager.ini/ {
      seen++
      phase = seen <= before ? "start" : "exit"
      if ($0 ~ /rename/) renames[phase]++
      else syncs[phase]++
    }
    END {
      printf "%s, first run with %d new interfaces: start-up %d renames / %d fsyncs of the settings file; exit %d renames / %d fsyncs, -x took %d ms\n",
             mode, n, renames["start"], syncs["start"], renames["exit"], syncs["exit"], exitMs
    }' "$trace"
}

for mode in headless hidden; do
  for interfaces in 1 4 16; do idle "$mode" "$interfaces"; done
done
for mode in headless hidden; do first_exit "$mode" 16; done
