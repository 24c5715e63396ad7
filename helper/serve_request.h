#pragma once
// One client of the CUSE helper: who it is (SO_PEERCRED), what it asks for, and the answer:
// "OK" with the program's end of the port's relay socket attached (SCM_RIGHTS), or
// "ERR <reason>". The CUSE connection itself goes to the confined relay and never to the
// client: whoever serves it can make the kernel copy memory of any process calling an ioctl.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "helper/port_request.h"
#include "helper/relay.h"
#include "platform/fd.h"

namespace qx::helper {

// What the helper does to the system, replaceable in tests.
struct HelperSystem {
    std::function<std::vector<HeldPort>()> heldPorts;
    // Opens /dev/cuse and initialises it as /dev/<name>.
    std::function<UniqueFd(const std::string& name, std::string* error)> openConnection;
    // Gives the node to the user: owner uid, mode 0600.
    std::function<bool(const std::string& name, uid_t owner, std::string* error)> giveNode;
    // Hands the connection to a relay; the program's end of the relay's socket pair.
    std::function<UniqueFd(UniqueFd connection, const std::string& name, std::string* error)>
        startRelay;
};

HelperSystem RealHelperSystem(const RelayIdentity& relay);

// Serves one accepted connection (SOCK_SEQPACKET): one request, one answer. The outcome for the
// helper's own log.
std::string ServeClient(int client, const HelperSystem& system);

}  // namespace qx::helper
