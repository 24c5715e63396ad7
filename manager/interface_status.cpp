#include "manager/interface_status.h"

#include <cstdio>

#include "core/utf8.h"
#include "manager/CHVInterfaceManager.h"

namespace qx {
namespace {

std::string PortPath(const std::string& portsDir, int portNumber) {
    return portsDir + "/COM" + std::to_string(portNumber);
}

std::string SettingsText(const PortReading& reading) {
    return std::to_string(reading.baudRate) + " baud " + std::to_string(reading.dataBits) +
           ParityLetter(reading.parity) + StopBitsText(reading.stopBits);
}

std::string ChannelLine(Channel channel, const ChannelStatus& status, const std::string& portsDir) {
    char title[16];
    std::snprintf(title, sizeof title, "  %-7s ", ChannelTitle(channel));
    std::string line = title;
    if (!status.present) return line + "not supported by the interface\n";
    if (status.portNumber == 0) return line + "no port\n";
    line += PortPath(portsDir, status.portNumber);
    if (!status.bound) return line + "  cannot be created\n";
    if (!status.reading.open) return line + "  not open\n";
    return line + "  open by " + status.reading.openerPath + ", " + SettingsText(status.reading) +
           "\n";
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

std::string ChannelJson(Channel channel, const ChannelStatus& status, const std::string& portsDir) {
    std::string out = "{\"channel\": " + JsonString(ChannelTitle(channel)) +
                      ", \"supported\": " + (status.present ? "true" : "false") + ", \"port\": ";
    out += status.portNumber == 0 ? "null" : JsonString(PortPath(portsDir, status.portNumber));
    out += std::string(", \"created\": ") + (status.bound ? "true" : "false");
    const bool open = status.bound && status.reading.open;
    out += std::string(", \"open\": ") + (open ? "true" : "false");
    if (open) {
        const PortReading& r = status.reading;
        out += ", \"program\": " + JsonString(r.openerPath) +
               ", \"settings\": {\"baud\": " + std::to_string(r.baudRate) +
               ", \"dataBits\": " + std::to_string(r.dataBits) +
               ", \"parity\": " + JsonString(ParityLetter(r.parity)) +
               ", \"stopBits\": " + JsonString(StopBitsText(r.stopBits)) + "}";
    }
    return out + "}";
}

}  // namespace

std::vector<InterfaceStatus> ReadInterfaceStatus(CHVInterfaceManager& manager) {
    std::vector<InterfaceStatus> result;
    for (const auto& link : manager.list) {
        InterfaceStatus& status = result.emplace_back();
        status.model = link->product;
        status.serialNumber = link->key;
        status.firmware = link->VersionText();
        for (Channel channel : kAllChannels) {
            ChannelStatus& out = status.channels[channel];
            out.present = link->channelPresent[channel].load() != 0;
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
    return result;
}

std::string FormatStatusText(const std::vector<InterfaceStatus>& interfaces,
                             const std::string& portsDir) {
    if (interfaces.empty()) return "No interface is connected.\n";
    std::string out;
    for (const InterfaceStatus& status : interfaces) {
        if (!out.empty()) out += "\n";
        out += status.model + ", serial number " + status.serialNumber + ", firmware " +
               (status.firmware.empty() ? "not known yet" : status.firmware) + "\n";
        for (Channel channel : kAllChannels)
            out += ChannelLine(channel, status.channels[channel], portsDir);
    }
    return out;
}

std::string FormatStatusJson(const std::vector<InterfaceStatus>& interfaces,
                             const std::string& portsDir) {
    std::string out = "{\"interfaces\": [";
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const InterfaceStatus& status = interfaces[i];
        if (i != 0) out += ", ";
        out += "{\"model\": " + JsonString(status.model) +
               ", \"serialNumber\": " + JsonString(status.serialNumber) +
               ", \"firmware\": " + JsonString(status.firmware) + ", \"channels\": [";
        for (Channel channel : kAllChannels) {
            if (channel != kCat) out += ", ";
            out += ChannelJson(channel, status.channels[channel], portsDir);
        }
        out += "]}";
    }
    return out + "]}\n";
}

}  // namespace qx
