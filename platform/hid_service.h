#pragma once
// The hid backend a run uses, chosen once at start-up by the program: the kernel's hidraw
// devices or simulated ones. Product code sees only this seam, never the simulator.
#include <functional>
#include <memory>

#include "core/error.h"
#include "platform/hid.h"

namespace qx {

struct HidService {
    std::unique_ptr<HidBackend> backend;
    bool realDevices = false;  // the kernel's devices, with the system's device notices
};

// Makes the run's hid service, or says why none can serve.
using HidServiceFactory = std::function<Expected<HidService>()>;

// The kernel's hidraw devices.
inline Expected<HidService> MakeHidrawService() {
    HidService service;
    service.backend = MakeHidrawBackend();
    service.realDevices = true;
    return service;
}

}  // namespace qx
