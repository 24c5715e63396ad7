#include "helper/port_request.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "platform/cuse_device_name.h"
#include "platform/cuse_helper_client.h"
#include "platform/ports_directory.h"

namespace qx::helper {
namespace {

constexpr int kLastPort = 255;
// The program's own device names: "qx-" before the port name "COM<n>".
const std::string kPrefix = CuseDeviceName("COM");

// The refusals: requests are names the helper never makes, or numbers it never grants.
const Error kNotAName{0, "not a port device name (qx-COM1 to qx-COM255)"};
const Error kOutOfRange{0, "port number out of range (1 to 255)"};

// "qx-COM" then 1 to 3 digits without a leading zero (a longer or zero-led number is a name
// this helper never makes, so it is out of range rather than a new spelling).
Expected<int> ParseName(std::string_view name) {
    if (!name.starts_with(kPrefix) || name.size() == kPrefix.size()) return kNotAName;
    const std::string_view digits = name.substr(kPrefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return kNotAName;
    int number = 0;
    if (digits.size() <= 3 && digits[0] != '0')
        for (char c : digits) number = number * 10 + (c - '0');
    if (number < 1 || number > kLastPort) return kOutOfRange;
    return number;
}

}  // namespace

std::string PortDeviceName(int number) { return CuseDeviceName(PortName(number)); }

Expected<int> ParsePortRequest(std::span<const uint8_t> request) {
    if (request.empty() || request.size() > kMaxRequestBytes) return kNotAName;
    return ParseName({reinterpret_cast<const char*>(request.data()), request.size()});
}

Expected<int> DecidePortRequest(std::span<const uint8_t> request, uid_t peer,
                                const std::vector<HeldPort>& held) {
    const Expected<int> number = ParsePortRequest(request);
    if (!number) return number;
    const auto holder = std::find_if(held.begin(), held.end(),
                                     [&](const HeldPort& p) { return p.number == *number; });
    if (holder != held.end())
        return Error{0,
                     PortDeviceName(*number) +
                         (holder->owner == peer ? kCuseHelperInUse : kCuseHelperHeldByAnotherUser)};
    if (std::count_if(held.begin(), held.end(),
                      [&](const HeldPort& p) { return p.owner == peer; }) >= kMaxPortsPerUser)
        return Error{0, "at most " + std::to_string(kMaxPortsPerUser) + " ports per user"};
    return number;
}

std::optional<uid_t> OtherHolder(std::span<const uint8_t> request, uid_t peer,
                                 const std::vector<HeldPort>& held) {
    const Expected<int> number = ParsePortRequest(request);
    if (!number) return std::nullopt;
    for (const HeldPort& port : held)
        if (port.number == *number && port.owner != peer) return port.owner;
    return std::nullopt;
}

std::vector<HeldPort> ScanHeldPorts(const std::string& deviceDirectory) {
    std::vector<HeldPort> held;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(deviceDirectory.c_str()), ::closedir);
    if (!dir) return held;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(kPrefix)) continue;
        const Expected<int> number = ParseName(name);
        struct stat st {};
        // Any node under a port's name blocks it, whatever its kind.
        if (number && ::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            held.push_back({*number, st.st_uid});
    }
    return held;
}

}  // namespace qx::helper
