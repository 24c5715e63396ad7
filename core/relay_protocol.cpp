#include "core/relay_protocol.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string>

namespace qx {
namespace {

constexpr size_t kStatePayload = 14;
// The events a relay reports; bytes written is the program's own to tell from its buffer.
constexpr int kRelayedEvents[] = {5, 6, 7, 10};
constexpr uint8_t kParityCodes = 5;
constexpr uint8_t kStopBitsCodes = 3;

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t GetU32(std::span<const uint8_t> in) {
    return in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24;
}

std::vector<uint8_t> Payload(const RelayFrame& frame) {
    std::vector<uint8_t> out;
    switch (frame.type) {
    case RelayFrameType::kState: {
        const RelayPortState& s = frame.state;
        out.push_back(s.open);
        PutU32(out, s.openerPid);
        PutU32(out, s.baudRate);
        out.insert(out.end(), {s.dataBits, s.parity, s.stopBits, s.rts, s.dtr});
        break;
    }
    case RelayFrameType::kEvent: out.push_back(static_cast<uint8_t>(frame.event)); break;
    case RelayFrameType::kInputLine: out.push_back(frame.asserted); break;
    case RelayFrameType::kConsumed: PutU32(out, frame.count); break;
    case RelayFrameType::kFromProgram:
    case RelayFrameType::kToProgram: out = frame.bytes; break;
    }
    return out;
}

bool SentBy(RelayFrameType type, RelaySender sender) {
    switch (type) {
    case RelayFrameType::kState:
    case RelayFrameType::kEvent:
    case RelayFrameType::kFromProgram: return sender == RelaySender::kRelay;
    case RelayFrameType::kToProgram:
    case RelayFrameType::kInputLine: return sender == RelaySender::kProgram;
    case RelayFrameType::kConsumed: return true;
    }
    return false;
}

bool IsFlag(uint8_t value) { return value <= 1; }

Error Refused(const std::string& why) { return Error{EPROTO, "relay frame refused: " + why}; }

Expected<RelayFrame> DecodeState(RelayFrame frame, std::span<const uint8_t> p) {
    if (p.size() != kStatePayload) return Refused("state of the wrong size");
    RelayPortState& s = frame.state;
    s.openerPid = GetU32(p.subspan(1));
    s.baudRate = GetU32(p.subspan(5));
    s.dataBits = p[9];
    s.parity = p[10];
    s.stopBits = p[11];
    if (!IsFlag(p[0]) || !IsFlag(p[12]) || !IsFlag(p[13]) || s.dataBits < 5 || s.dataBits > 8 ||
        s.parity >= kParityCodes || s.stopBits >= kStopBitsCodes || (p[0] == 0 && s.openerPid != 0))
        return Refused("state out of range");
    s.open = p[0];
    s.rts = p[12];
    s.dtr = p[13];
    return frame;
}

Expected<RelayFrame> DecodePayload(RelayFrame frame, std::span<const uint8_t> p) {
    switch (frame.type) {
    case RelayFrameType::kState: return DecodeState(std::move(frame), p);
    case RelayFrameType::kEvent:
        if (p.size() != 1 || std::find(std::begin(kRelayedEvents), std::end(kRelayedEvents),
                                       p[0]) == std::end(kRelayedEvents))
            return Refused("unknown event");
        frame.event = p[0];
        return frame;
    case RelayFrameType::kInputLine:
        if (p.size() != 1 || !IsFlag(p[0])) return Refused("input line not 0 or 1");
        frame.asserted = p[0];
        return frame;
    case RelayFrameType::kConsumed:
        if (p.size() != 4) return Refused("consumed count of the wrong size");
        frame.count = GetU32(p);
        if (frame.count == 0 || frame.count > kRelayWindow) return Refused("consumed out of range");
        return frame;
    case RelayFrameType::kFromProgram:
    case RelayFrameType::kToProgram:
        if (p.empty()) return Refused("empty data");
        frame.bytes.assign(p.begin(), p.end());
        return frame;
    }
    return Refused("unknown type");
}

}  // namespace

std::vector<uint8_t> EncodeRelayFrame(const RelayFrame& frame) {
    std::vector<uint8_t> out = Payload(frame);
    const size_t length = out.size();
    const uint8_t header[kRelayHeaderSize] = {static_cast<uint8_t>(frame.type),
                                              static_cast<uint8_t>(length),
                                              static_cast<uint8_t>(length >> 8)};
    out.insert(out.begin(), std::begin(header), std::end(header));
    return out;
}

Expected<RelayFrame> DecodeRelayFrame(std::span<const uint8_t> message, RelaySender sender) {
    if (message.size() < kRelayHeaderSize || message.size() > kRelayMaxFrame)
        return Refused("length " + std::to_string(message.size()) + " outside the frame bounds");
    const size_t length = message[1] | static_cast<size_t>(message[2]) << 8;
    if (length != message.size() - kRelayHeaderSize)
        return Refused("payload length disagrees with the message");
    RelayFrame frame;
    frame.type = static_cast<RelayFrameType>(message[0]);
    if (!SentBy(frame.type, sender)) return Refused("type " + std::to_string(message[0]));
    return DecodePayload(std::move(frame), message.subspan(kRelayHeaderSize));
}

}  // namespace qx
