#include "helper/port_request.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "platform/cuse_device_name.h"

namespace qx::helper {
namespace {

constexpr int kLastPort = 255;
// The program's own device names: "qx-" before the port name "COM<n>".
const std::string kPrefix = CuseDeviceName("COM");

// "qx-COM" then 1 to 3 digits without a leading zero (a longer or zero-led number is a name
// this helper never makes, so it is out of range rather than a new spelling).
int ParseName(std::string_view name, std::string* why) {
    if (!name.starts_with(kPrefix) || name.size() == kPrefix.size()) {
        *why = "not a port device name (qx-COM1 to qx-COM255)";
        return 0;
    }
    const std::string_view digits = name.substr(kPrefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        *why = "not a port device name (qx-COM1 to qx-COM255)";
        return 0;
    }
    int number = 0;
    if (digits.size() <= 3 && digits[0] != '0')
        for (char c : digits) number = number * 10 + (c - '0');
    if (number < 1 || number > kLastPort) {
        *why = "port number out of range (1 to 255)";
        return 0;
    }
    return number;
}

}  // namespace

std::string PortDeviceName(int number) { return CuseDeviceName("COM" + std::to_string(number)); }

int ParsePortRequest(std::span<const uint8_t> request, std::string* why) {
    std::string ignored;
    if (why == nullptr) why = &ignored;
    if (request.empty() || request.size() > kMaxRequestBytes) {
        *why = "not a port device name (qx-COM1 to qx-COM255)";
        return 0;
    }
    return ParseName({reinterpret_cast<const char*>(request.data()), request.size()}, why);
}

int DecidePortRequest(std::span<const uint8_t> request, uid_t peer,
                      const std::vector<HeldPort>& held, std::string* why) {
    std::string ignored;
    if (why == nullptr) why = &ignored;
    const int number = ParsePortRequest(request, why);
    if (number == 0) return 0;
    const auto holder = std::find_if(held.begin(), held.end(),
                                     [&](const HeldPort& p) { return p.number == number; });
    if (holder != held.end()) {
        *why = PortDeviceName(number) +
               (holder->owner == peer ? " is in use" : " is held by another user");
        return 0;
    }
    if (std::count_if(held.begin(), held.end(),
                      [&](const HeldPort& p) { return p.owner == peer; }) >= kMaxPortsPerUser) {
        *why = "at most " + std::to_string(kMaxPortsPerUser) + " ports per user";
        return 0;
    }
    return number;
}

std::vector<HeldPort> ScanHeldPorts(const std::string& deviceDirectory) {
    std::vector<HeldPort> held;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(deviceDirectory.c_str()), ::closedir);
    if (!dir) return held;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        std::string ignored;
        if (!name.starts_with(kPrefix)) continue;
        const int number = ParseName(name, &ignored);
        struct stat st {};
        // Any node under a port's name blocks it, whatever its kind.
        if (number != 0 &&
            ::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            held.push_back({number, st.st_uid});
    }
    return held;
}

}  // namespace qx::helper
