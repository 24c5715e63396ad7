// hidapi over the kernel's hidraw nodes. hidapi hands out texts as wchar_t (UTF-32 on Linux);
// the seam speaks UTF-8.
#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <set>
#include <vector>

#include "core/utf8.h"
#include "platform/hid.h"
#include "platform/uevent_monitor.h"

namespace qx {

namespace {

std::string ToUtf8(const wchar_t* text) {
    std::string out;
    if (!text) return out;
    for (; *text; ++text) AppendUtf8(out, static_cast<char32_t>(*text));
    return out;
}

// Decodes UTF-8; a malformed sequence becomes U+FFFD rather than failing the open.
std::wstring FromUtf8(const std::string& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) out += static_cast<wchar_t>(NextCodePoint(text, i));
    return out;
}

bool InitOnce() {
    static const bool ok = hid_init() == 0;
    return ok;
}

// The descriptors of this process that are open on hidraw nodes.
std::set<int> HidrawDescriptors() {
    std::set<int> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        const auto target = std::filesystem::read_symlink(entry.path(), linkError);
        if (!linkError && target.string().starts_with("/dev/hidraw"))
            found.insert(std::atoi(entry.path().filename().c_str()));
    }
    return found;
}

// hidapi keeps its descriptor to itself, but the link needs it to sleep until an input report
// arrives: it is the one hidraw descriptor that the open added. Devices are opened on one
// thread only, so no other open can add one meanwhile; when it cannot be told, there is none.
template <typename OpenFn>
std::pair<hid_device*, int> OpenWithDescriptor(OpenFn open) {
    const std::set<int> before = HidrawDescriptors();
    hid_device* device = open();
    if (!device) return {nullptr, -1};
    std::vector<int> added;
    std::ranges::set_difference(HidrawDescriptors(), before, std::back_inserter(added));
    return {device, added.size() == 1 ? added.front() : -1};
}

class HidrawDevice final : public HidDevice {
public:
    HidrawDevice(hid_device* device, int fd) : device_(device), fd_(fd) {}
    ~HidrawDevice() override { hid_close(device_); }
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    int SetNonblocking(bool nonblocking) override {
        return hid_set_nonblocking(device_, nonblocking ? 1 : 0);
    }
    int Read(uint8_t* data, std::size_t length) override { return hid_read(device_, data, length); }
    int Write(const uint8_t* data, std::size_t length) override {
        return hid_write(device_, data, length);
    }
    int PollFd() const override { return fd_; }

private:
    hid_device* device_;
    int fd_;  // hidapi's own descriptor, closed by hid_close
};

template <typename OpenFn>
std::unique_ptr<HidDevice> Wrap(OpenFn open) {
    const auto [device, fd] = OpenWithDescriptor(open);
    return device ? std::make_unique<HidrawDevice>(device, fd) : nullptr;
}

class HidrawBackend final : public HidBackend {
public:
    std::vector<HidDeviceInfo> Enumerate(uint16_t vendorId, uint16_t productId) override {
        std::vector<HidDeviceInfo> infos;
        if (!InitOnce()) return infos;
        hid_device_info* list = hid_enumerate(vendorId, productId);
        for (const hid_device_info* entry = list; entry; entry = entry->next) {
            infos.push_back({entry->path ? entry->path : "", entry->vendor_id, entry->product_id,
                             ToUtf8(entry->serial_number), ToUtf8(entry->manufacturer_string),
                             ToUtf8(entry->product_string)});
        }
        hid_free_enumeration(list);
        return infos;
    }

    std::unique_ptr<HidDevice> Open(uint16_t vendorId, uint16_t productId,
                                    const std::string* serialNumber) override {
        if (!InitOnce()) return nullptr;
        if (!serialNumber) return Wrap([&] { return hid_open(vendorId, productId, nullptr); });
        const std::wstring serial = FromUtf8(*serialNumber);
        return Wrap([&] { return hid_open(vendorId, productId, serial.c_str()); });
    }

    std::unique_ptr<HidDevice> OpenPath(const std::string& path) override {
        if (!InitOnce()) return nullptr;
        return Wrap([&] { return hid_open_path(path.c_str()); });
    }

    // The kernel's own hidraw uevents: no udev daemon needed.
    std::unique_ptr<DeviceNoticeSource> OpenNoticeSource() override { return MakeUeventMonitor(); }
};

}  // namespace

std::unique_ptr<HidBackend> MakeHidrawBackend() { return std::make_unique<HidrawBackend>(); }

}  // namespace qx
