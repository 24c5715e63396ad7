#include "manager/port_provisioning.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/cuse_device_name.h"
#include "platform/cuse_helper_client.h"
#include "platform/diagnostics.h"
#include "platform/ports_directory.h"
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
        const std::string name = PortName(number);
        if (dispatchId == kEventClosed) {
            TraceText(key, ChannelTitle(channel), TraceKind::kClose, name);
            return;
        }
        const std::string holder = port.GetOpenerPath().value_or("");
        TraceText(key, ChannelTitle(channel), TraceKind::kOpen,
                  holder.empty() ? name : name + " by " + holder);
    };
}

// Reads of 4096 bytes per call: the user interface thread's pass must stay short; the port's own
// thread serves no program while it takes, so it takes everything, bounded only against a
// component that claims bytes it never gives up.
constexpr int kReadsPerPass = 16;
constexpr int kReadsPerWrite = 1024;

// Takes what the port's programs wrote, for no device; the count.
uint64_t TakeUnserved(IVSPortAx& port, int maxReads) {
    uint8_t buffer[4096];
    uint64_t taken = 0;
    for (int i = 0; i < maxReads && port.BytesWaiting().value_or(0) > 0; ++i) {
        const std::optional<int> count = port.ReadFromPort(buffer, sizeof buffer);
        if (!count || *count <= 0) break;
        taken += static_cast<uint64_t>(*count);
    }
    return taken;
}

// The failure of the port named name, for a reason that has no failure type of its own.
PortNotMade Failed(const std::string& name, const std::string& why) {
    return {PortNotMade::Reason::kFailed, {0, name + ": " + why}};
}

}  // namespace

PortProvisioning::PortProvisioning(IVSPortAxClass& portClass, const int& removePortsOnDeviceRemoval)
    : portClass_(portClass), removePortsOnDeviceRemoval_(removePortsOnDeviceRemoval) {}

// A number above the range, or one that another channel (of this or another interface)
// already has, fails like any other creation: the balloon, then the channel's Status row shows
// the number as one that cannot be created; the failure says why, as the component would not.
PortNotMade PortProvisioning::Refuse(CHVInterface& link, int number, PortNotMade::Reason reason) {
    Report(link, kPortOperationCreating, number);
    Report(link, kPortOperationDone, number);
    const std::string why = reason == PortNotMade::Reason::kNumberTaken
                                ? " is another channel's port"
                                : " is above COM" + std::to_string(kMaxPortNumber);
    return {reason, Error{0, PortName(number) + why}};
}

