// `--status` as text, in the words the application gives.
#include <cstdio>

#include "core/text_format.h"
#include "manager/interface_status.h"
#include "platform/ports_directory.h"

namespace qx {
namespace {

class StatusText {
public:
    StatusText(const StatusWords& words, const std::string& portsDir, const KeyingPorts& keying)
        : words_(words),
          portsDir_(portsDir),
          keying_(keying),
          keyingPorts_(keying.state == KeyingPorts::State::kServed) {}

    std::string Format(const StatusReport& report) const {
        const std::string tail = Waiting(report.waiting) + Realtime(report) + Keying();
        if (report.interfaces.empty()) return Word(StatusWord::kNoInterface) + "\n" + tail;
        std::string out;
        for (const InterfaceStatus& status : report.interfaces) {
            const std::string firmware =
                status.firmware.empty() ? Word(StatusWord::kFirmwareNotKnown) : status.firmware;
            out +=
                Words(StatusWord::kInterface, {status.model, status.serialNumber, firmware}) + "\n";
            if (status.keyingUnguarded) out += "  " + Word(StatusWord::kKeyingUnguarded) + "\n";
            for (Channel channel : kAllChannels) out += Line(channel, status.channels[channel]);
            out += "\n";
        }
        return out + tail;
    }

private:
    const std::string& Word(StatusWord word) const {
        return words_[static_cast<std::size_t>(word)];
    }
    std::string Words(StatusWord word, std::initializer_list<std::string_view> values) const {
        return FormatTexts(Word(word), values);
    }

    std::string PortState(const ChannelSnapshot& status) const {
        if (!status.Served()) return Word(StatusWord::kCannotCreate);
        if (!status.reading.open) return Word(StatusWord::kNotOpen);
        const PortReading& r = status.reading;
        const std::string frame =
            std::to_string(r.dataBits) + ParityLetter(r.parity) + StopBitsText(r.stopBits);
        return Words(
            StatusWord::kOpenBy,
            {r.openerPath, Words(StatusWord::kSettings, {std::to_string(r.baudRate), frame})});
    }

    std::string Line(Channel channel, const ChannelSnapshot& status) const {
        char title[16];
        std::snprintf(title, sizeof title, "  %-7s ", ChannelTitle(channel));
        std::string line = title;
        if (!status.present) return line + Word(StatusWord::kNotSupported) + "\n";
        if (status.portNumber == 0) return line + Word(StatusWord::kNoPort) + "\n";
        line += PortPath(portsDir_, status.portNumber) + "  " + PortState(status);
        if (status.droppedBytes != 0)
            line += ", " + Words(StatusWord::kBytesDropped, {std::to_string(status.droppedBytes)});
        if (keyingPorts_ && status.Served())
            line += "\n          " + Words(StatusWord::kAlsoById, {ByIdPath(status.portNumber)});
        return line + "\n";
    }

    std::string Waiting(const std::vector<WaitingPortStatus>& waiting) const {
        std::string out;
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            const WaitingPortStatus& port = waiting[i];
            if (i == 0 || waiting[i - 1].serialNumber != port.serialNumber)
                out += Words(StatusWord::kWaitingFor, {port.serialNumber}) + "\n";
            out += Line(port.channel, port.status);
            if (i + 1 == waiting.size() || waiting[i + 1].serialNumber != port.serialNumber)
                out += "\n";
        }
        return out;
    }

    std::string SchedulingOf(const SchedulingOutcome& outcome) const {
        switch (outcome.scheduling) {
        case Scheduling::kNotAsked: return Word(StatusWord::kNotAsked);
        case Scheduling::kFifo: return "SCHED_FIFO";
        case Scheduling::kRealtimeKit: return Word(StatusWord::kRealtimeKit);
        case Scheduling::kNormal: break;
        }
        return Words(StatusWord::kNormal, {outcome.refusal});
    }

    std::string Realtime(const StatusReport& report) const {
        static constexpr StatusWord kRoles[kSchedulingRoleCount] = {
            StatusWord::kLinkWorkers, StatusWord::kPortThreads, StatusWord::kRelays};
        std::string roles;
        for (int role = 0; role < kSchedulingRoleCount; ++role)
            roles +=
                (role == 0 ? "" : ", ") +
                Words(kRoles[role], {SchedulingOf(report.scheduling[static_cast<size_t>(role)])});
        return Words(StatusWord::kRealtime, {roles}) + "\n";
    }

    std::string Keying() const {
        switch (keying_.state) {
        case KeyingPorts::State::kServed: return Word(StatusWord::kKeyingServed) + "\n";
        case KeyingPorts::State::kWaiting: return Word(StatusWord::kKeyingWaiting) + "\n";
        case KeyingPorts::State::kUnavailable: break;
        }
        return Words(StatusWord::kKeyingUnavailable, {keying_.reason}) + "\n";
    }

    const StatusWords& words_;
    const std::string& portsDir_;
    const KeyingPorts& keying_;
    const bool keyingPorts_;
};

}  // namespace

std::string FormatStatusText(const StatusReport& report, const std::string& portsDir,
                             const KeyingPorts& keying, const StatusWords& words) {
    return StatusText(words, portsDir, keying).Format(report);
}

}  // namespace qx
