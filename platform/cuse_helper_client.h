#pragma once
// The program's side of the privileged CUSE helper: a local socket (sequenced packets) that
// answers a request for the device name "qx-COM<n>" with the socket of the relay serving that
// device (its node given to the caller's uid, mode 0600), or with "ERR <reason>".
#include <string>

#include "platform/fd.h"

namespace qx {

inline constexpr const char* kDefaultCuseHelperSocket = "/run/qx-cuse-helper.sock";
inline constexpr const char* kCuseHelperGranted = "OK";

// QXM_CUSE_HELPER_SOCKET when set, else the installed helper's socket.
std::string CuseHelperSocketPath();

// Whether a helper listens on the socket; the reason in error when not.
bool CuseHelperAnswers(const std::string& socketPath, std::string* error);

// Asks for /dev/<deviceName>: its relay's socket (relay_protocol.h), or invalid with the
// helper's or the socket's reason.
UniqueFd RequestCuseConnection(const std::string& socketPath, const std::string& deviceName,
                               std::string* error);

}  // namespace qx