// The instance is made, connected and created completely before it enters the slot, so the
// worker only ever meets an empty slot or a bound one.
Expected<void, PortNotMade> PortProvisioning::CreateChannelPort(CHVInterface& link,
                                                                Channel channel) {
    const PortNotMade noneWanted{PortNotMade::Reason::kNoneWanted, {}};
    int number = 0;
    {
        MutexLock lock(link.portGuard);
        const ChannelPortSlot& slot = link.ports[channel];
        if (slot.instance || slot.sink || slot.portNumber == 0 || !slot.unusableSetting.empty())
            return noneWanted;
        number = slot.portNumber;
    }
    // Below 1 names no port at all ("COM-3"): nothing to create and nothing to announce.
    if (number < kMinPortNumber) return noneWanted;
    const std::string name = PortName(number);
    const auto kept = std::find_if(kept_.begin(), kept_.end(), [&](const KeptPort& k) {
        return k.key == link.key && k.channel == channel && k.portNumber == number;
    });
    if (kept != kept_.end()) {
        if (!TakeUp(link, channel, *kept)) return Failed(name, "its events cannot be followed");
        kept_.erase(kept);
        return {};
    }
    if (number > kMaxPortNumber) return Refuse(link, number, PortNotMade::Reason::kOutOfRange);
    if (boundNumbers_.count(number)) return Refuse(link, number, PortNotMade::Reason::kNumberTaken);
    std::unique_ptr<IVSPortAx> instance = portClass_.CreateInstance();
    if (!instance) return Failed(name, "the component made no instance");
    instance->SetCreationFlag(false);
    instance->SetAssumedDataBits(channel == kFsk ? 5 : 8);

    auto sink = std::make_shared<CVSPDriver>(link.WorkerWake(), link.userInterfaceWake);
    uint32_t cookie = 0;
    if (!instance->Advise(sink, cookie)) return Failed(name, "its events cannot be followed");
    sink->portChanged.store(0);

    Report(link, kPortOperationCreating, number);
    Expected<void> bound = instance->CreatePort(name);
    const bool reused = !bound;
    if (reused) bound = instance->ReusePort(name);
    Report(link, kPortOperationDone, number);
    if (!bound) {
        // The balloon and the channel's Status row say that the port is missing; standard
        // error, which the journal keeps for the user service, says why. A name another user
        // holds stays theirs (names are machine-wide): the way out is another number.
        if (bound.error().code == kCuseHeldByAnotherUserCode)
            SayDiagnostic(Diagnostic::kNameHeldByAnother, {name, CuseDeviceName(name)});
        else
            SayDiagnostic(Diagnostic::kPortTrouble, {name, bound.error().message});
        instance->DeletePort();
        instance->Unadvise(cookie);
        return PortNotMade{PortNotMade::Reason::kFailed, bound.error()};
    }
    sink->SetHolderTrace(HolderTrace(link.key, channel, number, *instance));
    {
        MutexLock lock(link.portGuard);
        ChannelPortSlot& slot = link.ports[channel];
        slot.instance = std::move(instance);
        slot.sink = std::move(sink);
        slot.cookie = cookie;
        slot.linesFromBefore = reused;
    }
    boundNumbers_.insert(number);
    link.Wake();  // a program may hold the port already (a name taken over)
    return {};
}

// The port its interface's new link takes up is the same one its programs hold: their settings
// reach the device from the link's first passes, while what they wrote meanwhile is dropped
// rather than sent to the device late. So are the keying lines they held: the interface returns
// released (an operator may have pulled the cable to stop a stuck transmitter), and only a line
// its program changes from now on keys it. The new sink comes before the old one goes: if it
// cannot be attached, the port stays kept as it was.
bool PortProvisioning::TakeUp(CHVInterface& link, Channel channel, KeptPort& kept) {
    Report(link, kPortOperationCreating, kept.portNumber);
    auto sink = std::make_shared<CVSPDriver>(link.WorkerWake(), link.userInterfaceWake);
    uint32_t cookie = 0;
    const bool advised = kept.instance->Advise(sink, cookie);
    Report(link, kPortOperationDone, kept.portNumber);
    if (!advised) return false;
    StopTakingUnserved(kept);
    kept.droppedBytes += TakeDropped(kept);
    kept.instance->Unadvise(kept.cookie);
    sink->SetHolderTrace(HolderTrace(link.key, channel, kept.portNumber, *kept.instance));
    link.droppedBytes[channel].fetch_add(kept.droppedBytes);
    {
        MutexLock lock(link.portGuard);
        ChannelPortSlot& slot = link.ports[channel];
        slot.instance = std::move(kept.instance);
        slot.sink = std::move(sink);
        slot.cookie = cookie;
        slot.linesFromBefore = true;
    }
    link.Wake();
    return true;
}

bool PortProvisioning::ReleaseChannelPort(CHVInterface& link, Channel channel) {
    return Release(link, channel, false);
}

