#pragma once
// One port of the virtual port component over CUSE: a port with real keying lines.
//
// CreatePort("COM5") makes /dev/qx-COM5, either through the privileged helper, whose confined
// relay serves the device while this port mirrors it over the relay's socket (see
// CuseRelayDevice), or by opening /dev/cuse itself when it may and serving it in process (see
// CuseDevice), and publishes it as the symlink <ports directory>/COM5. Programs see a serial
// port in every way they can tell: their own termios (data bits, parity, stop bits, exact
// rate), RTS and DTR through TIOCMSET/TIOCMBIS/TIOCMBIC, and CTS as the modem-status input that
// SetInputLine drives (TIOCMGET, TIOCMIWAIT wake on its changes).
//
// - SetCreationFlag is accepted and has no effect: every port is made the same way.
// - Destroying an instance without DeletePort ends the device but keeps its name, which then
//   points at a node that no longer exists until ReusePort makes it again.
// - /dev/cuse stays root's: whoever opens it chooses a name under /dev. Ordinary users get
//   their devices through the helper, which allows only the names qx-COM1 to qx-COM255.
//
// The link's worker calls in while the user interface thread replaces the device: mutex_
// guards the device, the name and the last outcome, and is let go before a device is called.
#include <functional>
#include <memory>
#include <string>

#include "core/error.h"
#include "core/thread_annotations.h"
#include "vsp/IVSPortAx.h"
#include "vsp/cuse_device_registry.h"
#include "vsp/cuse_endpoint.h"
#include "vsp/event_sinks.h"
#include "vsp/keying_service_wait.h"

namespace qx {

// Starts the device /dev/<device name> and serves it, firing the port's events through
// onEvent; or why it could not.
using EndpointOpener = std::function<Expected<std::shared_ptr<CuseEndpoint>>(
    const std::string& deviceName, CuseEndpoint::EventFn onEvent)>;

class CusePort final : public IVSPortAx {
public:
    CusePort(std::shared_ptr<CuseDeviceRegistry> registry, std::string directory,
             EndpointOpener opener);
    // Let go without DeletePort: the device ends, its name stays.
    ~CusePort() override;

    Expected<void> CreatePort(const std::string& name) override;
    Expected<void> ReusePort(const std::string& name) override;
    void DeletePort() override;
    void DeleteAllPorts() override;
    bool WriteToPort(const uint8_t* data, int count) override;
    std::optional<int> ReadFromPort(uint8_t* buffer, int maxCount) override;
    std::optional<bool> IsOpen() override;
    std::optional<int> BytesWaiting() override;
    uint64_t BytesDroppedAtClose() override;
    // Drives CTS of the program's port.
    bool SetInputLine(bool asserted) override;
    // Nothing to choose when making a port: accepted, no effect.
    void SetCreationFlag(bool) override {}
    // The port outlives its device: a relay that ended (killed, or failed) is replaced by a new
    // one under the same name, as is a device that was not granted yet because an earlier relay
    // of this user still held the name. The first attempt comes at once, later ones after the
    // back-off's pauses; a relay that ended soon after its grant is asked for after one too.
    bool Unserved() override;
    bool KeepServed() override;
    std::optional<int> GetParity() override;
    std::optional<int> GetStopBits() override;
    std::optional<int> GetDataBits() override;
    std::optional<int> GetBaudRate() override;
    std::optional<std::string> GetOpenerPath() override;
    std::optional<bool> GetRts() override;
    std::optional<bool> GetDtr() override;
    bool Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie) override;
    void Unadvise(uint32_t cookie) override;

private:
    // What asking for the name again came to, told once each: served, or why not.
    struct Outcome {
        bool served = false;
        std::string failure;  // empty when served, or before anything was asked
        bool operator==(const Outcome&) const = default;
    };
    // Whether Publish refuses a name that is there already.
    enum class Name { kMustBeFree, kMayBeTaken };

    std::shared_ptr<CuseEndpoint> Device();
    bool Published();
    std::optional<int> Setting(int SerialSettings::*field);
    Expected<std::shared_ptr<CuseEndpoint>> Open(const std::string& name);
    bool Adopt(const std::string& name, const std::shared_ptr<CuseEndpoint>& device);
    void Forget(const std::shared_ptr<CuseEndpoint>& device);
    void SayOnce(const std::string& name, const Outcome& outcome, int code = 0);
    template <typename LinkFn>
    Expected<void> Publish(const std::string& name, LinkFn link, Name taken = Name::kMayBeTaken);

    const std::shared_ptr<CuseDeviceRegistry> registry_;
    const std::string directory_;
    const EndpointOpener opener_;
    // Shared with the devices' event callbacks; the sinks outlive the devices, since they are
    // attached before CreatePort and a port may be made again by ReusePort.
    const std::shared_ptr<EventSinks> sinks_ = std::make_shared<EventSinks>();
    Mutex mutex_;  // the worker calls in while the UI replaces the device
    std::shared_ptr<CuseEndpoint> device_ QX_GUARDED_BY(mutex_);  // null while lost or not granted
    std::string name_ QX_GUARDED_BY(mutex_);                      // empty until published
    Outcome lastOutcome_ QX_GUARDED_BY(mutex_);                   // of asking for the name again
    KeyingServiceWait retry_;  // when to ask for a lost device again
};

}  // namespace qx
