#pragma once
// The program's exit statuses, one meaning each, so a script can tell the causes apart.

namespace qx {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,               // the request was not carried out; stderr says why
    kExitUsage = 2,                // the command line is wrong
    kExitInstanceUnavailable = 3,  // neither a run of its own nor the running instance
    kExitNoDisplay = 4,            // a window start finds no display to show it on
    kExitNoDeviceAccess = 5,       // no hid service can serve the devices
};

}  // namespace qx
