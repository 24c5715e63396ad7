#include "sim/sim_hid_backend.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstdio>

#include "platform/fd.h"
#include "sim/sim_control_directory.h"

namespace qx {

std::string SimSerialNumber(int number) {
    char text[32];
    std::snprintf(text, sizeof text, "QX4SIM%04d", number);
    return text;
}

std::string SimDevicePath(int number) {
    char text[48];
    std::snprintf(text, sizeof text, "sim:0003:%04X:%04X.%04X", kVendorId, kProductId, number);
    return text;
}

// Notices waiting for one source; the eventfd is readable while any are queued.
struct SimHidBackend::NoticeQueue {
    UniqueFd event{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    Mutex mutex;
    std::vector<DeviceNotice> notices QX_GUARDED_BY(mutex);
};

namespace {

class SimHidDevice final : public HidDevice {
public:
    explicit SimHidDevice(std::shared_ptr<SimDevice> device)
        : device_(std::move(device)), generation_(device_->Generation()) {}
    int SetNonblocking(bool) override { return device_->Plugged() ? 0 : -1; }
    int Read(uint8_t* data, std::size_t length) override {
        return device_->Read(generation_, data, length);
    }
    int Write(const uint8_t* data, std::size_t length) override {
        return device_->Write(generation_, data, length);
    }
    int PollFd() const override { return device_->InputReadyFd(); }

private:
    std::shared_ptr<SimDevice> device_;
    uint64_t generation_;
};

class SimNoticeSource final : public DeviceNoticeSource {
public:
    explicit SimNoticeSource(std::shared_ptr<SimHidBackend::NoticeQueue> queue)
        : queue_(std::move(queue)) {}
    int Fd() const override { return queue_->event.Get(); }
    std::vector<DeviceNotice> ReadNotices() override {
        MutexLock lock(queue_->mutex);
        uint64_t count = 0;
        [[maybe_unused]] auto ignored = ::read(queue_->event.Get(), &count, sizeof count);
        return std::exchange(queue_->notices, {});
    }

private:
    std::shared_ptr<SimHidBackend::NoticeQueue> queue_;
};

bool IdsMatch(uint16_t wanted, uint16_t actual) { return wanted == 0 || wanted == actual; }

}  // namespace

SimHidBackend::SimHidBackend(int deviceCount) {
    for (int i = 0; i < deviceCount; ++i) AddDevice();
}

// The control directory's thread stops before the devices it drives go.
SimHidBackend::~SimHidBackend() { control_.reset(); }

void SimHidBackend::FollowControlDirectory(const std::string& directory) {
    control_ = std::make_unique<SimControlDirectory>(*this, directory);
}

int SimHidBackend::AddDevice(SimDeviceConfig config, bool plugged) {
    MutexLock lock(mutex_);
    const int number = static_cast<int>(devices_.size()) + 1;
    if (config.serialNumber == SimDeviceConfig{}.serialNumber)
        config.serialNumber = SimSerialNumber(number);
    auto device = std::make_shared<SimDevice>(std::move(config));
    device->SetPlugged(plugged);
    devices_.push_back({std::move(device), SimDevicePath(number)});
    return number;
}

int SimHidBackend::Count() const {
    MutexLock lock(mutex_);
    return static_cast<int>(devices_.size());
}

std::shared_ptr<SimDevice> SimHidBackend::Device(int number) const {
    MutexLock lock(mutex_);
    if (number < 1 || number > static_cast<int>(devices_.size())) return nullptr;
    return devices_[number - 1].device;
}

std::shared_ptr<SimDevice> SimHidBackend::DeviceBySerial(const std::string& serial) const {
    MutexLock lock(mutex_);
    for (const auto& entry : devices_)
        if (entry.device->Config().serialNumber == serial) return entry.device;
    return nullptr;
}

std::string SimHidBackend::DevicePath(int number) const {
    MutexLock lock(mutex_);
    if (number < 1 || number > static_cast<int>(devices_.size())) return {};
    return devices_[number - 1].path;
}

bool SimHidBackend::Plug(int number) { return SetPlugged(number, true); }
bool SimHidBackend::Unplug(int number) { return SetPlugged(number, false); }

bool SimHidBackend::SetPlugged(int number, bool plugged) {
    std::string path;
    {
        MutexLock lock(mutex_);
        if (number < 1 || number > static_cast<int>(devices_.size())) return false;
        const auto& entry = devices_[number - 1];
        if (entry.device->Plugged() == plugged) return false;
        entry.device->SetPlugged(plugged);
        path = entry.path;
    }
    Notify(plugged ? DeviceNotice::kArrival : DeviceNotice::kRemoval, path);
    return true;
}

void SimHidBackend::Notify(DeviceNotice::Kind kind, const std::string& path) {
    std::vector<std::shared_ptr<NoticeQueue>> queues;
    {
        MutexLock lock(mutex_);
        std::erase_if(noticeQueues_, [](const auto& weak) { return weak.expired(); });
        for (const auto& weak : noticeQueues_)
            if (auto queue = weak.lock()) queues.push_back(std::move(queue));
    }
    for (const auto& queue : queues) {
        MutexLock lock(queue->mutex);
        queue->notices.push_back({kind, path});
        const uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(queue->event.Get(), &one, sizeof one);
    }
}

std::vector<HidDeviceInfo> SimHidBackend::Enumerate(uint16_t vendorId, uint16_t productId) {
    std::vector<HidDeviceInfo> infos;
    if (!IdsMatch(vendorId, kVendorId) || !IdsMatch(productId, kProductId)) return infos;
    MutexLock lock(mutex_);
    for (const auto& entry : devices_) {
        if (!entry.device->Plugged()) continue;
        const auto& config = entry.device->Config();
        infos.push_back({entry.path, kVendorId, kProductId, config.serialNumber,
                         config.manufacturer, config.product});
    }
    return infos;
}

Expected<std::unique_ptr<HidDevice>> SimHidBackend::Open(uint16_t vendorId, uint16_t productId,
                                                         const std::string* serialNumber) {
    if (IdsMatch(vendorId, kVendorId) && IdsMatch(productId, kProductId)) {
        MutexLock lock(mutex_);
        for (const auto& entry : devices_) {
            if (!entry.device->Plugged()) continue;
            if (serialNumber && entry.device->Config().serialNumber != *serialNumber) continue;
            return std::unique_ptr<HidDevice>(std::make_unique<SimHidDevice>(entry.device));
        }
    }
    // As hidraw tells a device it did not find.
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X:%04X", vendorId, productId);
    return Error::FromErrno(ENODEV,
                            std::string("opening the simulated device ") + ids +
                                (serialNumber ? " with serial number " + *serialNumber : ""));
}

Expected<std::unique_ptr<HidDevice>> SimHidBackend::OpenPath(const std::string& path) {
    MutexLock lock(mutex_);
    for (const auto& entry : devices_)
        if (entry.path == path && entry.device->Plugged())
            return std::unique_ptr<HidDevice>(std::make_unique<SimHidDevice>(entry.device));
    // An unplugged device's node is gone, as a hidraw node is.
    return Error::FromErrno(ENOENT, "opening " + path);
}

std::unique_ptr<DeviceNoticeSource> SimHidBackend::OpenNoticeSource() {
    auto queue = std::make_shared<NoticeQueue>();
    if (!queue->event.Valid()) return nullptr;
    MutexLock lock(mutex_);
    noticeQueues_.push_back(queue);
    return std::make_unique<SimNoticeSource>(std::move(queue));
}

}  // namespace qx
