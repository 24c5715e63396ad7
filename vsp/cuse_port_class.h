#pragma once
// The class object of the virtual port component over CUSE (see CusePort for one port), and
// the two ways to make it. Its ports come from /dev/cuse opened in this process, or from the
// keying-port helper, whose lateness it follows. Called on the user interface thread; the
// ports it makes share its device registry.
#include <memory>
#include <string>

#include "core/error.h"
#include "platform/cuse_device_name.h"
#include "vsp/IVSPortAx.h"
#include "vsp/cuse_device_registry.h"
#include "vsp/cuse_port.h"
#include "vsp/keying_service_wait.h"

namespace qx {

class CusePortClass final : public IVSPortAxClass {
public:
    // helperWait: how the helper the connections come from answers; null when they are opened
    // in this process.
    CusePortClass(std::string directory, std::string kind, EndpointOpener opener,
                  std::shared_ptr<KeyingServiceWait> helperWait = nullptr,
                  std::string helperSocket = {});

    std::unique_ptr<IVSPortAx> CreateInstance() override;
    std::string PortsDirectory() const override { return directory_; }
    std::string Kind() const override { return kind_; }
    KeyingPorts Keying() const override;
    bool KeyingServiceAnswersAgain() override;
    KeyingServiceWait::Clock::time_point KeyingServiceDue() const override;

private:
    const std::string directory_;
    const std::string kind_;
    const EndpointOpener opener_;
    const std::shared_ptr<KeyingServiceWait> helperWait_;
    const std::string helperSocket_;
    const std::shared_ptr<CuseDeviceRegistry> registry_ = std::make_shared<CuseDeviceRegistry>();
};

// The class object that opens /dev/cuse itself; the reason when /dev/cuse cannot be opened or
// portsDirectory is not a writable directory.
Expected<std::unique_ptr<IVSPortAxClass>> MakeCusePortClass(const std::string& portsDirectory);

// The class object whose devices come from the helper listening on helperSocket; the reason
// when it does not answer or portsDirectory is not a writable directory.
Expected<std::unique_ptr<IVSPortAxClass>> MakeCuseHelperPortClass(const std::string& portsDirectory,
                                                                  const std::string& helperSocket);

}  // namespace qx
