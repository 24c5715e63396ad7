#include "vsp/cuse_port_class.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/cuse_connection.h"
#include "platform/cuse_helper_client.h"
#include "platform/fd.h"
#include "platform/ports_directory.h"
#include "vsp/cuse_device.h"
#include "vsp/cuse_relay_device.h"

namespace qx {
namespace {

constexpr const char* kWaitingForService = "waiting for the keying-port service";

constexpr const char* kNoCuse =
    "the kernel offers no CUSE: /dev/cuse is missing (to load it: sudo modprobe cuse)";

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

// Asks the helper for a connection unless it is late and not yet due again; keeps wait current.
Expected<UniqueFd> RequestFromHelper(const std::string& helperSocket, KeyingServiceWait& wait,
                                     const std::string& deviceName) {
    const auto now = KeyingServiceWait::Clock::now();
    if (!wait.Due(now)) return Error{0, kWaitingForService};
    HelperReply connection = RequestCuseConnection(helperSocket, deviceName);
    if (!connection && connection.error().late) {
        wait.Late(now);
        return Error(connection.error());
    }
    wait.Answered();
    if (!connection) return Error(connection.error());
    return std::move(*connection);
}

}  // namespace

CusePortClass::CusePortClass(std::string directory, std::string kind, EndpointOpener opener,
                             std::shared_ptr<KeyingServiceWait> helperWait,
                             std::string helperSocket)
    : directory_(std::move(directory)),
      kind_(std::move(kind)),
      opener_(std::move(opener)),
      helperWait_(std::move(helperWait)),
      helperSocket_(std::move(helperSocket)) {}

std::unique_ptr<IVSPortAx> CusePortClass::CreateInstance() {
    return std::make_unique<CusePort>(registry_, directory_, opener_);
}

KeyingPorts CusePortClass::Keying() const {
    if (helperWait_ && helperWait_->Waiting())
        return {KeyingPorts::State::kWaiting, kWaitingForService};
    return {};
}

bool CusePortClass::KeyingServiceAnswersAgain() {
    const auto now = KeyingServiceWait::Clock::now();
    if (!helperWait_ || !helperWait_->Waiting() || !helperWait_->Due(now)) return false;
    if (!CuseHelperAnswers(helperSocket_)) {
        helperWait_->Late(now);
        return false;
    }
    helperWait_->Answered();
    return true;
}

KeyingServiceWait::Clock::time_point CusePortClass::KeyingServiceDue() const {
    return helperWait_ ? helperWait_->DueAt() : KeyingServiceWait::Clock::time_point{};
}

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
    const Expected<void, HelperFailure> answers = CuseHelperAnswers(helperSocket);
    const bool late = !answers && answers.error().late;
    if (!answers && !late) {
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
