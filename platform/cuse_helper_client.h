#pragma once
// The program's side of the privileged CUSE helper: a local socket (sequenced packets) that
// answers a request for the device name "qx-COM<n>" with the socket of the relay serving that
// device (its node given to the caller's uid, mode 0600), or with "ERR <reason>".
#include <cerrno>
#include <string>

#include "core/error.h"
#include "platform/fd.h"

namespace qx {

inline constexpr const char* kDefaultCuseHelperSocket = "/run/qx-cuse-helper.sock";
inline constexpr const char* kCuseHelperGranted = "OK";
// The refusal of a name whose device the caller's own uid still holds: "qx-COM5 is in use". A
// relay that is still ending holds it for a moment, so asking again soon may succeed.
inline constexpr const char* kCuseHelperInUse = " is in use";
// The refusal of a name another user's device holds: "qx-COM5 is held by another user". Names
// are machine-wide (radio programs are configured with them): another number is the way out.
inline constexpr const char* kCuseHelperHeldByAnotherUser = " is held by another user";
// The code of that refusal as RequestCuseConnection returns it.
inline constexpr int kCuseHeldByAnotherUserCode = EADDRINUSE;

// QXM_CUSE_HELPER_SOCKET when set, else the installed helper's socket.
std::string CuseHelperSocketPath();

// What the user can do when no helper listens.
inline constexpr const char* kCuseHelperFix = "sudo systemctl enable --now qx-cuse-helper.socket";

// Why the helper gave nothing, and whether asking again later may succeed (late) or not.
struct HelperFailure : Error {
    bool late = false;
};

// Whether a helper accepts connections on the socket; the reason (and the fix) when not, late
// when one listens but did not accept in time.
Expected<void, HelperFailure> CuseHelperAnswers(const std::string& socketPath);

// Asks for /dev/<deviceName>: its relay's socket (relay_protocol.h), or the helper's or the
// socket's reason; code EBUSY when the name is still in use by the caller's own uid,
// kCuseHeldByAnotherUserCode when another user holds it; late when the helper could not be
// reached or did not answer in time (not a refusal).
using HelperReply = Expected<UniqueFd, HelperFailure>;
HelperReply RequestCuseConnection(const std::string& socketPath, const std::string& deviceName);

}  // namespace qx
