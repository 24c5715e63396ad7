#include "vsp/cuse_port.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "core/thread_annotations.h"
#include "platform/cuse_connection.h"
#include "platform/cuse_helper_client.h"
#include "platform/diagnostics.h"
#include "platform/fd.h"
#include "platform/port_links.h"
#include "platform/ports_directory.h"
#include "vsp/cuse_device.h"
#include "vsp/cuse_relay_device.h"
#include "vsp/event_sinks.h"
#include "vsp/keying_service_wait.h"

namespace qx {
namespace {

// Every live device of one class object, so that DeleteAllPorts can end them and ReusePort
// does not take the name of another instance's live port.
class DeviceRegistry {
public:
    void Add(const std::shared_ptr<CuseEndpoint>& device, const std::string& node) {
        MutexLock lock(mutex_);
        std::erase_if(devices_, [](const Entry& e) {
            const auto live = e.device.lock();
            return !live || live->Ended();
        });
        devices_.push_back({device, node});
    }
    bool IsLiveNode(const std::string& node) {
        MutexLock lock(mutex_);
        for (const Entry& e : devices_)
            if (auto device = e.device.lock(); device && !device->Ended() && e.node == node)
                return true;
        return false;
    }
    void EndAll() {
        std::vector<std::shared_ptr<CuseEndpoint>> live;
        {
            MutexLock lock(mutex_);
            for (const Entry& e : devices_)
                if (auto device = e.device.lock()) live.push_back(std::move(device));
            devices_.clear();
        }
        for (const auto& device : live) device->End();
    }

private:
    struct Entry {
        std::weak_ptr<CuseEndpoint> device;
        std::string node;
    };
    Mutex mutex_;
    std::vector<Entry> devices_ QX_GUARDED_BY(mutex_);
};

// Starts the device /dev/<device name> and serves it, firing the port's events through
// onEvent; or why it could not.
using EndpointOpener = std::function<Expected<std::shared_ptr<CuseEndpoint>>(
    const std::string& deviceName, CuseEndpoint::EventFn onEvent)>;

// The endpoint serving deviceName, or why there is none: the connection's failure, or a
// device whose thread could not be set up (a full thread table fails this port only).
template <typename ServeFn>
Expected<std::shared_ptr<CuseEndpoint>> ServeConnection(Expected<UniqueFd> connection,
                                                        const std::string& deviceName,
                                                        ServeFn serve) {
    if (!connection) return connection.error();
    auto device = serve(std::move(*connection));
    if (!device) {
        Error why = device.error();
        why.message = deviceName + " cannot be served: " + why.message;
        return why;
    }
    return std::shared_ptr<CuseEndpoint>(std::move(*device));
}

class CusePort final : public IVSPortAx {
public:
    CusePort(std::shared_ptr<DeviceRegistry> registry, std::string directory, EndpointOpener opener)
        : registry_(std::move(registry)),
          directory_(std::move(directory)),
          opener_(std::move(opener)) {}

    // Let go without DeletePort: the device ends, its name stays.
    ~CusePort() override {
        if (auto device = Device()) device->End();
    }

    Expected<void> CreatePort(const std::string& name) override {
        return Publish(name, MakeLink, Name::kMustBeFree);
    }

    Expected<void> ReusePort(const std::string& name) override {
        return Publish(name, [this](const std::string& path, const std::string& node) {
            return TakeOverName(path, node, [this](const std::string& target) {
                return registry_->IsLiveNode(target);
            });
        });
    }

    void DeletePort() override {
        std::shared_ptr<CuseEndpoint> device;
        std::string name;
        {
            MutexLock lock(mutex_);
            device = std::exchange(device_, nullptr);
            name = std::exchange(name_, {});
        }
        if (name.empty()) return;
        const std::string path = directory_ + "/" + name;
        if (ReadLinkTarget(path) == CuseNodePath(CuseDeviceName(name))) ::unlink(path.c_str());
        if (device) device->End();
    }

    void DeleteAllPorts() override {
        registry_->EndAll();
        RemovePortLinks(directory_);
    }

    bool WriteToPort(const uint8_t* data, int count) override {
        auto device = Device();
        if (!device || !data || count < 0) return false;
        return device->DeliverToProgram(data, static_cast<size_t>(count));
    }

