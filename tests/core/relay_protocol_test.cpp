// The frames between a keying port's relay and the program: what each side may send, and that
// nothing malformed, oversized or out of range gets through the decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/relay_protocol.h"

namespace qx {
namespace {

using Bytes = std::vector<uint8_t>;

RelayPortState SomeState() { return {true, 4242, 4800, 7, 2, 2, true, false}; }

TEST(RelayProtocol, EveryFrameSurvivesItsRoundTrip) {
    const struct {
        RelayFrame frame;
        RelaySender sender;
    } cases[] = {
        {RelayFrame::State(SomeState()), RelaySender::kRelay},
        {RelayFrame::State({}), RelaySender::kRelay},
        {RelayFrame::Event(10), RelaySender::kRelay},
        {RelayFrame::Bytes(RelayFrameType::kFromProgram, Bytes(kRelayWindow, 0xA5)),
         RelaySender::kRelay},
        {RelayFrame::Bytes(RelayFrameType::kToProgram, {'F', 'A', ';'}), RelaySender::kProgram},
        {RelayFrame::InputLine(true), RelaySender::kProgram},
        {RelayFrame::Consumed(kRelayWindow), RelaySender::kProgram},
        {RelayFrame::Consumed(1), RelaySender::kRelay},
    };
    for (const auto& c : cases) {
        const Bytes message = EncodeRelayFrame(c.frame);
        const Expected<RelayFrame> decoded = DecodeRelayFrame(message, c.sender);
        ASSERT_TRUE(decoded) << decoded.error().message;
        EXPECT_EQ(decoded->type, c.frame.type);
        EXPECT_EQ(decoded->state, c.frame.state);
        EXPECT_EQ(decoded->event, c.frame.event);
        EXPECT_EQ(decoded->count, c.frame.count);
        EXPECT_EQ(decoded->asserted, c.frame.asserted);
        EXPECT_EQ(decoded->bytes, c.frame.bytes);
    }
}

Bytes StateWith(size_t at, uint8_t value) {
    Bytes message = EncodeRelayFrame(RelayFrame::State(SomeState()));
    message[kRelayHeaderSize + at] = value;
    return message;
}

TEST(RelayProtocol, HostileMessagesAreRefused) {
    Bytes oversized =
        EncodeRelayFrame(RelayFrame::Bytes(RelayFrameType::kToProgram, Bytes(kRelayWindow, 'x')));
    oversized.push_back('x');
    oversized[1] = oversized[2] = 0xFF;
    Bytes lengthLies = EncodeRelayFrame(RelayFrame::Bytes(RelayFrameType::kToProgram, {'a', 'b'}));
    lengthLies[1] = 3;
    const struct {
        const char* what;
        Bytes message;
        RelaySender sender;
    } cases[] = {
        {"nothing", {}, RelaySender::kProgram},
        {"a short header", {16, 0}, RelaySender::kProgram},
        {"more than a frame", oversized, RelaySender::kProgram},
        {"a length that disagrees", lengthLies, RelaySender::kProgram},
        {"an unknown type", {99, 0, 0}, RelaySender::kProgram},
        {"the program posing as the relay", EncodeRelayFrame(RelayFrame::State(SomeState())),
         RelaySender::kProgram},
        {"the program inventing events", EncodeRelayFrame(RelayFrame::Event(5)),
         RelaySender::kProgram},
        {"the relay sending the program's bytes",
         EncodeRelayFrame(RelayFrame::Bytes(RelayFrameType::kToProgram, {'a'})),
         RelaySender::kRelay},
        {"empty data", {16, 0, 0}, RelaySender::kProgram},
        {"input line 2", {17, 1, 0, 2}, RelaySender::kProgram},
        {"no credit", {32, 4, 0, 0, 0, 0, 0}, RelaySender::kProgram},
        {"more credit than a window", {32, 4, 0, 1, 0x10, 0, 0}, RelaySender::kProgram},
        {"credit of three bytes", {32, 3, 0, 1, 0, 0}, RelaySender::kProgram},
        {"the bytes-written event", {2, 1, 0, 1}, RelaySender::kRelay},
        {"an unknown event", {2, 1, 0, 3}, RelaySender::kRelay},
        {"open 2", StateWith(0, 2), RelaySender::kRelay},
        {"9 data bits", StateWith(9, 9), RelaySender::kRelay},
        {"4 data bits", StateWith(9, 4), RelaySender::kRelay},
        {"parity 5", StateWith(10, 5), RelaySender::kRelay},
        {"stop bits 3", StateWith(11, 3), RelaySender::kRelay},
        {"rts 7", StateWith(12, 7), RelaySender::kRelay},
        {"closed with an opener", StateWith(0, 0), RelaySender::kRelay},
        {"a short state", {1, 1, 0, 1}, RelaySender::kRelay},
    };
    for (const auto& c : cases) EXPECT_FALSE(DecodeRelayFrame(c.message, c.sender)) << c.what;
}

}  // namespace
}  // namespace qx
