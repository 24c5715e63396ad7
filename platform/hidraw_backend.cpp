// hidapi over the kernel's hidraw nodes. hidapi hands out texts as wchar_t (UTF-32 on Linux);
// the seam speaks UTF-8.
#include <fcntl.h>
#include <hidapi/hidapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

struct OpenedDevice {
    hid_device* device = nullptr;
    int fd = -1;      // hidapi's descriptor of the device, -1 when it cannot be told
    int failure = 0;  // errno after a failed open, 0 when nothing set it
};

// hidapi keeps its descriptor to itself, but the link needs it to sleep until an input report
// arrives: it is the one hidraw descriptor that the open added. Devices are opened on one
// thread only, so no other open can add one meanwhile; when it cannot be told, there is none.
template <typename OpenFn>
OpenedDevice OpenWithDescriptor(OpenFn open) {
    const std::set<int> before = HidrawDescriptors();
    errno = 0;
    hid_device* device = open();
    if (!device) return {.failure = errno};
    std::vector<int> added;
    std::ranges::set_difference(HidrawDescriptors(), before, std::back_inserter(added));
    return {.device = device, .fd = added.size() == 1 ? added.front() : -1};
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
    UniqueFd DuplicateReportFd() const override {
        return UniqueFd(fd_ < 0 ? -1 : ::fcntl(fd_, F_DUPFD_CLOEXEC, 0));
    }

private:
    hid_device* device_;
    int fd_;  // hidapi's own descriptor, closed by hid_close
};

// The open device, or "<attempted>: <strerror>" as hidapi's own error texts put it. A device
// hidapi did not find may leave errno unset: ENODEV then.
template <typename OpenFn>
Expected<std::unique_ptr<HidDevice>> Wrap(OpenFn open, const std::string& attempted) {
    const OpenedDevice opened = OpenWithDescriptor(open);
    if (!opened.device)
        return Error::FromErrno(opened.failure ? opened.failure : ENODEV, attempted);
    return std::unique_ptr<HidDevice>(std::make_unique<HidrawDevice>(opened.device, opened.fd));
}

const Error kNoHidapi{0, "hidapi could not be initialised"};

// "the hid device 0483:A1DE with serial number QX4...", the ids as the kernel writes them.
std::string DeviceByIds(uint16_t vendorId, uint16_t productId, const std::string* serialNumber) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X:%04X", vendorId, productId);
    return std::string("the hid device ") + ids +
           (serialNumber ? " with serial number " + *serialNumber : "");
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

    Expected<std::unique_ptr<HidDevice>> Open(uint16_t vendorId, uint16_t productId,
                                              const std::string* serialNumber) override {
        if (!InitOnce()) return kNoHidapi;
        const std::string attempted = "opening " + DeviceByIds(vendorId, productId, serialNumber);
        if (!serialNumber)
            return Wrap([&] { return hid_open(vendorId, productId, nullptr); }, attempted);
        const std::wstring serial = FromUtf8(*serialNumber);
        return Wrap([&] { return hid_open(vendorId, productId, serial.c_str()); }, attempted);
    }

    Expected<std::unique_ptr<HidDevice>> OpenPath(const std::string& path) override {
        if (!InitOnce()) return kNoHidapi;
        return Wrap([&] { return hid_open_path(path.c_str()); }, "opening " + path);
    }

    // The kernel's own hidraw uevents: no udev daemon needed.
    std::unique_ptr<DeviceNoticeSource> OpenNoticeSource() override { return MakeUeventMonitor(); }
};

}  // namespace

std::unique_ptr<HidBackend> MakeHidrawBackend() { return std::make_unique<HidrawBackend>(); }

}  // namespace qx