    std::optional<int> ReadFromPort(uint8_t* buffer, int maxCount) override {
        auto device = Device();
        if (!device || !buffer || maxCount < 0) return std::nullopt;
        return static_cast<int>(device->TakeFromProgram(buffer, static_cast<size_t>(maxCount)));
    }

    std::optional<bool> IsOpen() override {
        auto device = Device();
        return device && device->IsOpen();
    }

    std::optional<int> BytesWaiting() override {
        auto device = Device();
        return device ? static_cast<int>(device->BytesWaiting()) : 0;
    }

    uint64_t BytesDroppedAtClose() override {
        auto device = Device();
        return device ? device->DroppedAtClose() : 0;
    }

    // Drives CTS of the program's port.
    bool SetInputLine(bool asserted) override {
        auto device = Device();
        if (!device) return false;
        device->SetInputLine(asserted);
        return true;
    }

    // Nothing to choose when making a port: accepted, no effect.
    void SetCreationFlag(bool) override {}

    // The port outlives its device: a relay that ended (killed, or failed) is replaced by a new
    // one under the same name, as is a device that was not granted yet because an earlier relay
    // of this user still held the name. The first attempt comes at once, later ones after the
    // back-off's pauses; a relay that ended soon after its grant is asked for after one too.
    bool Unserved() override {
        MutexLock lock(mutex_);
        return !name_.empty() && (!device_ || device_->Ended());
    }

    bool KeepServed() override {
        std::shared_ptr<CuseEndpoint> device;
        std::string name;
        {
            MutexLock lock(mutex_);
            device = device_;
            name = name_;
        }
        if (name.empty()) return false;
        bool changed = false;
        if (device) {
            if (!device->Ended()) return false;
            const std::string why = device->LostBecause();
            if (why.empty()) return false;  // ended by DeleteAllPorts: deleted, not lost
            SayDiagnostic(Diagnostic::kRelayEnded, {name, why});
            Forget(device);
            retry_.DeviceEnded(KeyingServiceWait::Clock::now());
            changed = true;
        }
        const auto now = KeyingServiceWait::Clock::now();
        if (!retry_.Due(now)) return changed;
        Expected<std::shared_ptr<CuseEndpoint>> opened = Open(name);
        if (!opened) {
            retry_.Late(now);
            SayOnce(name, opened.error().message, opened.error().code);
            return changed;
        }
        if (!Adopt(name, *opened)) return changed;
        retry_.Granted(now);
        SayOnce(name, kServedAgain);
        return true;
    }

    std::optional<int> GetParity() override { return Setting(&SerialSettings::parity); }
    std::optional<int> GetStopBits() override { return Setting(&SerialSettings::stopBits); }
    std::optional<int> GetDataBits() override { return Setting(&SerialSettings::dataBits); }
    std::optional<int> GetBaudRate() override { return Setting(&SerialSettings::baudRate); }

    std::optional<std::string> GetOpenerPath() override {
        auto device = Device();
        if (!device) return std::nullopt;
        const auto pid = device->OpenerPid();
        if (!pid) return std::string();
        return ReadLinkTarget("/proc/" + std::to_string(*pid) + "/exe").value_or("");
    }

    std::optional<bool> GetRts() override {
        auto device = Device();
        if (!device) return std::nullopt;
        return device->Rts();
    }

    std::optional<bool> GetDtr() override {
        auto device = Device();
        if (!device) return std::nullopt;
        return device->Dtr();
    }

    bool Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie) override {
        return sinks_->Advise(std::move(sink), cookie);
    }
    void Unadvise(uint32_t cookie) override { sinks_->Unadvise(cookie); }

private:
    std::shared_ptr<CuseEndpoint> Device() {
        MutexLock lock(mutex_);
        return device_;
    }
    bool Published() {
        MutexLock lock(mutex_);
        return !name_.empty();
    }

    std::optional<int> Setting(int SerialSettings::*field) {
        auto device = Device();
        if (!device) return std::nullopt;
        return device->Settings().*field;
    }

    Expected<std::shared_ptr<CuseEndpoint>> Open(const std::string& name) {
        return opener_(CuseDeviceName(name), [sinks = sinks_](int id) { sinks->Fire(id); });
    }

    // The new device of the port published as name; false (the device ended) when the port was
    // deleted meanwhile.
    bool Adopt(const std::string& name, const std::shared_ptr<CuseEndpoint>& device) {
        bool adopted = false;
        {
            MutexLock lock(mutex_);
            if (name_ == name && !device_) {
                device_ = device;
                adopted = true;
            }
        }
        if (!adopted) {
            device->End();
            return false;
        }
        registry_->Add(device, CuseNodePath(CuseDeviceName(name)));
        return true;
    }

