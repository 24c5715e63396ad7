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
#include "manager/channel_snapshot.h"
#include "manager/port_reading.h"
#include "platform/realtime_scheduling.h"
#include "vsp/IVSPortAx.h"

namespace qx {

class CHVInterfaceManager;

struct InterfaceStatus {
    std::string model;
    std::string serialNumber;
    std::string firmware;          // empty until the device told it
    bool keyingUnguarded = false;  // no transmitter guard holds it (see platform/keying_guardian.h)
    ChannelSnapshots channels;
};

// A port kept on the machine while its interface is away.
struct WaitingPortStatus {
    std::string serialNumber;  // of the interface it waits for
    Channel channel = kCat;
    ChannelSnapshot status;  // droppedBytes: what its programs wrote while it waited
};

struct StatusReport {
    std::vector<InterfaceStatus> interfaces;
    std::vector<WaitingPortStatus> waiting;
    // What each kind of thread on the keying road got, by SchedulingRole.
    std::array<SchedulingOutcome, kSchedulingRoleCount> scheduling;
};

StatusReport ReadStatusReport(CHVInterfaceManager& manager);

// The name the package's udev rule gives a keying port's device; programs that list serial
// devices (fldigi, flrig) show it, so it is what a user picks or types there.
std::string ByIdPath(int portNumber);

// The words of FormatStatusText, which the application gives in the user's language; "%s"
// stands for each value noted, in that order.
enum class StatusWord {
    kNoInterface,        // No interface is connected.
    kInterface,          // model, serial number, firmware
    kFirmwareNotKnown,   // in place of the firmware
    kKeyingUnguarded,    // no transmitter guard holds the interface
    kNotSupported,       // the interface has no such channel
    kNoPort,             // no port chosen
    kCannotCreate,       // the port is chosen but not served
    kNotOpen,            // no program holds the port
    kOpenBy,             // the program, its settings
    kSettings,           // baud rate, data bits + parity + stop bits ("8N1")
    kBytesDropped,       // the count
    kAlsoById,           // the port's /dev/serial/by-id name
    kWaitingFor,         // the serial number of the interface ports wait for
    kRealtime,           // the outcomes of the roles below, joined by ", "
    kLinkWorkers,        // the role's outcome
    kPortThreads,        // the role's outcome
    kRelays,             // the role's outcome
    kNotAsked,           // no thread of the role asked
    kRealtimeKit,        // granted by RealtimeKit
    kNormal,             // why not granted
    kKeyingServed,       // keying ports are CUSE ports keyed by RTS/DTR
    kKeyingWaiting,      // keying ports are CUSE ports waiting for their service
    kKeyingUnavailable,  // why keying ports are pseudo-terminals
    kCount
};
using StatusWords = std::array<std::string, static_cast<std::size_t>(StatusWord::kCount)>;

// One block per interface, one per interface that ports wait for, the real-time priority of
// the keying road, then the kind of keying ports; portsDir is where COM<n> paths are published. A
// created port served with keying lines also shows its /dev/serial/by-id name.
std::string FormatStatusText(const StatusReport& report, const std::string& portsDir,
                             const KeyingPorts& keying, const StatusWords& words);
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
