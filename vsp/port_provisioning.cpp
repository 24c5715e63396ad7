#include "vsp/port_provisioning.h"

#include <mutex>
#include <string>

#include "vsp/CVSPDriver.h"

namespace qx {
namespace {

void Report(CHVInterface& link, int state, int portNumber) {
    if (link.observer) link.observer->OnPortOperation(state, portNumber);
}

}  // namespace

PortProvisioning::PortProvisioning(IVSPortAxClass& portClass, const int& removePortsOnDeviceRemoval)
    : portClass_(portClass), removePortsOnDeviceRemoval_(removePortsOnDeviceRemoval) {}

// The instance is made, connected and created completely before it enters the slot, so the
// worker only ever meets an empty slot or a bound one.
bool PortProvisioning::CreateChannelPort(CHVInterface& link, Channel channel) {
    ChannelPortSlot& slot = link.ports[channel];
    {
        std::lock_guard lock(link.portGuard);
        if (slot.instance || slot.sink || slot.portNumber < 1) return false;
    }
    const int number = slot.portNumber;
    std::unique_ptr<IVSPortAx> instance = portClass_.CreateInstance();
    if (!instance) return false;
    instance->SetCreationFlag(false);
    instance->SetAssumedDataBits(channel == kFsk ? 5 : 8);

    auto sink = std::make_shared<CVSPDriver>(link.WorkerWake());
    uint32_t cookie = 0;
    if (!instance->Advise(sink, cookie)) return false;
    sink->portChanged.store(0);

    const std::string name = "COM" + std::to_string(number);
    Report(link, kPortOperationCreating, number);
    const bool bound = instance->CreatePort(name) || instance->ReusePort(name);
    Report(link, kPortOperationDone, number);
    if (!bound) {
        instance->DeletePort();
        instance->Unadvise(cookie);
        return false;
    }
    {
        std::lock_guard lock(link.portGuard);
        slot.instance = std::move(instance);
        slot.sink = std::move(sink);
        slot.cookie = cookie;
    }
    link.Wake();  // a program may hold the port already (a name taken over)
    return true;
}

// The slot is cleared first, so the worker stops using the port before it goes.
bool PortProvisioning::ReleaseChannelPort(CHVInterface& link, Channel channel) {
    ChannelPortSlot& slot = link.ports[channel];
    std::unique_ptr<IVSPortAx> instance;
    uint32_t cookie = 0;
    {
        std::lock_guard lock(link.portGuard);
        if (!slot.instance || !slot.sink) return false;
        instance = std::move(slot.instance);
        slot.sink.reset();
        cookie = slot.cookie;
    }
    link.Wake();  // a program that held the port lets go of its lines
    const int number = slot.portNumber;
    Report(link, kPortOperationReleasing, number);
    if (removePortsOnDeviceRemoval_) instance->DeletePort();
    Report(link, kPortOperationDone, number);
    instance->Unadvise(cookie);
    return true;
}

void PortProvisioning::CreatePorts(CHVInterface& link) {
    for (Channel channel : kAllChannels) CreateChannelPort(link, channel);
}

void PortProvisioning::ReleasePorts(CHVInterface& link) {
    for (Channel channel : kAllChannels) ReleaseChannelPort(link, channel);
}

void PortProvisioning::UpdatePorts(CHVInterface& link, const std::array<int, kChannelCount>& portNumbers) {
    for (Channel channel : kAllChannels) {
        if (portNumbers[channel] == link.ports[channel].portNumber) continue;
        ReleaseChannelPort(link, channel);
        link.ports[channel].portNumber = portNumbers[channel];
        CreateChannelPort(link, channel);
    }
}

void PortProvisioning::RemoveAllSystemPorts() {
    std::unique_ptr<IVSPortAx> instance = portClass_.CreateInstance();
    if (!instance) return;
    instance->DeleteAllPorts();
    instance->DeletePort();
}

}  // namespace qx
