#include "manager/interface_status.h"

#include <cstdio>

#include "core/utf8.h"
#include "manager/CHVInterfaceManager.h"
#include "platform/ports_directory.h"

namespace qx {
namespace {

// The name the package's udev rule gives a keying port's device; programs that list serial
// devices (fldigi, flrig) show it, so it is what a user picks or types there.
std::string ByIdPath(int portNumber) {
    return "/dev/serial/by-id/qx-manager-" + PortName(portNumber);
}

std::string SettingsText(const PortReading& reading) {
    return std::to_string(reading.baudRate) + " baud " + std::to_string(reading.dataBits) +
           ParityLetter(reading.parity) + StopBitsText(reading.stopBits);
}

std::string PortState(const ChannelStatus& status) {
    if (!status.bound) return "  cannot be created";
    if (!status.reading.open) return "  not open";
    return "  open by " + status.reading.openerPath + ", " + SettingsText(status.reading);
}

std::string ChannelLine(Channel channel, const ChannelStatus& status, const std::string& portsDir,
                        bool keyingPorts) {
    char title[16];
    std::snprintf(title, sizeof title, "  %-7s ", ChannelTitle(channel));
    std::string line = title;
    if (!status.present) return line + "not supported by the interface\n";
    if (status.portNumber == 0) return line + "no port\n";
    line += PortPath(portsDir, status.portNumber) + PortState(status);
    if (status.droppedBytes != 0)
        line += ", " + std::to_string(status.droppedBytes) + " bytes dropped";
    if (keyingPorts && status.bound) line += "\n          also " + ByIdPath(status.portNumber);
    return line + "\n";
}

// Text from a device or a program as a JSON string: malformed UTF-8 becomes U+FFFD, so the
// output always parses.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = NextCodePoint(text, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            AppendUtf8(out, c);
        }
    }
    return out + "\"";
}

std::string JsonNumberOrNull(bool known, int number) {
    return known ? std::to_string(number) : "null";
}

// Every key is always present, null when it does not apply, so scripts can rely on the shape.
std::string ChannelJson(Channel channel, const ChannelStatus& status, const std::string& portsDir,
                        const std::string& portKind) {
    const bool chosen = status.portNumber != 0;
    const bool open = status.bound && status.reading.open;
    const std::string dropped = ", \"droppedBytes\": " + std::to_string(status.droppedBytes) + "}";
    std::string out = "{\"channel\": " + JsonString(ChannelTitle(channel)) +
                      ", \"supported\": " + (status.present ? "true" : "false") +
                      ", \"com\": " + JsonNumberOrNull(chosen, status.portNumber) + ", \"port\": ";
    out += chosen ? JsonString(PortPath(portsDir, status.portNumber)) : "null";
    out += ", \"kind\": ";
    out += status.bound && !portKind.empty() ? JsonString(portKind) : "null";
    out += ", \"byId\": ";
    out += status.bound && portKind == "cuse" ? JsonString(ByIdPath(status.portNumber)) : "null";
    out += std::string(", \"created\": ") + (status.bound ? "true" : "false");
    out += std::string(", \"open\": ") + (open ? "true" : "false") + ", \"program\": ";
    if (!open) return out + "null, \"settings\": null" + dropped;
    const PortReading& r = status.reading;
    return out + JsonString(r.openerPath) +
           ", \"settings\": {\"baud\": " + std::to_string(r.baudRate) +
           ", \"dataBits\": " + std::to_string(r.dataBits) +
           ", \"parity\": " + JsonString(ParityLetter(r.parity)) +
           ", \"stopBits\": " + StopBitsText(r.stopBits) + "}" + dropped;
}

// Keying ports are CUSE ports (also while their service is awaited) or, without them,
// pseudo-terminals.
const char* KeyingKind(const KeyingPorts& keying) {
    return keying.state == KeyingPorts::State::kUnavailable ? "pty" : "cuse";
}

std::string KeyingLine(const KeyingPorts& keying) {
    switch (keying.state) {
    case KeyingPorts::State::kServed: return "Keying ports: CUSE, keyed by RTS/DTR\n";
    case KeyingPorts::State::kWaiting: return "Keying ports: CUSE, " + keying.reason + "\n";
    case KeyingPorts::State::kUnavailable: break;
    }
    return "Keying ports: pseudo-terminals, keying by RTS/DTR unavailable: " + keying.reason + "\n";
}

std::string KeyingJson(const KeyingPorts& keying) {
    return std::string("\"keyingPorts\": {\"kind\": \"") + KeyingKind(keying) +
           "\", \"reason\": " + (keying.reason.empty() ? "null" : JsonString(keying.reason)) + "}";
}

constexpr const char* kRoleTitles[kSchedulingRoleCount] = {"link workers", "port threads",
                                                           "relays"};
constexpr const char* kRoleKeys[kSchedulingRoleCount] = {"linkWorkers", "portThreads", "relays"};

std::string SchedulingText(const SchedulingOutcome& outcome) {
    switch (outcome.scheduling) {
    case Scheduling::kNotAsked: return "not asked";
    case Scheduling::kFifo: return "SCHED_FIFO";
    case Scheduling::kRealtimeKit: return "SCHED_RR from RealtimeKit";
    case Scheduling::kNormal: break;
    }
    return "normal (" + outcome.refusal + ")";
}

const char* SchedulingKey(Scheduling scheduling) {
    switch (scheduling) {
    case Scheduling::kNotAsked: return "notAsked";
    case Scheduling::kFifo: return "fifo";
    case Scheduling::kRealtimeKit: return "realtimeKit";
    case Scheduling::kNormal: break;
    }
    return "normal";
}

