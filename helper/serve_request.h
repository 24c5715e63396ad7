#pragma once
// One client of the CUSE helper: who it is (SO_PEERCRED), what it asks for, and the answer:
// "OK" with the program's end of the port's relay socket attached (SCM_RIGHTS), or
// "ERR <reason>". The CUSE connection itself goes to the confined relay and never to the
// client: whoever serves it can make the kernel copy memory of any process calling an ioctl.
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "helper/port_request.h"
#include "helper/relay.h"
#include "platform/fd.h"

namespace qx::helper {

// What the helper does to the system, replaceable in tests.
struct HelperSystem {
    std::function<std::vector<HeldPort>()> heldPorts;
    // Opens /dev/cuse and initialises it as /dev/<name>.
    std::function<Expected<UniqueFd>(const std::string& name)> openConnection;
    // Gives the node to the user: owner uid, mode 0600.
    std::function<Expected<void>(const std::string& name, uid_t owner)> giveNode;
    // Hands the connection to a relay.
    std::function<Expected<StartedRelay>(UniqueFd connection, const std::string& name)> startRelay;
};

// A port handed over: its device name and its relay's report socket (see StartedRelay).
struct Grant {
    std::string name;
    UniqueFd report;
};

HelperSystem RealHelperSystem(const RelayIdentity& relay);

// "uid 1000 (pid 42)": how the log names a client.
std::string ClientName(const ucred& peer);

// Answers the one request of an accepted connection (SOCK_SEQPACKET) from peer: the port
// handed over, or why none was (the refusal the client was told, or that it left before its
// answer, with the errno of the failed send). A refusal of a name another user holds names
// that user for the journal; the client is told only that another user holds it. mayMake, when
// given, is asked before a device is made: its error is the refusal.
Expected<Grant> ServeRequest(int client, const ucred& peer, std::span<const uint8_t> request,
                             const HelperSystem& system,
                             const std::function<Expected<void>()>& mayMake = {});

}  // namespace qx::helper
