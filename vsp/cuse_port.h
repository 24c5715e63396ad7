#pragma once
// The virtual port component over CUSE: ports with real keying lines.
//
// Each instance is one port: CreatePort("COM5") makes /dev/qx-COM5, either through the
// privileged helper, whose confined relay serves the device while this port mirrors it over the
// relay's socket (see CuseRelayDevice), or by opening /dev/cuse itself when it runs as root and
// serving it in process (see CuseDevice), and publishes it as the symlink <ports directory>/COM5.
// Programs see a serial port in every way they can tell: their own termios (data bits, parity, stop
// bits, exact rate), RTS and DTR through TIOCMSET/TIOCMBIS/TIOCMBIC, and CTS as the modem-status
// input that SetInputLine drives (TIOCMGET, TIOCMIWAIT wake on its changes).
//
// - SetCreationFlag is accepted and has no effect: every port is made the same way.
// - Destroying an instance without DeletePort ends the device but keeps its name, which then
//   points at a node that no longer exists until ReusePort makes it again.
// - /dev/cuse stays root's: whoever opens it chooses a name under /dev. Ordinary users get
//   their devices through the helper, which allows only the names qx-COM1 to qx-COM255.
#include <memory>
#include <string>

#include "core/error.h"
#include "platform/cuse_device_name.h"
#include "vsp/IVSPortAx.h"

namespace qx {

// The class object that opens /dev/cuse itself; the reason when /dev/cuse cannot be opened or
// portsDirectory is not a writable directory.
Expected<std::unique_ptr<IVSPortAxClass>> MakeCusePortClass(const std::string& portsDirectory);

// The class object whose devices come from the helper listening on helperSocket; the reason
// when it does not answer or portsDirectory is not a writable directory.
Expected<std::unique_ptr<IVSPortAxClass>> MakeCuseHelperPortClass(const std::string& portsDirectory,
                                                                  const std::string& helperSocket);

}  // namespace qx
