#pragma once
// The hid seam: the few hidapi operations the link and the manager use, behind one small
// interface so the real hidraw backend and the simulated devices are interchangeable.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/error.h"
#include "platform/device_notices.h"
#include "platform/fd.h"

namespace qx {

// One entry of an enumeration (the fields of hidapi's hid_device_info that are used).
// Texts are UTF-8.
struct HidDeviceInfo {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serialNumber;
    std::string manufacturer;
    std::string product;
};

// An open device; destroying it closes it (hid_close).
class HidDevice {
public:
    virtual ~HidDevice() = default;
    virtual int SetNonblocking(bool nonblocking) = 0;  // hid_set_nonblocking
    virtual int Read(uint8_t* data,
                     std::size_t length) = 0;  // hid_read: bytes read, 0 none, -1 error
    virtual int Write(const uint8_t* data,
                      std::size_t length) = 0;  // hid_write: bytes written or -1
    // A descriptor that polls readable while an input report waits (and reports POLLHUP or
    // POLLERR once the device is gone); -1 when there is none. Owned by the device.
    virtual int PollFd() const { return -1; }
    // A duplicate of the descriptor the device takes whole reports on by write(2), for a process
    // that must reach the device after this one has gone; invalid when there is none (a
    // simulated device).
    virtual UniqueFd DuplicateReportFd() const { return {}; }
};

class HidBackend {
public:
    virtual ~HidBackend() = default;
    // hid_enumerate(vendorId, productId) followed by hid_free_enumeration; 0 matches any id.
    virtual std::vector<HidDeviceInfo> Enumerate(uint16_t vendorId, uint16_t productId) = 0;
    // hid_open: the first device with these ids, and with this serial number when one is given.
    // A failed open says what was attempted and why (hid_error), with the errno when known.
    virtual Expected<std::unique_ptr<HidDevice>> Open(uint16_t vendorId, uint16_t productId,
                                                      const std::string* serialNumber) = 0;
    // hid_open_path.
    virtual Expected<std::unique_ptr<HidDevice>> OpenPath(const std::string& path) = 0;
    // The arrival and removal notices of this backend's devices; null when none can be had.
    virtual std::unique_ptr<DeviceNoticeSource> OpenNoticeSource() = 0;
};

// hidapi over the kernel's hidraw nodes.
std::unique_ptr<HidBackend> MakeHidrawBackend();

}  // namespace qx
