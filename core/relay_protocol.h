#pragma once
// The frames between a keying port's relay (which serves the kernel for /dev/qx-COM<n>) and the
// program that owns the port. One frame per SOCK_SEQPACKET message: type (1 byte), payload
// length (2 bytes, little endian), payload. Every frame is untrusted in both directions: the
// decoder checks the type against its sender, the length against the message and the
// payload's fields against their ranges. Pure code: tests and fuzzers call it directly.
//
// Bytes flow by credit: each side may have at most kRelayWindow bytes in flight to the other,
// and the receiver returns credit with a Consumed frame as its buffer empties.
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/error.h"

namespace qx {

inline constexpr size_t kRelayWindow = 4096;
inline constexpr size_t kRelayHeaderSize = 3;
inline constexpr size_t kRelayMaxFrame = kRelayHeaderSize + kRelayWindow;

enum class RelaySender { kRelay, kProgram };

enum class RelayFrameType : uint8_t {
    kState = 1,        // relay: the port as its openers left it
    kEvent = 2,        // relay: a port event (opened, closed, settings, lines)
    kFromProgram = 3,  // relay: bytes a radio program wrote
    kToProgram = 16,   // program: bytes for the radio programs
    kInputLine = 17,   // program: the modem-status input (CTS)
    kConsumed = 32,    // either: the receiver took this many bytes; that much credit returns
};

// What the program mirrors of the port.
struct RelayPortState {
    bool open = false;
    uint32_t openerPid = 0;  // 0 when closed or not known
    uint32_t baudRate = 0;
    uint8_t dataBits = 8;  // 5 to 8
    uint8_t parity = 0;    // ParityCode
    uint8_t stopBits = 0;  // StopBitsCode
    bool rts = false;
    bool dtr = false;
    bool operator==(const RelayPortState&) const = default;
};

struct RelayFrame {
    RelayFrameType type = RelayFrameType::kState;
    RelayPortState state;        // kState
    int event = 0;               // kEvent: a PortEvent dispatch id other than bytes written
    uint32_t count = 0;          // kConsumed
    bool asserted = false;       // kInputLine
    std::vector<uint8_t> bytes;  // kFromProgram, kToProgram: 1 to kRelayWindow bytes

    static RelayFrame Of(RelayFrameType type) {
        RelayFrame frame;
        frame.type = type;
        return frame;
    }
    static RelayFrame State(const RelayPortState& state) {
        RelayFrame frame = Of(RelayFrameType::kState);
        frame.state = state;
        return frame;
    }
    static RelayFrame Event(int event) {
        RelayFrame frame = Of(RelayFrameType::kEvent);
        frame.event = event;
        return frame;
    }
    static RelayFrame Consumed(uint32_t count) {
        RelayFrame frame = Of(RelayFrameType::kConsumed);
        frame.count = count;
        return frame;
    }
    static RelayFrame InputLine(bool asserted) {
        RelayFrame frame = Of(RelayFrameType::kInputLine);
        frame.asserted = asserted;
        return frame;
    }
    static RelayFrame Bytes(RelayFrameType type, std::vector<uint8_t> bytes) {
        RelayFrame frame = Of(type);
        frame.bytes = std::move(bytes);
        return frame;
    }
};

std::vector<uint8_t> EncodeRelayFrame(const RelayFrame& frame);

// The frame a message from sender carries, or why it is refused.
Expected<RelayFrame> DecodeRelayFrame(std::span<const uint8_t> message, RelaySender sender);

}  // namespace qx
