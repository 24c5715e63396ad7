// hidapi over the kernel's hidraw nodes. hidapi hands out texts as wchar_t (UTF-32 on Linux);
// the seam speaks UTF-8.
#include <hidapi/hidapi.h>

#include <mutex>

#include "platform/hid.h"
#include "platform/uevent_monitor.h"
#include "platform/utf8.h"

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

class HidrawDevice final : public HidDevice {
public:
    explicit HidrawDevice(hid_device* device) : device_(device) {}
    ~HidrawDevice() override { hid_close(device_); }
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    int SetNonblocking(bool nonblocking) override { return hid_set_nonblocking(device_, nonblocking ? 1 : 0); }
    int Read(uint8_t* data, std::size_t length) override { return hid_read(device_, data, length); }
    int Write(const uint8_t* data, std::size_t length) override { return hid_write(device_, data, length); }

private:
    hid_device* device_;
};

std::unique_ptr<HidDevice> Wrap(hid_device* device) {
    return device ? std::make_unique<HidrawDevice>(device) : nullptr;
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
        if (!serialNumber) return Wrap(hid_open(vendorId, productId, nullptr));
        const std::wstring serial = FromUtf8(*serialNumber);
        return Wrap(hid_open(vendorId, productId, serial.c_str()));
    }

    std::unique_ptr<HidDevice> OpenPath(const std::string& path) override {
        if (!InitOnce()) return nullptr;
        return Wrap(hid_open_path(path.c_str()));
    }

    // The kernel's own hidraw uevents: no udev daemon needed.
    std::unique_ptr<DeviceNoticeSource> OpenNoticeSource() override { return MakeUeventMonitor(); }
};

}  // namespace

std::unique_ptr<HidBackend> MakeHidrawBackend() {
    return std::make_unique<HidrawBackend>();
}

}  // namespace qx