// The slot is cleared first, so the worker stops using the port before it goes.
bool PortProvisioning::Release(CHVInterface& link, Channel channel, bool keep) {
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
    link.Wake();  // a program that held the port lets go of its lines
    Report(link, kPortOperationReleasing, number);
    const bool stays = !removePortsOnDeviceRemoval_;
    if (!stays) instance->DeletePort();
    Report(link, kPortOperationDone, number);
    if (stays && keep) {
        instance->SetInputLine(false);  // no device drives the program's input line meanwhile
        kept_.push_back({link.key, channel, number, std::move(instance), std::move(sink), cookie});
        StartTakingUnserved(kept_.back());
        return true;
    }
    boundNumbers_.erase(number);
    instance->Unadvise(cookie);
    return true;
}

// What was written before the port's thread takes it is taken here.
void PortProvisioning::StartTakingUnserved(KeptPort& kept) {
    IVSPortAx* port = kept.instance.get();  // lives as long as the taker: cleared before it goes
    kept.sink->SetUnservedBytesTaker([port, taken = kept.takenOnWrite] {
        const uint64_t count = TakeUnserved(*port, kReadsPerWrite);
        taken->fetch_add(count);
        return count;
    });
    kept.closeDropsSeen = port->BytesDroppedAtClose();
    kept.droppedBytes += TakeUnserved(*port, kReadsPerPass);
}

// What the port's thread took, what is still waiting (a pass's worth), and what a close threw
// away before anyone could take it (a program that wrote and closed at once).
uint64_t PortProvisioning::TakeDropped(KeptPort& kept) {
    const uint64_t closeDrops = kept.instance->BytesDroppedAtClose();
    // A port whose device was replaced counts from 0 again.
    const uint64_t droppedAtClose =
        closeDrops >= kept.closeDropsSeen ? closeDrops - kept.closeDropsSeen : closeDrops;
    kept.closeDropsSeen = closeDrops;
    return kept.takenOnWrite->exchange(0) + TakeUnserved(*kept.instance, kReadsPerPass) +
           droppedAtClose;
}

void PortProvisioning::StopTakingUnserved(KeptPort& kept) {
    kept.sink->SetUnservedBytesTaker(nullptr);
    kept.droppedBytes += kept.takenOnWrite->exchange(0);
}

void PortProvisioning::AdoptKeptPorts(CHVInterface& link,
                                      const std::vector<std::unique_ptr<CHVInterface>>& links) {
    if (std::ranges::any_of(kept_, [&](const KeptPort& kept) { return kept.key == link.key; }))
        return;
    const auto away = std::ranges::find_if(kept_, [&](const KeptPort& kept) {
        return std::ranges::none_of(links,
                                    [&](const auto& other) { return other->key == kept.key; });
    });
    if (away == kept_.end()) return;
    const std::string key = away->key;
    MutexLock lock(link.portGuard);
    for (KeptPort& kept : kept_) {
        if (kept.key != key) continue;
        kept.key = link.key;
        link.ports[kept.channel].portNumber = kept.portNumber;
        link.ports[kept.channel].unusableSetting.clear();
    }
}

void PortProvisioning::CreatePorts(CHVInterface& link) {
    LetGoKeptPortsNotWanted(link);
    for (Channel channel : kAllChannels) CreateChannelPort(link, channel);
}

void PortProvisioning::ReleasePorts(CHVInterface& link) {
    for (Channel channel : kAllChannels) ReleaseChannelPort(link, channel);
}

void PortProvisioning::ReleasePortsOfRemovedLink(CHVInterface& link) {
    for (Channel channel : kAllChannels) Release(link, channel, true);
}

// A kept port whose channel now has another number (the settings file changed meanwhile) would
// never be taken up: it goes as it would have gone with its link.
void PortProvisioning::LetGoKeptPortsNotWanted(const CHVInterface& link) {
    std::erase_if(kept_, [&](KeptPort& kept) {
        if (kept.key != link.key) return false;
        {
            MutexLock lock(link.portGuard);
            if (link.ports[kept.channel].portNumber == kept.portNumber) return false;
        }
        LetGo(kept);
        return true;
    });
}

