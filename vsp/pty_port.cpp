#include "vsp/pty_port.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/port_links.h"
#include "platform/ports_directory.h"
#include "vsp/pty_endpoint.h"
#include "vsp/pty_watch.h"

namespace qx {
namespace {

// The executable of a process that holds the device node open, or "". ownHandle is
// this process's path-only descriptor of the device, which does not hold it.
std::string FindHolderExecutable(const DeviceNode& node, int ownHandle) {
    namespace fs = std::filesystem;
    const std::string self = std::to_string(::getpid());
    const std::string ownFd = std::to_string(ownHandle);
    std::error_code ec;
    for (const auto& process : fs::directory_iterator("/proc", ec)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code fdError;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
            if (pid == self && fd.path().filename() == ownFd) continue;
            struct stat st {};
            if (::stat(fd.path().c_str(), &st) != 0 || !S_ISCHR(st.st_mode) ||
                st.st_rdev != node.device || st.st_dev != node.fileSystem)
                continue;
            if (auto exe = ReadLinkTarget((process.path() / "exe").string())) return *exe;
        }
    }
    return "";
}

class PtyPort final : public IVSPortAx {
public:
    PtyPort(std::shared_ptr<PtyWatch> watch, std::string directory)
        : watch_(std::move(watch)),
          directory_(std::move(directory)),
          endpoint_(std::make_shared<PtyEndpoint>(*watch_)) {}

    // Let go without DeletePort: the name stays in the directory, pointing nowhere.
    ~PtyPort() override { endpoint_->Close(PtyEndpoint::NameFate::kLetGo); }

    Expected<void> CreatePort(const std::string& name) override { return Publish(name, MakeLink); }

    // A name left by an earlier run is taken whatever it points at: a crash leaves names
    // pointing at numbers the kernel may already have given to this run's own ports. Only a
    // name another port of this run holds is not taken.
    Expected<void> ReusePort(const std::string& name) override {
        return Publish(name, [this](const std::string& path, const std::string& target) {
            const bool held = IsHeldByOtherPort(path);
            return TakeOverName(path, target, [held](const std::string&) { return held; });
        });
    }

    void DeletePort() override { endpoint_->Close(PtyEndpoint::NameFate::kRemoved); }

    void DeleteAllPorts() override {
        for (const auto& endpoint : watch_->Endpoints())
            endpoint->Close(PtyEndpoint::NameFate::kRemoved);
        RemovePortLinks(directory_);
    }

    bool WriteToPort(const uint8_t* data, int count) override {
        if (!data || count < 0) return false;
        return endpoint_->Write(data, static_cast<size_t>(count));
    }

    std::optional<int> ReadFromPort(uint8_t* buffer, int maxCount) override {
        if (!buffer || maxCount < 0) return std::nullopt;
        const auto taken = endpoint_->Read(buffer, static_cast<size_t>(maxCount));
        if (!taken) return std::nullopt;
        return static_cast<int>(*taken);
    }

    std::optional<bool> IsOpen() override { return endpoint_->IsOpen(); }

    std::optional<int> BytesWaiting() override {
        const auto waiting = endpoint_->BytesWaiting();
        if (!waiting) return std::nullopt;
        return static_cast<int>(*waiting);
    }

    uint64_t BytesDroppedAtClose() override { return endpoint_->DroppedAtClose(); }

    // A pty has no modem-status lines to drive.
    bool SetInputLine(bool) override { return true; }
    // Nothing to choose when making a pseudo-terminal: every port is made the same way.
    void SetCreationFlag(bool) override {}

    std::optional<int> GetParity() override {
        const auto settings = endpoint_->Settings();
        if (!settings) return std::nullopt;
        if (settings->parityStick) return settings->parityOdd ? kParityMark : kParitySpace;
        return settings->parityOdd ? kParityOdd : kParityNone;
    }

