#pragma once
// The virtual port component over CUSE: ports with real keying lines.
//
// Each instance is one port: CreatePort("COM5") starts the character device /dev/qx-COM5 (see
// CuseDevice) and publishes it as the symlink <ports directory>/COM5. Programs see a serial
// port in every way they can tell: their own termios (data bits, parity, stop bits, exact
// rate), RTS and DTR through TIOCMSET/TIOCMBIS/TIOCMBIC, and CTS as the modem-status input
// that SetInputLine drives (TIOCMGET, TIOCMIWAIT wake on its changes).
//
// - SetCreationFlag is accepted and has no effect: every port is made the same way.
// - Destroying an instance without DeletePort ends the device but keeps its name, which then
//   points at a node that no longer exists until ReusePort makes it again.
// - /dev/cuse is root's unless a udev rule grants it to the user.
#include <memory>
#include <string>

#include "vsp/IVSPortAx.h"

namespace qx {

// The class object, or null when /dev/cuse cannot be opened or portsDirectory is not a
// writable directory.
std::unique_ptr<IVSPortAxClass> MakeCusePortClass(const std::string& portsDirectory);

// The character device name of a port name: "COM5" -> "qx-COM5".
std::string CuseDeviceName(const std::string& portName);

}  // namespace qx
