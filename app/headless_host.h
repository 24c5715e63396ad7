#pragma once
// The run without a window, for a station computer with no desktop: the interface manager, the
// links and the ports, driven by a poll loop on the main thread (no Qt, so no platform plugin
// and no display). Port-operation messages go to standard output; queries of later starts
// (--status, --set-port) are answered; SIGTERM, SIGINT and `qx-manager -x` end it through the
// same exit path as the window: ports released, settings saved.
#include "app/CInterfaceManagerApp.h"

namespace qx {

// Runs until an exit request or a termination signal; the exit code.
int RunHeadless(RunningServices& services);

}  // namespace qx
