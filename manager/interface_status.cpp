#include "manager/interface_status.h"

#include "core/json_writer.h"
#include "manager/CHVInterfaceManager.h"
#include "platform/ports_directory.h"

namespace qx {
namespace {

// A string where there is one, else null.
void StringOrNull(JsonWriter& json, bool present, const std::string& text) {
    if (present)
        json.String(text);
    else
        json.Null();
}

// Every key is always present, null when it does not apply, so scripts can rely on the shape.
void ChannelJson(JsonWriter& json, Channel channel, const ChannelSnapshot& status,
                 const std::string& portsDir, const std::string& portKind) {
    const bool chosen = status.portNumber != 0;
    const bool served = status.Served();
    const bool open = served && status.reading.open;
    json.Key("channel").String(ChannelTitle(channel));
    json.Key("supported").Bool(status.present);
    json.Key("com");
    if (chosen)
        json.Number(status.portNumber);
    else
        json.Null();
    json.Key("port");
    StringOrNull(json, chosen, chosen ? PortPath(portsDir, status.portNumber) : "");
    json.Key("kind");
    StringOrNull(json, served && !portKind.empty(), portKind);
    json.Key("byId");
    StringOrNull(json, served && portKind == "cuse", ByIdPath(status.portNumber));
    json.Key("created").Bool(served);
    json.Key("open").Bool(open);
    json.Key("program");
    StringOrNull(json, open, status.reading.openerPath);
    json.Key("settings");
    if (open) {
        const PortReading& r = status.reading;
        json.BeginObject();
        json.Key("baud").Number(r.baudRate).Key("dataBits").Number(r.dataBits);
        json.Key("parity").String(ParityLetter(r.parity));
        json.Key("stopBits").Number(StopBitsCount(r.stopBits));
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("droppedBytes").Number(status.droppedBytes);
}

// Keying ports are CUSE ports (also while their service is awaited) or, without them,
// pseudo-terminals.
const char* KeyingKind(const KeyingPorts& keying) {
    return keying.state == KeyingPorts::State::kUnavailable ? "pty" : "cuse";
}

void KeyingJson(JsonWriter& json, const KeyingPorts& keying) {
    json.Key("keyingPorts").BeginObject();
    json.Key("kind").String(KeyingKind(keying));
    json.Key("reason");
    StringOrNull(json, !keying.reason.empty(), keying.reason);
    json.EndObject();
}

constexpr const char* kRoleKeys[kSchedulingRoleCount] = {"linkWorkers", "portThreads", "relays"};

const char* SchedulingKey(Scheduling scheduling) {
    switch (scheduling) {
    case Scheduling::kNotAsked: return "notAsked";
    case Scheduling::kFifo: return "fifo";
    case Scheduling::kRealtimeKit: return "realtimeKit";
    case Scheduling::kNormal: break;
    }
    return "normal";
}

void RealtimeJson(JsonWriter& json, const StatusReport& report) {
    json.Key("realtime").BeginObject();
    for (int role = 0; role < kSchedulingRoleCount; ++role) {
        const SchedulingOutcome& outcome = report.scheduling[static_cast<size_t>(role)];
        json.Key(kRoleKeys[role]).BeginObject();
        json.Key("scheduling").String(SchedulingKey(outcome.scheduling));
        json.Key("refusal");
        StringOrNull(json, !outcome.refusal.empty(), outcome.refusal);
        json.EndObject();
    }
    json.EndObject();
}

void WaitingJson(JsonWriter& json, const std::vector<WaitingPortStatus>& waiting,
                 const std::string& portsDir, const std::string& portKind) {
    json.Key("waitingPorts").BeginArray();
    for (const WaitingPortStatus& port : waiting) {
        json.BeginObject().Key("serialNumber").String(port.serialNumber);
        ChannelJson(json, port.channel, port.status, portsDir, portKind);
        json.EndObject();
    }
    json.EndArray();
}

bool AllSettings(Channel) { return true; }

std::vector<WaitingPortStatus> ReadWaitingPorts(const CHVInterfaceManager& manager) {
    std::vector<WaitingPortStatus> waiting;
    for (const KeptPort& kept : manager.provisioning.KeptPorts()) {
        WaitingPortStatus& port = waiting.emplace_back();
        port.serialNumber = kept.key;
        port.channel = kept.channel;
        port.status.present = true;
        port.status.portNumber = kept.portNumber;
        port.status.hasPort = true;
        port.status.hasSink = true;
        port.status.reading = ReadPortStatus(*kept.instance, true);
        port.status.droppedBytes = kept.droppedBytes;
    }
    return waiting;
}

}  // namespace

std::string ByIdPath(int portNumber) {
    return "/dev/serial/by-id/qx-manager-" + PortName(portNumber);
}

StatusReport ReadStatusReport(CHVInterfaceManager& manager) {
    StatusReport report;
    report.waiting = ReadWaitingPorts(manager);
    for (int role = 0; role < kSchedulingRoleCount; ++role)
        report.scheduling[static_cast<size_t>(role)] =
            LastSchedulingOutcome(static_cast<SchedulingRole>(role));
    std::vector<InterfaceStatus>& result = report.interfaces;
    for (const auto& link : manager.list) {
        InterfaceStatus& status = result.emplace_back();
        status.model = link->product;
        status.serialNumber = link->key;
        status.firmware = link->VersionText();
        status.keyingUnguarded = link->KeyingUnguarded();
        status.channels = SnapshotChannels(*link, AllSettings);
    }
    return report;
}

std::string FormatStatusJson(const StatusReport& report, const std::string& portsDir,
                             const std::string& portKind, const KeyingPorts& keying) {
    JsonWriter json;
    json.BeginObject().Key("version").Number(kStatusJsonVersion);
    json.Key("interfaces").BeginArray();
    for (const InterfaceStatus& status : report.interfaces) {
        json.BeginObject();
        json.Key("model").String(status.model);
        json.Key("serialNumber").String(status.serialNumber);
        json.Key("firmware").String(status.firmware);
        json.Key("keyingUnguarded").Bool(status.keyingUnguarded);
        json.Key("channels").BeginArray();
        for (Channel channel : kAllChannels) {
            json.BeginObject();
            ChannelJson(json, channel, status.channels[channel], portsDir, portKind);
            json.EndObject();
        }
        json.EndArray().EndObject();
    }
    json.EndArray();
    WaitingJson(json, report.waiting, portsDir, portKind);
    RealtimeJson(json, report);
    KeyingJson(json, keying);
    json.EndObject();
    return json.Text() + "\n";
}

}  // namespace qx
