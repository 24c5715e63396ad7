#pragma once
// The hid backend a run uses, chosen once at start-up by the program: the kernel's hidraw
// devices or simulated ones. Product code sees only this seam, never the simulator.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace qx {

struct HidService {
    std::unique_ptr<HidBackend> backend;  // null when none could be chosen
    std::shared_ptr<void> control;        // drives simulated devices from outside; goes before the backend
    std::vector<std::string> simulatedSerialNumbers;  // keys of the simulated devices, in order
};

// Makes the run's hid service; no backend (with the reason) when none can serve.
using HidServiceFactory = std::function<HidService(std::string* error)>;

// The kernel's hidraw devices.
inline HidService MakeHidrawService(std::string* /*error*/) {
    HidService service;
    service.backend = MakeHidrawBackend();
    return service;
}

}  // namespace qx