    std::optional<int> GetStopBits() override {
        const auto settings = endpoint_->Settings();
        if (!settings) return std::nullopt;
        if (!settings->twoStopBits) return kStopBitsOne;
        return dataBits_.load() == 5 ? kStopBitsOnePointFive : kStopBitsTwo;
    }

    std::optional<int> GetDataBits() override {
        if (!endpoint_->HasPty()) return std::nullopt;
        return dataBits_.load();
    }

    std::optional<int> GetBaudRate() override {
        const auto settings = endpoint_->Settings();
        if (!settings) return std::nullopt;
        return settings->baudRate;
    }

    std::optional<std::string> GetOpenerPath() override {
        const DeviceNode node = endpoint_->SlaveNode();
        if (node.device == 0) return std::nullopt;
        return endpoint_->IsOpen() ? FindHolderExecutable(node, endpoint_->SlaveHandle())
                                   : std::string();
    }

    std::optional<bool> GetRts() override { return false; }
    std::optional<bool> GetDtr() override { return false; }

    bool Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie) override {
        return endpoint_->Advise(std::move(sink), cookie);
    }
    void Unadvise(uint32_t cookie) override { endpoint_->Unadvise(cookie); }

    // Values outside 5..8 are ignored: the port keeps reporting what it had.
    void SetAssumedDataBits(int dataBits) override {
        if (dataBits >= 5 && dataBits <= 8) dataBits_.store(dataBits);
    }
    uint64_t TransmitOverflow() const { return endpoint_->TransmitOverflow(); }

private:
    // Opens a pseudo-terminal and gives it the name by link(path, target); undone on failure.
    Expected<void> Publish(const std::string& name, const PtyEndpoint::LinkFn& link) {
        const int number = PortNumberFromName(name);
        if (number == 0) return NotAPortName(name);
        return endpoint_->Open(PortPath(directory_, number), link);
    }

    // Whether another instance of this class holds the name at path.
    bool IsHeldByOtherPort(const std::string& path) const {
        for (const auto& endpoint : watch_->Endpoints())
            if (endpoint != endpoint_ && endpoint->NamePath() == path) return true;
        return false;
    }

    const std::shared_ptr<PtyWatch> watch_;
    const std::string directory_;
    const std::shared_ptr<PtyEndpoint> endpoint_;
    std::atomic<int> dataBits_{kDefaultAssumedDataBits};
};

class PtyPortClass final : public IVSPortAxClass {
public:
    PtyPortClass(std::shared_ptr<PtyWatch> watch, std::string directory)
        : watch_(std::move(watch)), directory_(std::move(directory)) {}

    std::unique_ptr<IVSPortAx> CreateInstance() override {
        return std::make_unique<PtyPort>(watch_, directory_);
    }
    std::string PortsDirectory() const override { return directory_; }
    std::string Kind() const override { return "pseudo-terminal"; }
    KeyingPorts Keying() const override {
        return {KeyingPorts::State::kUnavailable, "pseudo-terminals have no RTS/DTR lines"};
    }

private:
    const std::shared_ptr<PtyWatch> watch_;
    const std::string directory_;
};

}  // namespace

Expected<std::unique_ptr<IVSPortAxClass>> MakePtyPortClass(const std::string& portsDirectory) {
    if (!IsWritableDirectory(portsDirectory))
        return Error{0, "\"" + portsDirectory + "\" is not a writable directory"};
    if (Expected<void> available = PseudoTerminalsAvailable(); !available) return available.error();
    Expected<std::shared_ptr<PtyWatch>> watch = PtyWatch::Start();
    if (!watch) return watch.error();
    return std::unique_ptr<IVSPortAxClass>(
        std::make_unique<PtyPortClass>(std::move(*watch), portsDirectory));
}

std::optional<uint64_t> TransmitOverflowCount(IVSPortAx& port) {
    auto* pty = dynamic_cast<PtyPort*>(&port);
    if (!pty) return std::nullopt;
    return pty->TransmitOverflow();
}

}  // namespace qx
