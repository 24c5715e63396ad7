#include "manager/channel_snapshot.h"

#include "link/CHVInterface.h"

namespace qx {

ChannelSnapshots SnapshotChannels(CHVInterface& link, bool (*withSettings)(Channel)) {
    ChannelSnapshots snapshots;
    std::array<IVSPortAx*, kChannelCount> instances{};
    {
        MutexLock lock(link.portGuard);
        for (Channel channel : kAllChannels) {
            ChannelSnapshot& out = snapshots[channel];
            const ChannelPortSlot& slot = link.ports[channel];
            out.portNumber = slot.portNumber;
            out.unusableSetting = slot.unusableSetting;
            out.hasPort = slot.instance != nullptr;
            out.hasSink = slot.sink != nullptr;
            instances[channel] = slot.instance.get();
        }
    }
    // Only this thread releases instances, so they stay valid without the lock.
    for (Channel channel : kAllChannels) {
        ChannelSnapshot& out = snapshots[channel];
        out.present = link.channelPresent[channel].load() != 0;
        out.droppedBytes = link.droppedBytes[channel].load();
        if (instances[channel])
            out.reading = ReadPortStatus(*instances[channel], withSettings(channel));
    }
    return snapshots;
}

}  // namespace qx
