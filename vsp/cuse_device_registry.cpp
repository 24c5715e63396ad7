#include "vsp/cuse_device_registry.h"

#include <utility>

namespace qx {

void CuseDeviceRegistry::Add(const std::shared_ptr<CuseEndpoint>& device, const std::string& node) {
    MutexLock lock(mutex_);
    std::erase_if(devices_, [](const Entry& e) {
        const auto live = e.device.lock();
        return !live || live->Ended();
    });
    devices_.push_back({device, node});
}

bool CuseDeviceRegistry::IsLiveNode(const std::string& node) {
    MutexLock lock(mutex_);
    for (const Entry& e : devices_)
        if (auto device = e.device.lock(); device && !device->Ended() && e.node == node)
            return true;
    return false;
}

void CuseDeviceRegistry::EndAll() {
    std::vector<std::shared_ptr<CuseEndpoint>> live;
    {
        MutexLock lock(mutex_);
        for (const Entry& e : devices_)
            if (auto device = e.device.lock()) live.push_back(std::move(device));
        devices_.clear();
    }
    for (const auto& device : live) device->End();
}

}  // namespace qx