void PortProvisioning::LetGo(KeptPort& kept) {
    StopTakingUnserved(kept);
    if (removePortsOnDeviceRemoval_) kept.instance->DeletePort();
    kept.instance->Unadvise(kept.cookie);
    kept.instance.reset();
    boundNumbers_.erase(kept.portNumber);
}

void PortProvisioning::ReleaseKeptPorts() {
    for (KeptPort& kept : kept_) LetGo(kept);
    kept_.clear();
}

bool PortProvisioning::KeepServed(CHVInterface& link) {
    std::array<IVSPortAx*, kChannelCount> instances{};
    {
        MutexLock lock(link.portGuard);
        for (Channel channel : kAllChannels)
            instances[channel] = link.ports[channel].instance.get();
    }
    // Only this thread releases instances, so they stay valid without the lock.
    bool changed = false;
    for (IVSPortAx* instance : instances)
        if (instance && instance->KeepServed()) changed = true;
    if (changed) link.Wake();
    return changed;
}

bool PortProvisioning::AnyPortUnserved(
    const std::vector<std::unique_ptr<CHVInterface>>& links) const {
    for (const KeptPort& kept : kept_)
        if (kept.instance->Unserved() || LinkWaitingFor(kept, links)) return true;
    for (const auto& link : links) {
        MutexLock lock(link->portGuard);
        for (const ChannelPortSlot& slot : link->ports)
            if (slot.instance && slot.instance->Unserved()) return true;
    }
    return false;
}

CHVInterface* PortProvisioning::LinkWaitingFor(
    const KeptPort& kept, const std::vector<std::unique_ptr<CHVInterface>>& links) {
    for (const auto& link : links) {
        if (link->key != kept.key) continue;
        MutexLock lock(link->portGuard);
        const ChannelPortSlot& slot = link->ports[kept.channel];
        if (!slot.instance && slot.portNumber == kept.portNumber) return link.get();
    }
    return nullptr;
}

bool PortProvisioning::ServeKeptPorts(const std::vector<std::unique_ptr<CHVInterface>>& links) {
    bool changed = false;
    std::vector<std::pair<CHVInterface*, Channel>> waiting;
    for (KeptPort& kept : kept_) {
        if (const uint64_t dropped = TakeDropped(kept)) {
            kept.droppedBytes += dropped;
            changed = true;
        }
        if (kept.instance->KeepServed()) changed = true;
        if (kept.sink->portChanged.exchange(0)) changed = true;
        if (CHVInterface* link = LinkWaitingFor(kept, links))
            waiting.emplace_back(link, kept.channel);
    }
    for (const auto& [link, channel] : waiting)
        if (CreateChannelPort(*link, channel)) changed = true;
    return changed;
}

Expected<void, PortNotMade> PortProvisioning::UpdatePorts(
    CHVInterface& link, const std::array<int, kChannelCount>& portNumbers) {
    Expected<void, PortNotMade> outcome;
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
        if (auto made = CreateChannelPort(link, channel);
            !made && made.error().reason != PortNotMade::Reason::kNoneWanted)
            outcome = made;
    }
    return outcome;
}

bool PortProvisioning::CreatePortsWhenKeyingServiceAnswers(
    const std::vector<std::unique_ptr<CHVInterface>>& links) {
    if (!portClass_.KeyingServiceAnswersAgain()) return false;
    for (const auto& link : links) CreatePorts(*link);
    return true;
}

void PortProvisioning::RemoveAllSystemPorts() {
    for (KeptPort& kept : kept_) {
        StopTakingUnserved(kept);
        kept.instance->DeletePort();
        kept.instance->Unadvise(kept.cookie);
        boundNumbers_.erase(kept.portNumber);
    }
    kept_.clear();
    std::unique_ptr<IVSPortAx> instance = portClass_.CreateInstance();
    if (!instance) return;
    instance->DeleteAllPorts();
    instance->DeletePort();
}

}  // namespace qx
