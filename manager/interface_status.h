#pragma once
// What `--status` prints: for each connected interface its model, serial number and firmware
// version, and per channel the port path, whether it is open, by which program and with which
// settings; then the ports kept while their interface is away. Read on the user interface thread.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/channel.h"
#include "manager/port_reading.h"
#include "platform/realtime_scheduling.h"
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
    std::string firmware;          // empty until the device told it
    bool keyingUnguarded = false;  // no transmitter guard holds it (see platform/keying_guardian.h)
    std::array<ChannelStatus, kChannelCount> channels;
};

// A port kept on the machine while its interface is away.
struct WaitingPortStatus {
    std::string serialNumber;  // of the interface it waits for
    Channel channel = kCat;
    ChannelStatus status;  // droppedBytes: what its programs wrote while it waited
};

struct StatusReport {
    std::vector<InterfaceStatus> interfaces;
    std::vector<WaitingPortStatus> waiting;
    // What each kind of thread on the keying road got, by SchedulingRole.
    std::array<SchedulingOutcome, kSchedulingRoleCount> scheduling;
};

StatusReport ReadStatusReport(CHVInterfaceManager& manager);

// One block per interface, one per interface that ports wait for, the real-time priority of
// the keying road, then the kind of keying ports; portsDir is where COM<n> paths are published. A
// created port served with keying lines also shows its /dev/serial/by-id name.
std::string FormatStatusText(const StatusReport& report, const std::string& portsDir,
                             const KeyingPorts& keying);
// The same as one JSON object {"version": kStatusJsonVersion, "interfaces": [...] (each with
// "keyingUnguarded"), "waitingPorts": [...], "realtime": {"linkWorkers", "portThreads",
// "relays"}, "keyingPorts": {"kind", "reason"}}, each of realtime's a {"scheduling": "notAsked",
// "normal", "fifo" or "realtimeKit", "refusal"}; a waiting port is a channel object
// with the interface's "serialNumber" first. portKind ("pty", "cuse", or empty when not known)
// is the kind of every created port; a created "cuse" port's "byId" is its /dev/serial/by-id
// name.
constexpr int kStatusJsonVersion = 1;
std::string FormatStatusJson(const StatusReport& report, const std::string& portsDir,
                             const std::string& portKind, const KeyingPorts& keying);

}  // namespace qx
