#!/usr/bin/env bash
# Screenshots of the program on a real X desktop (Xvfb) with an XEmbed tray (trayer) and a
# notification daemon (dunst), in English and Japanese: the window's Status page with its port
# paths, the tray icon at 22 px and the "ready" notification of a port just made.
#   tests/desktop/screenshots.sh <qx-manager> <output directory>
# Exits 77 (skipped) when a desktop tool is missing.
set -euo pipefail
program="$1" out="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
for tool in Xvfb trayer dunst xwd dbus-daemon python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
mkdir -p "$out"

. "$here/common.sh"
# Both ports listed with their paths, as the window shows them once they are made.
ports_made() { [ "$("$program" --status | grep -c "$XDG_RUNTIME_DIR/qx-manager/COM[56]")" -ge 2 ]; }
# The tray is ready once it owns the system tray selection of the display's screen.
tray_ready() {
  python3 -c 'import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XInternAtom.restype = ctypes.c_ulong
x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x.XGetSelectionOwner.restype = ctypes.c_ulong
display = x.XOpenDisplay(None)
sys.exit(0 if display and x.XGetSelectionOwner(display, x.XInternAtom(display, b"_NET_SYSTEM_TRAY_S0", 0)) else 1)'
}
notifications_shown() { [ "$(dunstctl count displayed)" -ge 1 ]; }

shoot() {
  local lang="$1" locale="$2" display=":$((200 + RANDOM % 500))"
  local root
  root="$(mktemp -d)"
  mkdir -m 0700 "$root/run" "$root/home"
  Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
  eventually test -S "/tmp/.X11-unix/X${display#:}"
  export DISPLAY="$display" HOME="$root/home" XDG_RUNTIME_DIR="$root/run"
  export QXM_SIMULATED_DEVICES=1 QT_QPA_PLATFORM=xcb
  unset QXM_PORTS_DIR
  DBUS_SESSION_BUS_ADDRESS="$(dbus-daemon --session --fork --print-address=1 --print-pid=3 \
    3>"$root/dbus.pid")"
  export DBUS_SESSION_BUS_ADDRESS
  pids+=("$(cat "$root/dbus.pid")")
  dunst >"$root/dunst.log" 2>&1 & pids+=($!)
  trayer --edge bottom --align right --height 22 --widthtype request --SetDockType true \
    --tint 0x303030 --transparent true --alpha 0 >"$root/trayer.log" 2>&1 & pids+=($!)
  eventually dunstctl is-paused
  eventually tray_ready
  LC_ALL="$locale" "$program" >"$root/program.log" 2>&1 & local manager=$!
  pids+=("$manager")
  eventually serving
  # A port made now announces itself: "COM5 is ready: <path>".
  "$program" --set-port QX4SIM0001 CAT 5 >/dev/null
  "$program" --set-port QX4SIM0001 PTTCW 6 >/dev/null
  eventually ports_made
  eventually notifications_shown
  xwd -root -silent -display "$display" >"$root/desktop.xwd"
  python3 "$here/../support/xwd_to_png.py" "$root/desktop.xwd" "$out/desktop_$lang.png"
  kill "$manager"
  wait "$manager" 2>/dev/null || true
  echo "$out/desktop_$lang.png"
}

shoot en en_US.UTF-8
shoot ja ja_JP.UTF-8
