#pragma once
// Initialised CUSE connections: /dev/cuse opened, the kernel's CUSE_INIT answered with the
// device name, and the node /dev/<name> made. Whoever opens /dev/cuse chooses the name, so it
// is root's: the privileged helper does this for ordinary users, the program itself only when
// it runs as root.
#include <string>

#include "core/error.h"
#include "platform/fd.h"

namespace qx {

std::string CuseNodePath(const std::string& name);

// Opens /dev/cuse and initialises it as /dev/<name>; the failed step and its errno otherwise.
Expected<UniqueFd> OpenCuseConnection(const std::string& name);

// The initialisation on an open /dev/cuse: reads CUSE_INIT, answers it, waits (bounded) until
// /dev/<name> is a character device.
Expected<void> InitialiseCuse(int connection, const std::string& name);

}  // namespace qx
