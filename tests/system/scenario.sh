#!/bin/bash
# Runs as root in the booted image (qx-system-test.service) once the system is up: installs the
# package, uses it as user ham (logged in on tty1) with a uhid device and radio programs,
# upgrades, removes and purges it. Every check is one "ok"/"FAIL" line of the log; figures go to
# the figures file. Leaves its log, figures, screenshot and exit code (the number of failed
# checks) on the test disk and powers off.
set -uo pipefail
disk=/srv/qx-test
out=$disk/out
exec >"$out/log" 2>&1
timeout_s="$(sed -n 's/.*qx\.timeout=\([0-9]*\).*/\1/p' /proc/cmdline)"
# "short" (emulated arm64): install, the headless service, keying and CAT; no window, no upgrade.
scenario="$(sed -n 's/.*qx\.scenario=\([a-z]*\).*/\1/p' /proc/cmdline)"
(sleep "${timeout_s:-600}"; echo "watchdog: the scenario did not end"; sync; systemctl poweroff -ff) &

failures=0
check() {  # check <what> <command...>
    local what="$1"; shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
figure() { echo "$*" | tee -a "$out/figures"; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }
wait_for() {  # wait_for <seconds> <command...>
    local until=$((SECONDS + $1)); shift
    until "$@"; do [ $SECONDS -lt $until ] || return 1; sleep 0.2; done
}
finish() {
    echo "$failures checks failed"
    journalctl -b --no-pager >"$out/journal.log" 2>&1
    # What the device received, to tell a keying fault from a misread log.
    cat "$uhid_log" >>"$out/uhid.log" 2>/dev/null
    cp /tmp/latency "$out/latency.log" 2>/dev/null
    echo "$failures" >"$out/exit-code"
    sync
    systemctl poweroff
    exit 0
}

ham_uid=1000
ham_env=(XDG_RUNTIME_DIR=/run/user/$ham_uid DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/$ham_uid/bus)
as_ham() { runuser -u ham -- env "${ham_env[@]}" "$@"; }
ports_dir=/run/user/$ham_uid/qx-manager
ini="/home/ham/.local/share/Halvorn/QX Manager/QX Manager.ini"
uhid_log=/tmp/uhid.log

figure "boot: $(uptime_s) s to the scenario ($(systemd-analyze 2>/dev/null | head -n1))"
echo "== $(. /etc/os-release; echo "$PRETTY_NAME"), kernel $(uname -r)"

# ham's seat session from getty's autologin, which udev's uaccess tag needs.
ham_session_active() { loginctl show-user ham -p State --value 2>/dev/null | grep -qx active; }
check "ham is logged in on tty1 with an active seat session" wait_for 120 ham_session_active
loginctl list-sessions --no-legend

# The window has drawn itself once a tenth of the (black) screen is lit.
window_drawn() {
    python3 - /tmp/fb/Xvfb_screen0 <<'PY'
import sys
frame = open(sys.argv[1], "rb").read()
pixels = frame[int.from_bytes(frame[:4], "big"):]
sys.exit(0 if (len(pixels) - pixels.count(0)) * 10 > len(pixels) else 1)
PY
}

helper_started() { [ "$(systemctl show qx-cuse-helper.service -p ExecMainStartTimestampMonotonic --value)" != 0 ]; }
helper_idle() { ! helper_started; }

echo "== install"
# The disk is thrown away after the run: dpkg need not sync every file it writes.
echo force-unsafe-io >/etc/dpkg/dpkg.cfg.d/qx-test
# Its dependencies are in the image already: only the package itself is unpacked here.
# The emulated arm64 image holds the package's dependencies only, not its recommends
# (tests/system/foreign-image.sh): the short scenario installs it without them.
no_recommends=()
[ "$scenario" = short ] && no_recommends=(--no-install-recommends)
check "apt installs the package, offline" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q "${no_recommends[@]}" "$disk/qx-manager.deb"
dpkg-query -W qx-manager
check "the helper's socket is enabled" systemctl -q is-enabled qx-cuse-helper.socket
check "the helper's socket is listening" systemctl -q is-active qx-cuse-helper.socket
check "the helper itself has not started yet" helper_idle
check "the relays' system user exists" getent passwd qx-cuse-relay
version="$(dpkg-query -W -f='${Version}' qx-manager)"
version="${version%%~deb*}"  # a release suffix (~deb13) is the package's alone
check "--version names the package's version" \
    bash -c "qx-manager --version | grep -qxF 'qx-manager $version'"

if [ "$scenario" != short ]; then
    echo "== the window under Xvfb, with a session bus"
    mkdir -p /tmp/fb && chown ham /tmp/fb
    # A black root window, so that the window's drawing shows in the frame buffer's file.
    as_ham Xvfb :1 -screen 0 1024x768x24 -br -fbdir /tmp/fb -nolisten tcp &
    xvfb=$!
    as_ham env DISPLAY=:1 dbus-run-session -- qx-manager -s >"$out/window.log" 2>&1 &
    window=$!
    check "the window is drawn" wait_for 120 window_drawn
    check "the window's program runs on the display" kill -0 "$window"
    cp /tmp/fb/Xvfb_screen0 "$out/screenshot.xwd"
    check "-x ends the window's program" as_ham env DISPLAY=:1 timeout 30 qx-manager -x
    wait "$window"
    kill "$xvfb"
fi

echo "== the headless user service"
# On a desktop RealtimeKit runs already (the sound server asks it at login); started here too, so
# that the program's first request does not wait for the bus to start it and polkit.
[ "$scenario" = full ] && systemctl start rtkit-daemon polkit
check "systemctl --user enable --now qx-manager" as_ham systemctl --user enable --now qx-manager
headless_running() { as_ham systemctl --user -q is-active qx-manager; }
check "the user service runs" wait_for 30 headless_running
# The first plug may come before the program's first scan; the replug below comes long after
# it, so there only the device notice can find the interface.

echo "== plug in"
plug() {
    # Each plug starts a new device log: the earlier one is kept with the results.
    [ -f "$uhid_log" ] && cat "$uhid_log" >>"$out/uhid.log"
    rm -f /tmp/uhid.in && mkfifo /tmp/uhid.in
    "$disk/qx_uhid" --log "$uhid_log" </tmp/uhid.in &
    uhid=$!
    exec 8>/tmp/uhid.in
}
unplug() { echo destroy >&8; exec 8>&-; wait "$uhid"; }
# jq rather than python3, which the short scenario's system does without.
status_field() {  # status_field <jq filter over the first interface>
    as_ham qx-manager --status --json 2>/dev/null | jq -r ".interfaces[0] // empty | $1" 2>/dev/null
}
port_of() { status_field "if .channels[$1].created then .channels[$1].port else \"\" end"; }
ports_served() { local ptt; ptt="$(port_of 1)"; [ -n "$ptt" ] && [ -c "$(readlink -f "$ptt")" ]; }
since() { awk -v a="$1" -v b="$(uptime_s)" 'BEGIN { printf "%.2f", b - a }'; }
interface_found() { [ -n "$(status_field .serialNumber)" ]; }
plugged_at="$(uptime_s)"
plug
check "the interface appears" wait_for 60 interface_found
figure "plug-in to interface found: $(since "$plugged_at") s"
serial="$(status_field .serialNumber)"
# The channels are known once the device has answered the program's first questions.
channels_known() { [ "$(status_field '.channels[0].supported and .channels[1].supported')" = true ]; }
check "the device reported its CAT and PTT/CW channels" wait_for 60 channels_known
# A new user chooses the port numbers first, as on the Ports page.
check "CAT gets COM5" as_ham qx-manager --set-port "$serial" CAT 5
check "PTT/CW gets COM6" as_ham qx-manager --set-port "$serial" PTTCW 6
check "the ports are served, the keying port a character device" wait_for 60 ports_served
ls -l "$ports_dir" /dev/hidraw* /dev/qx-COM* 2>&1
check "uaccess gave ham the hidraw node" as_ham test -r /dev/hidraw0 -a -w /dev/hidraw0
check "the first request started the helper" helper_started
helper_journal() { journalctl -b --no-pager -u qx-cuse-helper.socket -u qx-cuse-helper.service; }
helper_journal | tail -n 5
check "the helper granted both ports" bash -c \
    "journalctl -b -u qx-cuse-helper.service | grep -q 'granted qx-COM5' &&
     journalctl -b -u qx-cuse-helper.service | grep -q 'granted qx-COM6'"
# The relays chroot into an empty directory of the unit's private /tmp and drop to their user.
check "the keying ports' relays run as qx-cuse-relay" pgrep -u qx-cuse-relay
check "no relay failed to confine itself" bash -c \
    "! journalctl -b -u qx-cuse-helper.service | grep -E 'relay for .*: |could not be confined'"
as_ham qx-manager --status --json
cat_port="$(port_of 0)"
ptt_port="$(port_of 1)"

echo "== radio programs as ham"
line_report_with() {  # line_report_with <bit>: a line report since the last mark has the bit
    local stamp kind id flags rest
    while read -r stamp kind id flags rest; do
        [ "$kind" = REPORT ] && [ "$id" = 3: ] && (( 16#$flags & $1 )) && return 0
    done < <(tail -n +"$mark" "$uhid_log")
    return 1
}
mark_log() { mark=$(($(wc -l <"$uhid_log") + 1)); }
mark_log
check "rigctl keys PTT by RTS" as_ham rigctl -m 1 -p "$ptt_port" -P RTS T 1
check "the device got PTT on" wait_for 10 line_report_with 1
mark_log
check "rigctl keys CW by DTR" as_ham rigctl -m 1 -p "$ptt_port" -P DTR T 1
check "the device got CW on" wait_for 10 line_report_with 2
mark_log
# rigctl's own trace of the exchange, for when it fails.
check "rigctl sets the frequency over CAT" \
    bash -c "runuser -u ham -- rigctl -vvvv -m 2014 -r '$cat_port' -s 9600 F 14074000 2>/tmp/rigctl.log"
tail -n 25 /tmp/rigctl.log
tail -n +"$mark" "$uhid_log" | head -n 20
check "rigctl reads it back" bash -c "runuser -u ham -- rigctl -m 2014 -r '$cat_port' -s 9600 f | grep -qx 14074000"
[ "$scenario" = short ] && finish
# With RealtimeKit (full scenario only), the user's link worker and the threads serving its keying
# ports get real-time scheduling; the relays have it from the helper.
realtime_of() { as_ham qx-manager --status --json 2>/dev/null | jq -r ".realtime.$1.scheduling"; }
for hop in linkWorkers portThreads; do
    check "RealtimeKit gives ham's $hop real-time scheduling" test "$(realtime_of "$hop")" = realtimeKit
done
check "the keying ports' relays run SCHED_FIFO" test "$(realtime_of relays)" = fifo
as_ham qx-manager --status | grep 'Real-time priority'
ps -L -o pid,tid,cls,rtprio,comm -u ham,qx-cuse-relay
# Bytes the program dropped for a port it thought unread would explain a CAT exchange lost.
as_ham qx-manager --status --json | python3 -c "import json, sys
for c in json.load(sys.stdin)['interfaces'][0]['channels']: print(c['channel'], 'dropped', c['droppedBytes'])"
chmod 0644 "$uhid_log"
# The port stays open until the device has the settings: the program passes them on at its
# next look at the port.
check "pyserial's 4800 7E2 reached the device" as_ham python3 - "$cat_port" "$uhid_log" <<'PY'
import sys, time
import serial
port = serial.Serial(sys.argv[1], 4800, bytesize=7, parity="E", stopbits=2)
deadline = time.monotonic() + 30
while time.monotonic() < deadline:
    log = open(sys.argv[2]).read()
    if "CMD SET CAT;SPEED=4800" in log and "CMD SET CAT;MODE=7E2" in log:
        sys.exit(0)
    time.sleep(0.2)
sys.exit(1)
PY
as_ham python3 "$disk/keying_latency.py" "$ptt_port" "$uhid_log" 10 2>&1 | tee /tmp/latency
figure "$(grep 'keying latency' /tmp/latency || echo 'keying latency: not measured')"
# Emulation slows everything, so only a generous bound is asserted.
check "the median keying latency is under 100 ms" \
    awk '/keying latency: median/ { found = $4 + 0 < 100 } END { exit !found }' /tmp/latency

echo "== the whole unit killed while keyed"
# As a hung program's stop ends after TimeoutStopSec, or systemd-oomd ends it: every process of
# the unit at once. The guard has left the unit, so it still releases what a radio program keys.
last_line_flags() { awk '$2 == "REPORT" && $3 == "3:" { f = $4 } END { print f }' "$uhid_log"; }
released() { [ -n "$(last_line_flags)" ] && (( 16#$(last_line_flags) == 0 )); }
guard_scope() { as_ham systemctl --user list-units --no-legend 'qx-guardian-*.scope' | grep -q running; }
check "the transmitter guard runs in a scope of its own" wait_for 10 guard_scope
mark_log
as_ham python3 -c "import serial, sys, time
port = serial.Serial(sys.argv[1])  # pyserial raises RTS and DTR at open
time.sleep(600)" "$ptt_port" &
keyer=$!
check "a radio program keys PTT" wait_for 10 line_report_with 1
killed_at="$(uptime_s)"
check "systemctl --user kill -s KILL qx-manager" as_ham systemctl --user kill -s KILL qx-manager
check "the device is released" wait_for 10 released
figure "whole unit killed while keyed: released $(since "$killed_at") s later"
kill "$keyer"; wait "$keyer" 2>/dev/null
check "the unit starts again by itself" wait_for 30 headless_running
check "its ports come back" wait_for 60 ports_served

echo "== another user"
for port in "$cat_port" "$ptt_port" "$(readlink -f "$ptt_port")" /dev/hidraw0; do
    check "user other cannot open $port" \
        runuser -u other -- python3 -c "import sys
try: open(sys.argv[1], 'r+b')
except PermissionError: sys.exit(0)
sys.exit(1)" "$port"
done

echo "== unplug and replug"
unplug
ports_gone() { [ -z "$(ls "$ports_dir" 2>/dev/null)" ] || ! [ -e "$ptt_port" ]; }
check "the ports go with the interface" wait_for 60 ports_gone
plugged_at="$(uptime_s)"
plug
check "the ports come back" wait_for 60 ports_served
figure "plug-in to ports served (port numbers known): $(since "$plugged_at") s"
unplug

echo "== stop"
check "systemctl --user stop qx-manager" as_ham systemctl --user stop qx-manager
check "it ended cleanly" bash -c "runuser -u ham -- env ${ham_env[*]} systemctl --user show qx-manager -p Result --value | grep -qx success"
check "the settings were saved" test -s "$ini"

echo "== upgrade"
check "the earlier release installs over it" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --allow-downgrades "$disk/qx-manager-old.deb"
as_ham systemctl --user start qx-manager
plug
check "the earlier release serves the interface" wait_for 60 ports_served
check "a port number is set with the earlier release" as_ham qx-manager --set-port "$serial" CAT 42
as_ham systemctl --user stop qx-manager
unplug
cp "$ini" /tmp/ini.before
check "the new release installs over it" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q "$disk/qx-manager.deb"
check "the settings survive the upgrade" cmp -s "$ini" /tmp/ini.before
check "the port number survives the upgrade" bash -c "iconv -f UTF-16LE -t UTF-8 '$ini' | grep -q '=42'"
check "the socket stays enabled" systemctl -q is-enabled qx-cuse-helper.socket
check "the socket stays listening" systemctl -q is-active qx-cuse-helper.socket

echo "== remove and purge"
dpkg-query -L qx-manager | sort >/tmp/files
ours() {  # what of ours is still on the system, one per line
    while read -r f; do [ ! -d "$f" ] && [ -e "$f" -o -L "$f" ] && echo "$f"; done </tmp/files
    find /etc/systemd /lib/systemd /usr/lib/systemd /var/lib/systemd /etc/udev /run/udev/rules.d \
        /run/systemd/system /dev \( -name '*qx-manager*' -o -name 'qx-cuse-helper*' \
        -o -name 'qx-COM*' \) 2>/dev/null
    find /run -maxdepth 1 -name 'qx-cuse-helper*'  # the helper's socket
}
check "apt remove" env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q qx-manager
ours | tee /tmp/left
check "remove leaves nothing of ours but settings" bash -c "! grep -v '^/etc/' /tmp/left"
check "apt purge" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q qx-manager
ours | tee /tmp/left
check "purge leaves nothing of ours" test ! -s /tmp/left

finish
