#include "sim/hid_service_choice.h"

#include <charconv>
#include <cstdlib>

#include "sim/sim_control_directory.h"
#include "sim/sim_hid_backend.h"

namespace qx {

int ParseSimulatedDeviceCount(const std::string& text) {
    int count = -1;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, count);
    if (error != std::errc() || rest != end || count < 0 || count > kMaxSimulatedDevices) return -1;
    return count;
}

Expected<HidService> MakeHidServiceFromEnvironment() {
    const char* simulated = std::getenv("QXM_SIMULATED_DEVICES");
    if (simulated == nullptr) return MakeHidrawService();
    const int count = ParseSimulatedDeviceCount(simulated);
    if (count < 0) {
        return Error{0, "QXM_SIMULATED_DEVICES must be a number of devices from 0 to " +
                            std::to_string(kMaxSimulatedDevices)};
    }
    HidService service;
    for (int device = 1; device <= count; ++device)
        service.simulatedSerialNumbers.push_back(SimSerialNumber(device));
    auto backend = std::make_unique<SimHidBackend>(count);
    if (const char* control = std::getenv("QXM_SIM_CONTROL_DIR"); control && *control) {
        service.control = std::make_shared<SimControlDirectory>(*backend, control);
    }
    service.backend = std::move(backend);
    return service;
}

}  // namespace qx
