#include "manager/port_provisioning.h"

#include <mutex>
#include <string>

#include "platform/trace.h"
#include "vsp/CVSPDriver.h"

namespace qx {
namespace {

void Report(CHVInterface& link, int state, int portNumber) {
    if (link.observer) link.observer->OnPortOperation(state, portNumber);
}

// The trace entry of an open or close, with the program that holds the port at that moment.
// Called on the port's thread while the port is bound (CVSPDriver::SetHolderTrace).
std::function<void(int)> HolderTrace(const std::string& key, Channel channel, int number,
                                     IVSPortAx& port) {
    return [key, channel, number, &port](int dispatchId) {
        if (!TraceOn()) return;
        const std::string name = "COM" + std::to_string(number);
        if (dispatchId == kEventClosed) {
            TraceText(key, ChannelTitle(channel), TraceKind::kClose, name);
            return;
        }
        const std::string holder = port.GetOpenerPath().value_or("");
        TraceText(key, ChannelTitle(channel), TraceKind::kOpen,
                  holder.empty() ? name : name + " by " + holder);
    };
}

}  // namespace

PortProvisioning::PortProvisioning(IVSPortAxClass& portClass, const int& removePortsOnDeviceRemoval)
    : portClass_(portClass), removePortsOnDeviceRemoval_(removePortsOnDeviceRemoval) {}

// A number above the range, or one that another channel (of this or another interface)
// already has, fails like any other creation: the balloon, then the channel's Status row shows
// the number as one that cannot be created. The component alone would not say why.
bool PortProvisioning::Refuse(CHVInterface& link, int number) {
    Report(link, kPortOperationCreating, number);
    Report(link, kPortOperationDone, number);
    return false;
}

// The instance is made, connected and created completely before it enters the slot, so the
// worker only ever meets an empty slot or a bound one.
bool PortProvisioning::CreateChannelPort(CHVInterface& link, Channel channel) {
    int number = 0;
    {
        MutexLock lock(link.portGuard);
        const ChannelPortSlot& slot = link.ports[channel];
        if (slot.instance || slot.sink || slot.portNumber == 0 || !slot.unusableSetting.empty())
            return false;
        number = slot.portNumber;
    }
    // Below 1 names no port at all ("COM-3"): nothing to create and nothing to announce.
    if (number < kMinPortNumber) return false;
    if (number > kMaxPortNumber || boundNumbers_.count(number)) return Refuse(link, number);
    std::unique_ptr<IVSPortAx> instance = portClass_.CreateInstance();
    if (!instance) return false;
    instance->SetCreationFlag(false);
    instance->SetAssumedDataBits(channel == kFsk ? 5 : 8);

    auto sink = std::make_shared<CVSPDriver>(link.WorkerWake(), link.userInterfaceWake);
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
    sink->SetHolderTrace(HolderTrace(link.key, channel, number, *instance));
    {
        MutexLock lock(link.portGuard);
        ChannelPortSlot& slot = link.ports[channel];
        slot.instance = std::move(instance);
        slot.sink = std::move(sink);
        slot.cookie = cookie;
    }
    boundNumbers_.insert(number);
    link.Wake();  // a program may hold the port already (a name taken over)
    return true;
}

// The slot is cleared first, so the worker stops using the port before it goes.
bool PortProvisioning::ReleaseChannelPort(CHVInterface& link, Channel channel) {
    std::unique_ptr<IVSPortAx> instance;
    std::shared_ptr<CVSPDriver> sink;
    uint32_t cookie = 0;
    int number = 0;
    {
        MutexLock lock(link.portGuard);
        ChannelPortSlot& slot = link.ports[channel];
        if (!slot.instance || !slot.sink) return false;
        instance = std::move(slot.instance);
        sink = std::move(slot.sink);
        cookie = slot.cookie;
        number = slot.portNumber;
    }
    sink->SetHolderTrace(nullptr);
    boundNumbers_.erase(number);
    link.Wake();  // a program that held the port lets go of its lines
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

void PortProvisioning::UpdatePorts(CHVInterface& link,
                                   const std::array<int, kChannelCount>& portNumbers) {
    for (Channel channel : kAllChannels) {
        {
            MutexLock lock(link.portGuard);
            if (portNumbers[channel] == link.ports[channel].portNumber) continue;
        }
        ReleaseChannelPort(link, channel);
        {
            MutexLock lock(link.portGuard);
            link.ports[channel].portNumber = portNumbers[channel];
            link.ports[channel].unusableSetting.clear();
        }
        CreateChannelPort(link, channel);
    }
}

bool PortProvisioning::CreatePortsWhenKeyingServiceAnswers(
    const std::vector<std::unique_ptr<CHVInterface>>& links) {
    if (!portClass_.KeyingServiceAnswersAgain()) return false;
    for (const auto& link : links) CreatePorts(*link);
    return true;
}

void PortProvisioning::RemoveAllSystemPorts() {
    std::unique_ptr<IVSPortAx> instance = portClass_.CreateInstance();
    if (!instance) return;
    instance->DeleteAllPorts();
    instance->DeletePort();
}

}  // namespace qx
