#include "vsp/cuse_port.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/cuse_connection.h"
#include "platform/cuse_device_name.h"
#include "platform/cuse_helper_client.h"
#include "platform/diagnostics.h"
#include "platform/port_links.h"
#include "platform/ports_directory.h"

namespace qx {

CusePort::CusePort(std::shared_ptr<CuseDeviceRegistry> registry, std::string directory,
                   EndpointOpener opener)
    : registry_(std::move(registry)),
      directory_(std::move(directory)),
      opener_(std::move(opener)) {}

CusePort::~CusePort() {
    if (auto device = Device()) device->End();
}

Expected<void> CusePort::CreatePort(const std::string& name) {
    return Publish(name, MakeLink, Name::kMustBeFree);
}

Expected<void> CusePort::ReusePort(const std::string& name) {
    return Publish(name, [this](const std::string& path, const std::string& node) {
        return TakeOverName(path, node, [this](const std::string& target) {
            return registry_->IsLiveNode(target);
        });
    });
}

void CusePort::DeletePort() {
    std::shared_ptr<CuseEndpoint> device;
    std::string name;
    {
        MutexLock lock(mutex_);
        device = std::exchange(device_, nullptr);
        name = std::exchange(name_, {});
    }
    if (name.empty()) return;
    const std::string path = PortPath(directory_, PortNumberFromName(name));
    if (ReadLinkTarget(path) == CuseNodePath(CuseDeviceName(name))) ::unlink(path.c_str());
    if (device) device->End();
}

void CusePort::DeleteAllPorts() {
    registry_->EndAll();
    RemovePortLinks(directory_);
}

bool CusePort::WriteToPort(const uint8_t* data, int count) {
    auto device = Device();
    if (!device || !data || count < 0) return false;
    return device->DeliverToProgram(data, static_cast<size_t>(count));
}

std::optional<int> CusePort::ReadFromPort(uint8_t* buffer, int maxCount) {
    auto device = Device();
    if (!device || !buffer || maxCount < 0) return std::nullopt;
    return static_cast<int>(device->TakeFromProgram(buffer, static_cast<size_t>(maxCount)));
}

std::optional<bool> CusePort::IsOpen() {
    auto device = Device();
    return device && device->IsOpen();
}

std::optional<int> CusePort::BytesWaiting() {
    auto device = Device();
    return device ? static_cast<int>(device->BytesWaiting()) : 0;
}

uint64_t CusePort::BytesDroppedAtClose() {
    auto device = Device();
    return device ? device->DroppedAtClose() : 0;
}

bool CusePort::SetInputLine(bool asserted) {
    auto device = Device();
    if (!device) return false;
    device->SetInputLine(asserted);
    return true;
}

bool CusePort::Unserved() {
    MutexLock lock(mutex_);
    return !name_.empty() && (!device_ || device_->Ended());
}

bool CusePort::KeepServed() {
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
        SayOnce(name, {false, opened.error().message}, opened.error().code);
        return changed;
    }
    if (!Adopt(name, *opened)) return changed;
    retry_.Granted(now);
    SayOnce(name, {true, {}});
    return true;
}

std::optional<int> CusePort::GetParity() { return Setting(&SerialSettings::parity); }
std::optional<int> CusePort::GetStopBits() { return Setting(&SerialSettings::stopBits); }
std::optional<int> CusePort::GetDataBits() { return Setting(&SerialSettings::dataBits); }
std::optional<int> CusePort::GetBaudRate() { return Setting(&SerialSettings::baudRate); }

std::optional<std::string> CusePort::GetOpenerPath() {
    auto device = Device();
    if (!device) return std::nullopt;
    const auto pid = device->OpenerPid();
    if (!pid) return std::string();
    return ReadLinkTarget("/proc/" + std::to_string(*pid) + "/exe").value_or("");
}

std::optional<bool> CusePort::GetRts() {
    auto device = Device();
    if (!device) return std::nullopt;
    return device->Rts();
}

std::optional<bool> CusePort::GetDtr() {
    auto device = Device();
    if (!device) return std::nullopt;
    return device->Dtr();
}

bool CusePort::Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie) {
    return sinks_->Advise(std::move(sink), cookie);
}

void CusePort::Unadvise(uint32_t cookie) { sinks_->Unadvise(cookie); }

std::shared_ptr<CuseEndpoint> CusePort::Device() {
    MutexLock lock(mutex_);
    return device_;
}

bool CusePort::Published() {
    MutexLock lock(mutex_);
    return !name_.empty();
}

std::optional<int> CusePort::Setting(int SerialSettings::*field) {
    auto device = Device();
    if (!device) return std::nullopt;
    return device->Settings().*field;
}

Expected<std::shared_ptr<CuseEndpoint>> CusePort::Open(const std::string& name) {
    return opener_(CuseDeviceName(name), [sinks = sinks_](int id) { sinks->Fire(id); });
}

// The new device of the port published as name; false (the device ended) when the port was
// deleted meanwhile.
bool CusePort::Adopt(const std::string& name, const std::shared_ptr<CuseEndpoint>& device) {
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

void CusePort::Forget(const std::shared_ptr<CuseEndpoint>& device) {
    MutexLock lock(mutex_);
    if (device_ == device) device_.reset();
}

// Each outcome of asking again is told once, not at every attempt. code: the failure's;
// another user holding the name is told with what to do about it.
void CusePort::SayOnce(const std::string& name, const Outcome& outcome, int code) {
    {
        MutexLock lock(mutex_);
        if (std::exchange(lastOutcome_, outcome) == outcome) return;
    }
    if (outcome.served)
        SayDiagnostic(Diagnostic::kPortServed, {name});
    else if (code == kCuseHeldByAnotherUserCode)
        SayDiagnostic(Diagnostic::kNameHeldByAnother, {name, CuseDeviceName(name)});
    else
        SayDiagnostic(Diagnostic::kPortTrouble, {name, outcome.failure});
}

// Starts the device and gives it the name by link(path, node); undone on failure, which says
// why. A name an earlier relay of this user still holds (it is ending) gives the port without
// its device for now: KeepServed asks for it again. A name that must be free and is there
// already is refused before a device is asked for: the ReusePort that follows asks for its
// own, and one granted only to be let go costs the helper a device and a relay.
template <typename LinkFn>
Expected<void> CusePort::Publish(const std::string& name, LinkFn link, Name taken) {
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
        lastOutcome_ = {false, opened ? "" : opened.error().message};
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

}  // namespace qx
