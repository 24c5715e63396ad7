#pragma once
// What the CUSE helper grants: a request is the device name "qx-COM<n>" (n 1 to 255, no leading
// zeros, nothing else in the message). The devices in /dev are the only record of who holds
// which port: a port is in use while its node exists, and belongs to the node's owner.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"

namespace qx::helper {

inline constexpr int kMaxPortsPerUser = 32;  // eight interfaces of four ports
inline constexpr size_t kMaxRequestBytes = 64;

struct HeldPort {
    int number = 0;
    uid_t owner = 0;
};

// The port number of a request, or why it is refused.
Expected<int> ParsePortRequest(std::span<const uint8_t> request);

// The number to grant the peer, or why it is refused.
Expected<int> DecidePortRequest(std::span<const uint8_t> request, uid_t peer,
                                const std::vector<HeldPort>& held);

// The user other than peer who holds the port a request names, if any (for the journal).
std::optional<uid_t> OtherHolder(std::span<const uint8_t> request, uid_t peer,
                                 const std::vector<HeldPort>& held);

// The qx-COM<n> character devices in a device directory and their owners.
std::vector<HeldPort> ScanHeldPorts(const std::string& deviceDirectory = "/dev");

std::string PortDeviceName(int number);

}  // namespace qx::helper
