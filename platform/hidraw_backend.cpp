// hidapi over the kernel's hidraw nodes. hidapi hands out texts as wchar_t (UTF-32 on Linux);
// the seam speaks UTF-8.
#include <hidapi/hidapi.h>

#include <mutex>

#include "platform/hid.h"
#include "platform/uevent_monitor.h"

namespace qx {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string ToUtf8(const wchar_t* text) {
    std::string out;
    if (!text) return out;
    for (; *text; ++text) AppendUtf8(out, static_cast<char32_t>(*text));
    return out;
}

// Decodes UTF-8; a malformed sequence becomes U+FFFD rather than failing the open.
std::wstring FromUtf8(const std::string& text) {
    std::wstring out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra = -1;
        char32_t c = 0;
        if (lead < 0x80) {
            extra = 0, c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, c = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, c = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, c = lead & 0x07;
        }
        bool valid = extra >= 0 && i + extra < text.size();
        for (int k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        out += valid ? static_cast<wchar_t>(c) : L'\uFFFD';
        i += valid ? extra + 1 : 1;
    }
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
