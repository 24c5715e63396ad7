// Feeds arbitrary 64-byte input reports to a link's receive path, one per tick, with every
// channel port open: command replies, data of any length byte, input states, unknown ids.
// The first input byte picks which ports report open and how much data they claim; bit 0 of the
// second runs the link past its first settings poll.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "link/CHVInterface.h"

namespace {

using namespace qx;

class ScriptedDevice final : public HidDevice {
public:
    ScriptedDevice(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    int SetNonblocking(bool) override { return 0; }
    int Read(uint8_t* buffer, std::size_t length) override {
        if (offset_ >= size_) return 0;
        const std::size_t count = std::min({length, std::size_t{kReportSize}, size_ - offset_});
        std::memcpy(buffer, data_ + offset_, count);
        offset_ += count;
        return static_cast<int>(count);
    }
    int Write(const uint8_t*, std::size_t length) override { return static_cast<int>(length); }
    bool Done() const { return offset_ >= size_; }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

class ScriptedBackend final : public HidBackend {
public:
    ScriptedBackend(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::vector<HidDeviceInfo> Enumerate(uint16_t, uint16_t) override { return {}; }
    Expected<std::unique_ptr<HidDevice>> Open(uint16_t, uint16_t, const std::string*) override {
        auto device = std::make_unique<ScriptedDevice>(data_, size_);
        device_ = device.get();
        return std::unique_ptr<HidDevice>(std::move(device));
    }
    Expected<std::unique_ptr<HidDevice>> OpenPath(const std::string& path) override {
        return Error{ENOENT, "no device at " + path};
    }
    std::unique_ptr<DeviceNoticeSource> OpenNoticeSource() override { return nullptr; }
    ScriptedDevice* device_ = nullptr;

private:
    const uint8_t* data_;
    std::size_t size_;
};

// A port a program holds open; it swallows what the link writes and offers a few bytes.
class OpenPort final : public IVSPortAx {
public:
    explicit OpenPort(bool open, int waiting) : open_(open), waiting_(waiting) {}
    Expected<void> CreatePort(const std::string&) override { return {}; }
    void DeletePort() override {}
    bool WriteToPort(const uint8_t* data, int count) override {
        for (int i = 0; i < count; ++i) sink_ ^= data[i];
        return true;
    }
    std::optional<int> ReadFromPort(uint8_t* buffer, int maxCount) override {
        std::memset(buffer, 'x', maxCount);
        return waiting_;
    }
    std::optional<bool> IsOpen() override { return open_; }
    std::optional<int> BytesWaiting() override { return waiting_; }
    void DeleteAllPorts() override {}
    Expected<void> ReusePort(const std::string&) override { return {}; }
    bool SetInputLine(bool) override { return true; }
    void SetCreationFlag(bool) override {}
    std::optional<int> GetParity() override { return waiting_ % 7; }
    std::optional<int> GetStopBits() override { return waiting_ % 4; }
    std::optional<int> GetDataBits() override { return waiting_; }
    std::optional<int> GetBaudRate() override { return waiting_ * 300; }
    std::optional<std::string> GetOpenerPath() override { return "/usr/bin/fuzz"; }
    std::optional<bool> GetRts() override { return waiting_ & 1; }
    std::optional<bool> GetDtr() override { return waiting_ & 2; }
    bool Advise(std::shared_ptr<IVSPortAxEvents>, uint32_t&) override { return true; }
    void Unadvise(uint32_t) override {}

private:
    bool open_;
    int waiting_;
    uint8_t sink_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const uint8_t portChoice = data[0];
    const int minimumTicks = (data[1] & 1) ? 1010 : 0;
    ScriptedBackend backend(data + 2, size - 2);
    CHVInterface link(backend);
    if (!link.OpenDevice(0, false)) return 0;
    for (Channel channel : kAllChannels)
        link.ports[channel].instance =
            std::make_unique<OpenPort>(portChoice & (1 << channel), (portChoice >> 4) * 9);
    for (int tick = 0; tick < minimumTicks || !backend.device_->Done(); ++tick) link.ServiceTick();
    (void)link.VersionText();
    link.Close();
    return 0;
}
