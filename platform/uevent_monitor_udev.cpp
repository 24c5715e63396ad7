// Device notices from udev's own broadcast: sent after the rules have run, so a node that a rule
// gives to the user can be opened by the time its arrival is seen.
#include <libudev.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/uevent_monitor.h"

namespace qx {
namespace {

constexpr int kMaxMessagesPerRead = 256;  // a flood of messages cannot hold the UI thread
constexpr int kReceiveBufferBytes = 1 << 20;

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

class UdevMonitor final : public DeviceNoticeSource {
public:
    UdevMonitor(UdevPtr<udev> context, UdevPtr<udev_monitor> monitor)
        : context_(std::move(context)), monitor_(std::move(monitor)) {}
    int Fd() const override { return udev_monitor_get_fd(monitor_.get()); }

    std::vector<DeviceNotice> ReadNotices() override {
        std::vector<DeviceNotice> notices;
        bool lost = false;
        for (int i = 0; i < kMaxMessagesPerRead; ++i) {
            errno = 0;
            UdevPtr<udev_device> device(udev_monitor_receive_device(monitor_.get()));
            if (!device) {
                if (errno == EINTR) continue;
                if (errno == ENOBUFS) {  // the kernel dropped messages; later ones are still queued
                    lost = true;
                    continue;
                }
                break;  // EAGAIN: nothing more waiting
            }
            if (auto notice = UdevNotice(udev_device_get_action(device.get()),
                                         udev_device_get_devpath(device.get())))
                notices.push_back(std::move(*notice));
        }
        if (lost) {
            notices.push_back({DeviceNotice::kArrival, kLostNoticesPath});
            notices.push_back({DeviceNotice::kRemoval, kLostNoticesPath});
        }
        return notices;
    }

private:
    UdevPtr<udev> context_;
    UdevPtr<udev_monitor> monitor_;
};

}  // namespace

std::optional<DeviceNotice> UdevNotice(const char* action, const char* devicePath) {
    if (action == nullptr || devicePath == nullptr || *devicePath == '\0') return std::nullopt;
    const std::string_view what(action);
    if (what == "add") return DeviceNotice{DeviceNotice::kArrival, devicePath};
    if (what == "remove") return DeviceNotice{DeviceNotice::kRemoval, devicePath};
    return std::nullopt;
}

Expected<std::unique_ptr<DeviceNoticeSource>> MakeUdevMonitor() {
    // libudev does not always set errno on failure: EIO then.
    auto fail = [](const char* step) { return Error::FromErrno(errno ? errno : EIO, step); };
    UdevPtr<udev> context(udev_new());
    if (!context) return fail("udev_new");
    UdevPtr<udev_monitor> monitor(udev_monitor_new_from_netlink(context.get(), "udev"));
    if (!monitor) return fail("udev_monitor_new_from_netlink");
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "hidraw", nullptr) < 0)
        return fail("udev_monitor_filter_add_match_subsystem_devtype");
    // A larger buffer makes a lost notice during a burst of plugging less likely; refusal is fine.
    udev_monitor_set_receive_buffer_size(monitor.get(), kReceiveBufferBytes);
    if (udev_monitor_enable_receiving(monitor.get()) < 0)
        return fail("udev_monitor_enable_receiving");
    return std::unique_ptr<DeviceNoticeSource>(
        std::make_unique<UdevMonitor>(std::move(context), std::move(monitor)));
}

}  // namespace qx
