# What the desktop tests share, sourced with $program set: the processes they start (ended
# on exit) and waiting for a state.
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

# Waits up to 20 s for a command to succeed.
eventually() {
  for _ in $(seq 200); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "timed out: $*" >&2
  return 1
}

serving() { "$program" --status | grep -q QX4SIM0001; }