std::string RealtimeLine(const StatusReport& report) {
    std::string out = "Real-time priority:";
    for (int role = 0; role < kSchedulingRoleCount; ++role)
        out += std::string(role == 0 ? " " : ", ") + kRoleTitles[role] + " " +
               SchedulingText(report.scheduling[static_cast<size_t>(role)]);
    return out + "\n";
}

std::string RealtimeJson(const StatusReport& report) {
    std::string out = "\"realtime\": {";
    for (int role = 0; role < kSchedulingRoleCount; ++role) {
        const SchedulingOutcome& outcome = report.scheduling[static_cast<size_t>(role)];
        out += std::string(role == 0 ? "" : ", ") + "\"" + kRoleKeys[role] +
               "\": {\"scheduling\": \"" + SchedulingKey(outcome.scheduling) + "\", \"refusal\": " +
               (outcome.refusal.empty() ? "null" : JsonString(outcome.refusal)) + "}";
    }
    return out + "}";
}

std::string WaitingText(const std::vector<WaitingPortStatus>& waiting, const std::string& portsDir,
                        bool keyingPorts) {
    std::string out;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
        const WaitingPortStatus& port = waiting[i];
        if (i == 0 || waiting[i - 1].serialNumber != port.serialNumber)
            out += "Ports waiting for interface " + port.serialNumber + ":\n";
        out += ChannelLine(port.channel, port.status, portsDir, keyingPorts);
        if (i + 1 == waiting.size() || waiting[i + 1].serialNumber != port.serialNumber)
            out += "\n";
    }
    return out;
}

std::string WaitingJson(const std::vector<WaitingPortStatus>& waiting, const std::string& portsDir,
                        const std::string& portKind) {
    std::string out = "\"waitingPorts\": [";
    for (std::size_t i = 0; i < waiting.size(); ++i) {
        const WaitingPortStatus& port = waiting[i];
        if (i != 0) out += ", ";
        out += "{\"serialNumber\": " + JsonString(port.serialNumber) + ", " +
               ChannelJson(port.channel, port.status, portsDir, portKind).substr(1);
    }
    return out + "]";
}

std::vector<WaitingPortStatus> ReadWaitingPorts(const CHVInterfaceManager& manager) {
    std::vector<WaitingPortStatus> waiting;
    for (const KeptPort& kept : manager.provisioning.KeptPorts()) {
        WaitingPortStatus& port = waiting.emplace_back();
        port.serialNumber = kept.key;
        port.channel = kept.channel;
        port.status.present = true;
        port.status.portNumber = kept.portNumber;
        port.status.bound = true;
        port.status.reading = ReadPortStatus(*kept.instance, true);
        port.status.droppedBytes = kept.droppedBytes;
    }
    return waiting;
}

}  // namespace

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
        for (Channel channel : kAllChannels) {
            ChannelStatus& out = status.channels[channel];
            out.present = link->channelPresent[channel].load() != 0;
            out.droppedBytes = link->droppedBytes[channel].load();
            IVSPortAx* instance = nullptr;
            {
                MutexLock lock(link->portGuard);
                const ChannelPortSlot& slot = link->ports[channel];
                out.portNumber = slot.portNumber;
                out.bound = slot.instance != nullptr && slot.sink != nullptr;
                instance = slot.instance.get();
            }
            // Only this thread releases instances, so it may read one without the lock: the
            // holder lookup reads /proc and must not hold up the worker.
            if (instance) out.reading = ReadPortStatus(*instance, true);
        }
    }
    return report;
}

std::string FormatStatusText(const StatusReport& report, const std::string& portsDir,
                             const KeyingPorts& keying) {
    const bool keyingPorts = keying.state == KeyingPorts::State::kServed;
    const std::string waiting = WaitingText(report.waiting, portsDir, keyingPorts);
    if (report.interfaces.empty())
        return "No interface is connected.\n" + waiting + RealtimeLine(report) + KeyingLine(keying);
    std::string out;
    for (const InterfaceStatus& status : report.interfaces) {
        out += status.model + ", serial number " + status.serialNumber + ", firmware " +
               (status.firmware.empty() ? "not known yet" : status.firmware) + "\n";
        if (status.keyingUnguarded)
            out +=
                "  keying unguarded: a transmitter keyed when the program is killed stays "
                "keyed\n";
        for (Channel channel : kAllChannels)
            out += ChannelLine(channel, status.channels[channel], portsDir, keyingPorts);
        out += "\n";
    }
    return out + waiting + RealtimeLine(report) + KeyingLine(keying);
}

std::string FormatStatusJson(const StatusReport& report, const std::string& portsDir,
                             const std::string& portKind, const KeyingPorts& keying) {
    const std::vector<InterfaceStatus>& interfaces = report.interfaces;
    std::string out = "{\"version\": " + std::to_string(kStatusJsonVersion) + ", \"interfaces\": [";
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const InterfaceStatus& status = interfaces[i];
        if (i != 0) out += ", ";
        out += "{\"model\": " + JsonString(status.model) +
               ", \"serialNumber\": " + JsonString(status.serialNumber) +
               ", \"firmware\": " + JsonString(status.firmware) +
               ", \"keyingUnguarded\": " + (status.keyingUnguarded ? "true" : "false") +
               ", \"channels\": [";
        for (Channel channel : kAllChannels) {
            if (channel != kCat) out += ", ";
            out += ChannelJson(channel, status.channels[channel], portsDir, portKind);
        }
        out += "]}";
    }
    return out + "], " + WaitingJson(report.waiting, portsDir, portKind) + ", " +
           RealtimeJson(report) + ", " + KeyingJson(keying) + "}\n";
}

}  // namespace qx
