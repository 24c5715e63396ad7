#!/usr/bin/env bash
# Installs what is needed, builds the program and starts it.
#   With no "QX-4" connected it runs against one simulated interface; choose yourself with
#   QXM_SIMULATED_DEVICES=<n> (n simulated interfaces, 0 for none) or QXM_SIMULATED_DEVICES=real.
#   Without a display it runs on a virtual one (xvfb) and says how to reach and stop it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh run
# The tests are configured too where their libraries are installed (scripts/test.sh does that).
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
testing=OFF
installed libgtest-dev && installed libgmock-dev && installed libbenchmark-dev && testing=ON
cmake -S . -B build -G Ninja -DBUILD_TESTING=$testing >/dev/null
cmake --build build -j"$(nproc)" --target qx-manager

interface_connected() {
    grep -qs 'HID_ID=0003:00000483:0000A1DE' /sys/class/hidraw/*/device/uevent
}
case "${QXM_SIMULATED_DEVICES:-}" in
    real) unset QXM_SIMULATED_DEVICES ;;
    "")
        if interface_connected; then
            echo "A QX-4 interface is connected: using it."
        else
            export QXM_SIMULATED_DEVICES=1
            echo "No QX-4 interface is connected: running against one simulated interface."
            echo "(QXM_SIMULATED_DEVICES=<n> chooses n simulated ones, =real the real hardware.)"
        fi ;;
esac

echo "Stop the program with its Exit command, with Ctrl+C here, or with: $PWD/build/qx-manager -x"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting on a virtual display (xvfb). The window is not visible,"
    echo "but the ports work: see the ports directory printed below."
    exec xvfb-run -a build/qx-manager "$@"
fi
exec build/qx-manager "$@"
