#pragma once
// The program's choice of hid backend: QXM_SIMULATED_DEVICES=<n> selects n simulated
// interfaces, unset the real hidraw devices. With simulated devices, QXM_SIM_CONTROL_DIR=<dir>
// lets files there plug and unplug them.
#include <string>
#include <vector>

#include "platform/hid_service.h"

namespace qx {

// The device count of QXM_SIMULATED_DEVICES: 0..kMaxSimulatedDevices, -1 when not a count.
constexpr int kMaxSimulatedDevices = 16;
int ParseSimulatedDeviceCount(const std::string& text);

// The run's hid service, and what the program is to know of the simulated devices.
struct HidServiceChoice {
    HidService service;
    std::vector<std::string> simulatedSerialNumbers;  // keys of the simulated devices, in order
};

// An error naming QXM_SIMULATED_DEVICES for a value that is not a device count.
Expected<HidServiceChoice> MakeHidServiceFromEnvironment();

}  // namespace qx
