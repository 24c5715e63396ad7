#include "ui/status_page_model.h"

#include <algorithm>

#include "app/strings.h"
#include "link/CHVInterface.h"
#include "manager/port_provisioning.h"
#include "platform/ports_directory.h"

namespace qx {
namespace {

bool HasParameterLine(Channel channel) { return channel == kCat || channel == kFsk; }
int ParameterSlot(int channel) { return channel == kCat ? 0 : 1; }

// "COM5, COM6: waiting for interface QX4SIM0001, 12 bytes dropped", a line per interface.
std::string WaitingText(const std::vector<WaitingPortInput>& waiting,
                        const StatusStrings& strings) {
    std::vector<std::string> keys;
    for (const WaitingPortInput& port : waiting)
        if (std::find(keys.begin(), keys.end(), port.interfaceKey) == keys.end())
            keys.push_back(port.interfaceKey);
    std::string text;
    for (const std::string& key : keys) {
        std::string ports;
        uint64_t dropped = 0;
        for (const WaitingPortInput& port : waiting) {
            if (port.interfaceKey != key) continue;
            ports += (ports.empty() ? "COM" : ", COM") + std::to_string(port.portNumber);
            dropped += port.droppedBytes;
        }
        if (!text.empty()) text += "\n";
        text += FormatTexts(strings.waitingForInterface, {ports, key});
        if (dropped != 0) text += ", " + std::to_string(dropped) + " " + strings.bytesDropped;
    }
    return text;
}

}  // namespace

std::string FileNameOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string PortPathText(const ChannelSnapshot& in, const std::string& portsDirectory) {
    if (in.portNumber <= 0 || !in.unusableSetting.empty() || !in.hasPort || !in.hasSink) return {};
    return PortPath(portsDirectory, in.portNumber);
}

std::string ParameterLine(const PortReading& reading, const StatusStrings& strings) {
    return strings.parameters + ": " + std::to_string(reading.baudRate) + " " + strings.baud +
           ", " + std::to_string(reading.dataBits) + ", " + ParityLetter(reading.parity) + ", " +
           StopBitsText(reading.stopBits);
}

StatusPageInput ReadStatusInput(CHVInterface* link) {
    StatusPageInput input;
    if (!link) return input;
    input.selected = true;
    input.keyingUnguarded = link->KeyingUnguarded();
    input.channels = SnapshotChannels(*link, HasParameterLine);
    return input;
}

std::vector<WaitingPortInput> ReadWaitingPorts(const PortProvisioning& provisioning) {
    std::vector<WaitingPortInput> waiting;
    for (const KeptPort& kept : provisioning.KeptPorts())
        waiting.push_back({kept.key, kept.portNumber, kept.droppedBytes});
    return waiting;
}

StatusPageView ComputeStatusPage(const StatusPageInput& input, const StatusStrings& strings) {
    StatusPageView view;
    view.waitingText = WaitingText(input.waiting, strings);
    view.portNames.fill(strings.notSelected);
    if (!input.selected) {
        view.addPortVisible.fill(false);
        view.holderVisible.fill(false);
        view.parameterVisible.fill(false);
        view.testControlsVisible = false;
        return view;
    }
    for (Channel channel : kAllChannels) {
        const ChannelSnapshot& in = input.channels[channel];
        std::string& holder = view.holderLines[channel];
        // Any setting other than none is shown, also one that cannot give a port, so that
        // the row says which value failed.
        const bool assigned = in.portNumber != 0 || !in.unusableSetting.empty();
        if (assigned) {
            view.portNames[channel] =
                in.unusableSetting.empty() ? PortName(in.portNumber) : in.unusableSetting;
            if (!in.hasPort || !in.hasSink)
                holder = input.keying == KeyingPorts::State::kWaiting ? input.keyingText
                                                                      : strings.cannotCreate;
        }
        if (in.hasPort && in.reading.open) {
            if (!in.reading.openerPath.empty())
                holder = strings.isOpenBy + " " + FileNameOf(in.reading.openerPath);
            if (HasParameterLine(channel))
                view.parameterLines[ParameterSlot(channel)] = ParameterLine(in.reading, strings);
        }
        if (holder.empty()) holder = strings.notOpen;
        // A PTT/CW port without RTS/DTR keys nothing: the row says so, and why.
        if (channel == kPttCw && assigned && input.keying == KeyingPorts::State::kUnavailable)
            holder += " - " + input.keyingText;
        // Nor does anything release what it keys should the program be killed.
        if (channel == kPttCw && input.keyingUnguarded) holder += " - " + strings.keyingUnguarded;
        // What the program lost goes after the parameters, or after the holder where the row
        // shows none.
        if (in.droppedBytes != 0) {
            std::string& row =
                HasParameterLine(channel) ? view.parameterLines[ParameterSlot(channel)] : holder;
            row += (row.empty() ? "" : ", ") + std::to_string(in.droppedBytes) + " " +
                   strings.bytesDropped;
        }

        if (in.present) {
            view.addPortVisible[channel] = !assigned;
        } else {
            view.addPortVisible[channel] = false;
            view.portNames[channel] = kNotSupportedText;
        }
        view.holderVisible[channel] = assigned;
        if (HasParameterLine(channel)) view.parameterVisible[ParameterSlot(channel)] = assigned;
    }
    // Without a PTT/CW channel the test controls keep whatever visibility they had.
    if (input.channels[kPttCw].present) view.testControlsVisible = true;
    return view;
}

}  // namespace qx
