#pragma once
// A link's channels and their ports as they are at one moment, for the Status page and
// `--status`. Read on the user interface thread, the only one that binds or clears ports.
#include <array>
#include <cstdint>
#include <string>

#include "core/channel.h"
#include "manager/port_reading.h"

namespace qx {

class CHVInterface;

struct ChannelSnapshot {
    bool present = false;         // named in the device's channel list
    int portNumber = 0;           // 0: no port chosen
    std::string unusableSetting;  // the settings file's value when it is not a number
    bool hasPort = false;         // a port instance is bound
    bool hasSink = false;
    PortReading reading;        // meaningful only with hasPort
    uint64_t droppedBytes = 0;  // bytes the port's program did not read in time

    bool Served() const { return hasPort && hasSink; }
};

using ChannelSnapshots = std::array<ChannelSnapshot, kChannelCount>;

// The slots are copied under the link's portGuard; each port is read after it is let go, so
// the worker's pass does not wait on a port's reads (the opener lookup reads /proc). The
// settings are read for the channels withSettings names.
ChannelSnapshots SnapshotChannels(CHVInterface& link, bool (*withSettings)(Channel));

}  // namespace qx
