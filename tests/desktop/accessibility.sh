#!/usr/bin/env bash
# The window as a screen reader meets it, in English and Japanese: the program on an X desktop
# (Xvfb) with the accessibility bus, walked over AT-SPI by accessibility_walk.py.
#   tests/desktop/accessibility.sh <qx-manager>
# Exits 77 (skipped) when a piece of the desktop or of the accessibility stack is missing.
set -euo pipefail
program="$1"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
for tool in Xvfb dbus-daemon; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
[ -x /usr/libexec/at-spi-bus-launcher ] || { echo "skipped: at-spi2-core is not installed"; exit 77; }
# pyatspi comes with the system's Python, which may not be the first on PATH.
python=""
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c 'import pyatspi' 2>/dev/null; then python="$candidate"; break; fi
done
[ -n "$python" ] || { echo "skipped: python3-pyatspi is not installed"; exit 77; }

. "$here/common.sh"

walk() {
  local lang="$1" locale="$2" display=":$((200 + RANDOM % 500))"
  local root
  root="$(mktemp -d)"
  mkdir -m 0700 "$root/run" "$root/home"
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
  eventually test -S "/tmp/.X11-unix/X${display#:}"
  export DISPLAY="$display" HOME="$root/home" XDG_RUNTIME_DIR="$root/run"
  export QXM_SIMULATED_DEVICES=1 QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
  unset QXM_PORTS_DIR
  # The session bus starts the accessibility bus on demand, with this display.
  DBUS_SESSION_BUS_ADDRESS="$(dbus-daemon --session --fork --print-address=1 --print-pid=3 \
    3>"$root/dbus.pid")"
  export DBUS_SESSION_BUS_ADDRESS
  pids+=("$(cat "$root/dbus.pid")")
  LC_ALL="$locale" "$program" >"$root/program.log" 2>&1 & local manager=$!
  pids+=("$manager")
  eventually serving
  # A CAT port with a path to select, and two channels without a port show "Add port...".
  "$program" --set-port QX4SIM0001 CAT 5 >/dev/null
  "$program" --set-port QX4SIM0001 FSK 0 >/dev/null
  "$program" --set-port QX4SIM0001 WINKEY 0 >/dev/null
  local status=0
  LC_ALL="$locale" "$python" "$here/accessibility_walk.py" "$manager" "$lang" "$program" ||
    status=$?
  kill "$manager"
  wait "$manager" 2>/dev/null || true
  return "$status"
}

status=0
walk en en_US.UTF-8 || status=$?
[ "$status" -eq 77 ] && exit 77
walk ja ja_JP.UTF-8 || { s=$?; [ "$s" -eq 77 ] || status=$s; }
exit "$status"
