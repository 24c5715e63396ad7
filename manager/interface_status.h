#pragma once
// What `--status` prints: for each connected interface its model, serial number and firmware
// version, and per channel the port path, whether it is open, by which program and with which
// settings. Read on the user interface thread.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/channel.h"
#include "manager/port_reading.h"
#include "vsp/IVSPortAx.h"

namespace qx {

class CHVInterfaceManager;

struct ChannelStatus {
    bool present = false;       // named in the device's channel list
    int portNumber = 0;         // 0: no port chosen
    bool bound = false;         // the port exists and is served
    PortReading reading;        // meaningful only when bound
    uint64_t droppedBytes = 0;  // bytes the port's program did not read in time
};

struct InterfaceStatus {
    std::string model;
    std::string serialNumber;
    std::string firmware;  // empty until the device told it
    std::array<ChannelStatus, kChannelCount> channels;
};

std::vector<InterfaceStatus> ReadInterfaceStatus(CHVInterfaceManager& manager);

// One block per interface, then the kind of keying ports; portsDir is where COM<n> paths are
// published. A created port served with keying lines also shows its /dev/serial/by-id name.
std::string FormatStatusText(const std::vector<InterfaceStatus>& interfaces,
                             const std::string& portsDir, const KeyingPorts& keying);
// The same as one JSON object {"version": kStatusJsonVersion, "interfaces": [...],
// "keyingPorts": {"kind", "reason"}}; portKind ("pty", "cuse", or empty when not known) is the
// kind of every created port; a created "cuse" port's "byId" is its /dev/serial/by-id name.
constexpr int kStatusJsonVersion = 1;
std::string FormatStatusJson(const std::vector<InterfaceStatus>& interfaces,
                             const std::string& portsDir, const std::string& portKind,
                             const KeyingPorts& keying);

}  // namespace qx
