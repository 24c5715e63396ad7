#pragma once
// Device arrival and removal notices. The user interface thread watches Fd() for readability
// and then calls ReadNotices(); the real source is udev's broadcast for hidraw (or the kernel's
// uevents where no udev daemon runs), the simulated hid backend has its own.
#include <string>
#include <vector>

namespace qx {

struct DeviceNotice {
    enum Kind { kArrival, kRemoval } kind;
    std::string
        devicePath;  // the kernel's device path, e.g. ".../0003:0483:A1DE.0001/hidraw/hidraw0"
};

class DeviceNoticeSource {
public:
    virtual ~DeviceNoticeSource() = default;
    virtual int Fd() const = 0;
    virtual std::vector<DeviceNotice> ReadNotices() = 0;  // never blocks
};

}  // namespace qx