    void Forget(const std::shared_ptr<CuseEndpoint>& device) {
        MutexLock lock(mutex_);
        if (device_ == device) device_.reset();
    }

    // Each outcome of asking again is told once, not at every attempt: kServedAgain, or what
    // went wrong.
    static constexpr const char* kServedAgain = "served again";
    // code: the failure's; another user holding the name is told with what to do about it.
    void SayOnce(const std::string& name, const std::string& outcome, int code = 0) {
        {
            MutexLock lock(mutex_);
            if (std::exchange(lastOutcome_, outcome) == outcome) return;
        }
        if (outcome == kServedAgain)
            SayDiagnostic(Diagnostic::kPortServed, {name});
        else if (code == kCuseHeldByAnotherUserCode)
            SayDiagnostic(Diagnostic::kNameHeldByAnother, {name, CuseDeviceName(name)});
        else
            SayDiagnostic(Diagnostic::kPortTrouble, {name, outcome});
    }

    // Starts the device and gives it the name by link(path, node); undone on failure, which
    // says why. A name an earlier relay of this user still holds (it is ending) gives the port
    // without its device for now: KeepServed asks for it again.
    enum class Name { kMustBeFree, kMayBeTaken };

    // A name that must be free and is there already is refused before a device is asked for:
    // the ReusePort that follows asks for its own, and one granted only to be let go costs the
    // helper a device and a relay.
    template <typename LinkFn>
    Expected<void> Publish(const std::string& name, LinkFn link, Name taken = Name::kMayBeTaken) {
        const int number = PortNumberFromName(name);
        if (number == 0) return NotAPortName(name);
        if (Published()) return Error{0, "the port is published already"};
        const std::string path = PortPath(directory_, number);
        const std::string node = CuseNodePath(CuseDeviceName(name));
        struct stat st {};
        if (taken == Name::kMustBeFree && ::lstat(path.c_str(), &st) == 0)
            return Error::FromErrno(EEXIST, "linking " + path + " to " + node);
        Expected<std::shared_ptr<CuseEndpoint>> opened = Open(name);
        const bool nameEnding = !opened && opened.error().code == EBUSY;
        if (!opened && !nameEnding) return opened.error();
        if (Expected<void> linked = link(path, node); !linked) {
            if (opened) (*opened)->End();
            return linked;
        }
        {
            MutexLock lock(mutex_);
            name_ = name;
            lastOutcome_ = opened ? "" : opened.error().message;
        }
        if (opened) {
            if (!Adopt(name, *opened)) return Error{0, "the port was deleted while it was made"};
            retry_.Granted(KeyingServiceWait::Clock::now());
            return {};
        }
        retry_.Late(KeyingServiceWait::Clock::now());
        SayDiagnostic(Diagnostic::kNameStillHeld, {name, opened.error().message});
        return {};
    }

    const std::shared_ptr<DeviceRegistry> registry_;
    const std::string directory_;
    const EndpointOpener opener_;
    // Shared with the devices' event callbacks; the sinks outlive the devices, since they are
    // attached before CreatePort and a port may be made again by ReusePort.
    const std::shared_ptr<EventSinks> sinks_ = std::make_shared<EventSinks>();
    Mutex mutex_;  // the worker calls in while the UI replaces the device
    std::shared_ptr<CuseEndpoint> device_ QX_GUARDED_BY(mutex_);  // null while lost or not granted
    std::string name_ QX_GUARDED_BY(mutex_);                      // empty until published
    std::string lastOutcome_ QX_GUARDED_BY(mutex_);               // of asking for the name again
    KeyingServiceWait retry_;  // when to ask for a lost device again
};

constexpr const char* kWaitingForService = "waiting for the keying-port service";

class CusePortClass final : public IVSPortAxClass {
public:
    // helperWait: how the helper the connections come from answers; null when they are opened
    // in this process.
    CusePortClass(std::string directory, std::string kind, EndpointOpener opener,
                  std::shared_ptr<KeyingServiceWait> helperWait = nullptr,
                  std::string helperSocket = {})
        : directory_(std::move(directory)),
          kind_(std::move(kind)),
          opener_(std::move(opener)),
          helperWait_(std::move(helperWait)),
          helperSocket_(std::move(helperSocket)) {}

