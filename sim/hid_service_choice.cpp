#include "sim/hid_service_choice.h"

#include <charconv>
#include <cstdlib>
#include <utility>

#include "sim/sim_hid_backend.h"

namespace qx {

int ParseSimulatedDeviceCount(const std::string& text) {
    int count = -1;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, count);
    if (error != std::errc() || rest != end || count < 0 || count > kMaxSimulatedDevices) return -1;
    return count;
}

Expected<HidServiceChoice> MakeHidServiceFromEnvironment() {
    const char* simulated = std::getenv("QXM_SIMULATED_DEVICES");
    if (simulated == nullptr) {
        Expected<HidService> hidraw = MakeHidrawService();
        if (!hidraw) return hidraw.error();
        return HidServiceChoice{std::move(*hidraw), {}};
    }
    const int count = ParseSimulatedDeviceCount(simulated);
    if (count < 0) {
        return Error{0, "QXM_SIMULATED_DEVICES must be a number of devices from 0 to " +
                            std::to_string(kMaxSimulatedDevices)};
    }
    HidServiceChoice choice;
    for (int device = 1; device <= count; ++device)
        choice.simulatedSerialNumbers.push_back(SimSerialNumber(device));
    auto backend = std::make_unique<SimHidBackend>(count);
    if (const char* control = std::getenv("QXM_SIM_CONTROL_DIR"); control && *control)
        backend->FollowControlDirectory(control);
    choice.service.backend = std::move(backend);
    return choice;
}

}  // namespace qx
