#include "ui/status_page_model.h"

#include "link/CHVInterface.h"

namespace qx {
namespace {

const char* ParityText(int parity) {
    switch (parity) {
    case kParityOdd: return "O, ";
    case kParityEven: return "E, ";
    case kParityMark: return "M, ";
    case kParitySpace: return "S, ";
    default: return "N, ";
    }
}

const char* StopBitsText(int stopBits) {
    switch (stopBits) {
    case kStopBitsOne: return "1";
    case kStopBitsOnePointFive: return "1.5";
    default: return "2";
    }
}

bool HasParameterLine(int channel) { return channel == kCat || channel == kFsk; }
int ParameterSlot(int channel) { return channel == kCat ? 0 : 1; }

}  // namespace

std::string FileNameOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ParameterLine(const PortReading& reading, const StatusStrings& strings) {
    return strings.parameters + ": " + std::to_string(reading.baudRate) + " " + strings.baud + ", " +
           std::to_string(reading.dataBits) + ", " + ParityText(reading.parity) +
           StopBitsText(reading.stopBits);
}

// Any failed read makes the whole port count as not open, rather than showing partial data.
PortReading ReadPortStatus(IVSPortAx& port, bool withParameters) {
    PortReading reading;
    const std::optional<bool> open = port.IsOpen();
    if (!open || !*open)
        return reading;
    const std::optional<std::string> path = port.GetOpenerPath();
    if (!path)
        return reading;
    reading.openerPath = *path;
    if (withParameters) {
        const auto baud = port.GetBaudRate();
        const auto dataBits = port.GetDataBits();
        const auto parity = port.GetParity();
        const auto stopBits = port.GetStopBits();
        if (!baud || !dataBits || !parity || !stopBits)
            return PortReading{};
        reading.baudRate = *baud;
        reading.dataBits = *dataBits;
        reading.parity = *parity;
        reading.stopBits = *stopBits;
    }
    reading.open = true;
    return reading;
}

StatusPageInput ReadStatusInput(CHVInterface* link) {
    StatusPageInput input;
    if (!link)
        return input;
    input.selected = true;
    for (Channel channel : kAllChannels) {
        ChannelStatusInput& in = input.channels[channel];
        const ChannelPortSlot& slot = link->ports[channel];
        in.present = link->channelPresent[channel].load() != 0;
        in.portNumber = slot.portNumber;
        in.unusableSetting = slot.unusableSetting;
        in.hasPort = slot.instance != nullptr;
        in.hasSink = slot.sink != nullptr;
        if (slot.instance)
            in.reading = ReadPortStatus(*slot.instance, HasParameterLine(channel));
    }
    return input;
}

StatusPageView ComputeStatusPage(const StatusPageInput& input, const StatusStrings& strings) {
    StatusPageView view;
    view.portNames.fill(strings.notSelected);
    if (!input.selected) {
        view.addPortVisible.fill(false);
        view.holderVisible.fill(false);
        view.parameterVisible.fill(false);
        view.testControlsVisible = false;
        return view;
    }
    for (Channel channel : kAllChannels) {
        const ChannelStatusInput& in = input.channels[channel];
        std::string& holder = view.holderLines[channel];
        // Any setting other than none is shown, also one that cannot give a port, so that
        // the row says which value failed.
        const bool assigned = in.portNumber != 0 || !in.unusableSetting.empty();
        if (assigned) {
            view.portNames[channel] =
                in.unusableSetting.empty() ? "COM" + std::to_string(in.portNumber) : in.unusableSetting;
            if (!in.hasPort || !in.hasSink)
                holder = strings.cannotCreate;
        }
        if (in.hasPort && in.reading.open) {
            if (!in.reading.openerPath.empty())
                holder = strings.isOpenBy + " " + FileNameOf(in.reading.openerPath);
            if (HasParameterLine(channel))
                view.parameterLines[ParameterSlot(channel)] = ParameterLine(in.reading, strings);
        }
        if (holder.empty())
            holder = strings.notOpen;

        if (in.present) {
            view.addPortVisible[channel] = !assigned;
        } else {
            view.addPortVisible[channel] = false;
            view.portNames[channel] = kNotSupportedText;
        }
        view.holderVisible[channel] = assigned;
        if (HasParameterLine(channel))
            view.parameterVisible[ParameterSlot(channel)] = assigned;
    }
    // Without a PTT/CW channel the test controls keep whatever visibility they had.
    if (input.channels[kPttCw].present)
        view.testControlsVisible = true;
    return view;
}

}  // namespace qx
