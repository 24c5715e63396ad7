#pragma once
// A hid backend of simulated "QX-4" devices, so the whole road of a device (scan, link, ports,
// hot-plug) runs without hardware. Device i (from 1) is "Halvorn" / "QX-4" with serial number
// QX4SIM000<i> and a path holding the ids in the kernel's form, "sim:0003:0483:A1DE.000<i>".
// Plug and Unplug may be called from any thread; each produces a DeviceNotice on every notice
// source opened from this backend. Handles of an unplugged device fail with -1.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "platform/hid.h"
#include "sim/sim_device.h"

namespace qx {

class SimControlDirectory;

class SimHidBackend : public HidBackend {
public:
    // deviceCount devices with the default configuration, all plugged in.
    explicit SimHidBackend(int deviceCount = 0);
    ~SimHidBackend() override;
    SimHidBackend(const SimHidBackend&) = delete;
    SimHidBackend& operator=(const SimHidBackend&) = delete;

    // From now on, files in directory plug and unplug the devices and show what they received
    // (sim_control_directory.h), for as long as this backend lives. Called once, before the
    // backend is shared.
    void FollowControlDirectory(const std::string& directory);
    bool FollowsControlDirectory() const { return control_ != nullptr; }

    // Adds device number Count()+1; config's serial number is replaced by the numbered one
    // unless it was changed from the default. Returns the device's number.
    int AddDevice(SimDeviceConfig config = {}, bool plugged = true);
    int Count() const;
    std::shared_ptr<SimDevice> Device(int number) const;  // null when out of range
    std::shared_ptr<SimDevice> DeviceBySerial(const std::string& serial) const;
    std::string DevicePath(int number) const;  // "" when out of range

    bool Plug(int number);    // false when out of range or already plugged
    bool Unplug(int number);  // false when out of range or already unplugged

    std::vector<HidDeviceInfo> Enumerate(uint16_t vendorId, uint16_t productId) override;
    Expected<std::unique_ptr<HidDevice>> Open(uint16_t vendorId, uint16_t productId,
                                              const std::string* serialNumber) override;
    Expected<std::unique_ptr<HidDevice>> OpenPath(const std::string& path) override;
    std::unique_ptr<DeviceNoticeSource> OpenNoticeSource() override;

    struct NoticeQueue;  // shared between the backend and one notice source

private:
    struct Entry {
        std::shared_ptr<SimDevice> device;
        std::string path;
    };

    bool SetPlugged(int number, bool plugged);
    void Notify(DeviceNotice::Kind kind, const std::string& path);

    mutable Mutex mutex_;
    std::vector<Entry> devices_ QX_GUARDED_BY(mutex_);
    std::vector<std::weak_ptr<NoticeQueue>> noticeQueues_ QX_GUARDED_BY(mutex_);
    // Its thread calls into this backend: it ends first (see the destructor).
    std::unique_ptr<SimControlDirectory> control_;
};

// The serial number and path of simulated device number (from 1).
std::string SimSerialNumber(int number);
std::string SimDevicePath(int number);

}  // namespace qx
