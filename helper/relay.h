#pragma once
// The relay of one keying port: a process without privileges that serves the kernel's requests
// for /dev/qx-COM<n> and talks to the owning program over a socket pair (relay_protocol.h).
// The root helper forks it once the node is given: a fork rather than a second program, so that
// nothing is looked up or parsed between root and the confined relay, and the package installs
// one binary.
#include <sys/types.h>

#include <string>

#include "core/error.h"
#include "platform/fd.h"

namespace qx::helper {

struct RelayIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
};

// The relay's user, from a user name or a numeric uid (whose group is its primary group, or
// the same number when no user has it). Refuses root.
Expected<RelayIdentity> ResolveRelayIdentity(const std::string& nameOrUid);

// Before confinement: the kernel's connection non-blocking.
Expected<void> PrepareRelayDescriptors(int kernel);

// Serves the port until the kernel ends the device, the program leaves or breaks the protocol;
// why it ended, never empty (errno kept where a call failed). A program slow to read its frames
// is waited for (see RelaySession). Both descriptors are the caller's, prepared.
Error RunRelay(int kernel, int program);

// A relay once started: the program's end of its socket pair, and the helper's end of the
// relay's report socket, on which the relay says why it ended (one message) before it exits,
// so that the helper writes that line under the journal budget of the port's user. End of
// file without a message: the relay was killed.
inline constexpr size_t kRelayReportMax = 512;  // the longest report read; the rest is cut

struct StartedRelay {
    UniqueFd program;
    UniqueFd report;
};

// Forks a confined relay for an initialised CUSE connection and returns it once the relay is
// confined; the reason otherwise (the relay's own, when it could not confine itself). Only for
// a single-threaded caller (the helper); the relay's exit is reaped by SIGCHLD being ignored.
Expected<StartedRelay> StartRelay(UniqueFd connection, const std::string& deviceName,
                                  const RelayIdentity& identity);

}  // namespace qx::helper