    std::unique_ptr<IVSPortAx> CreateInstance() override {
        return std::make_unique<CusePort>(registry_, directory_, opener_);
    }
    std::string PortsDirectory() const override { return directory_; }
    std::string Kind() const override { return kind_; }
    KeyingPorts Keying() const override {
        if (helperWait_ && helperWait_->Waiting())
            return {KeyingPorts::State::kWaiting, kWaitingForService};
        return {};
    }
    bool KeyingServiceAnswersAgain() override {
        const auto now = KeyingServiceWait::Clock::now();
        if (!helperWait_ || !helperWait_->Waiting() || !helperWait_->Due(now)) return false;
        if (!CuseHelperAnswers(helperSocket_)) {
            helperWait_->Late(now);
            return false;
        }
        helperWait_->Answered();
        return true;
    }
    KeyingServiceWait::Clock::time_point KeyingServiceDue() const override {
        return helperWait_ ? helperWait_->DueAt() : KeyingServiceWait::Clock::time_point{};
    }

private:
    const std::string directory_;
    const std::string kind_;
    const EndpointOpener opener_;
    const std::shared_ptr<KeyingServiceWait> helperWait_;
    const std::string helperSocket_;
    const std::shared_ptr<DeviceRegistry> registry_ = std::make_shared<DeviceRegistry>();
};

// Asks the helper for a connection unless it is late and not yet due again; keeps wait current.
Expected<UniqueFd> RequestFromHelper(const std::string& helperSocket, KeyingServiceWait& wait,
                                     const std::string& deviceName) {
    const auto now = KeyingServiceWait::Clock::now();
    if (!wait.Due(now)) return Error{0, kWaitingForService};
    bool late = false;
    Expected<UniqueFd> connection = RequestCuseConnection(helperSocket, deviceName, &late);
    if (late)
        wait.Late(now);
    else
        wait.Answered();
    return connection;
}

constexpr const char* kNoCuse =
    "the kernel offers no CUSE: /dev/cuse is missing (to load it: sudo modprobe cuse)";

}  // namespace

Expected<std::unique_ptr<IVSPortAxClass>> MakeCusePortClass(const std::string& portsDirectory) {
    if (!IsWritableDirectory(portsDirectory))
        return Error{0, portsDirectory + " is not a writable directory"};
    if (!UniqueFd(::open("/dev/cuse", O_RDWR | O_CLOEXEC)).Valid())
        return Error::FromErrno(errno, "/dev/cuse cannot be opened");
    return std::unique_ptr<IVSPortAxClass>(std::make_unique<CusePortClass>(
        portsDirectory, "CUSE", [](const std::string& deviceName, CuseEndpoint::EventFn onEvent) {
            return ServeConnection(
                OpenCuseConnection(deviceName), deviceName, [&](UniqueFd connection) {
                    return CuseDevice::Serve(std::move(connection), std::move(onEvent));
                });
        }));
}

Expected<std::unique_ptr<IVSPortAxClass>> MakeCuseHelperPortClass(const std::string& portsDirectory,
                                                                  const std::string& helperSocket) {
    if (!IsWritableDirectory(portsDirectory))
        return Error{0, portsDirectory + " is not a writable directory"};
    bool late = false;
    if (Expected<void> answers = CuseHelperAnswers(helperSocket, &late); !answers && !late) {
        Error why = answers.error();
        if (::access("/dev/cuse", F_OK) != 0) why.message += "; " + std::string(kNoCuse);
        return why;
    }
    if (::access("/dev/cuse", F_OK) != 0) return Error{0, kNoCuse};
    // A helper that is there but late is waited for: its ports come once it answers.
    auto wait = std::make_shared<KeyingServiceWait>();
    if (late) wait->Late(KeyingServiceWait::Clock::now());
    return std::unique_ptr<IVSPortAxClass>(std::make_unique<CusePortClass>(
        portsDirectory, "CUSE via helper",
        [helperSocket, wait](const std::string& deviceName, CuseEndpoint::EventFn onEvent) {
            // The helper answers with the socket of the port's relay, never the connection.
            return ServeConnection(RequestFromHelper(helperSocket, *wait, deviceName), deviceName,
                                   [&](UniqueFd relay) {
                                       return CuseRelayDevice::Serve(std::move(relay),
                                                                     std::move(onEvent));
                                   });
        },
        wait, helperSocket));
}

}  // namespace qx
