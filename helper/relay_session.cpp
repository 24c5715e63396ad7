#include "helper/relay_session.h"

#include <algorithm>
#include <utility>

#include "vsp/IVSPortAx.h"

namespace qx::helper {

// The program's credit toward the port is the port's queue: a frame that fits is never cut.
static_assert(kRelayWindow == SerialState::kDefaultQueueCapacity);

void RelaySession::FromKernel(std::span<const uint8_t> message, SerialClock::time_point now) {
    cuse_.Handle(message, now);
    Settle();
}

Expected<void> RelaySession::FromProgram(std::span<const uint8_t> message) {
    Expected<RelayFrame> frame = DecodeRelayFrame(message, RelaySender::kProgram);
    if (!frame) return frame.error();
    SerialState& state = cuse_.State();
    switch (frame->type) {
    case RelayFrameType::kToProgram:
        if (frame->bytes.size() > kRelayWindow - queuedForPort_)
            return Error{0, "the program sent more bytes than it had credit for"};
        state.DeliverToProgram(frame->bytes);
        queuedForPort_ += frame->bytes.size();
        break;
    case RelayFrameType::kInputLine: state.SetInputLine(frame->asserted); break;
    case RelayFrameType::kConsumed:
        if (frame->count > kRelayWindow - programCredit_)
            return Error{0, "the program returned credit it was never given"};
        programCredit_ += frame->count;
        break;
    default: break;  // the decoder lets only the program's own types through
    }
    Settle();
    return {};
}

void RelaySession::Expire(SerialClock::time_point now) {
    cuse_.State().ExpireDeadlines(now);
    Settle();
}

std::optional<SerialClock::time_point> RelaySession::NextDeadline() const {
    return cuse_.State().NextDeadline();
}

void RelaySession::Abort() {
    cuse_.State().AbortWaiting();
    Settle();
}

std::vector<CuseMessage> RelaySession::TakeKernelOutbox() { return cuse_.TakeOutbox(); }

// Only the port as it is now matters to a program that has not read: a state or an event not
// yet sent gives way to the newer one, which goes last, so the latest state still comes before
// the events that wake the program to read it.
void RelaySession::Send(RelayFrame frame) {
    if (frame.type == RelayFrameType::kConsumed)
        for (const RelayFrame& waiting : toProgram_)
            if (waiting.type == RelayFrameType::kConsumed) frame.count += waiting.count;
    std::erase_if(toProgram_, [&](const RelayFrame& waiting) {
        if (waiting.type != frame.type) return false;
        switch (frame.type) {
        case RelayFrameType::kState:
        case RelayFrameType::kConsumed: return true;
        case RelayFrameType::kEvent: return waiting.event == frame.event;
        default: return false;  // bytes keep their order, bounded by the program's credit
        }
    });
    toProgram_.push_back(std::move(frame));
}

RelayPortState RelaySession::Mirror() const {
    const SerialState& state = cuse_.State();
    const SerialSettings settings = state.Settings();
    const std::optional<int> pid = state.OpenerPid();
    RelayPortState mirror;
    mirror.open = state.IsOpen();
    mirror.openerPid = mirror.open ? static_cast<uint32_t>(std::max(pid.value_or(0), 0)) : 0;
    mirror.baudRate = static_cast<uint32_t>(std::max(settings.baudRate, 0));
    mirror.dataBits = static_cast<uint8_t>(std::clamp(settings.dataBits, 5, 8));
    mirror.parity = static_cast<uint8_t>(settings.parity);
    mirror.stopBits = static_cast<uint8_t>(settings.stopBits);
    mirror.rts = state.Rts();
    mirror.dtr = state.Dtr();
    return mirror;
}

void RelaySession::ForwardProgramBytes() {
    SerialState& state = cuse_.State();
    while (programCredit_ > 0 && state.BytesWaiting() > 0) {
        std::vector<uint8_t> bytes(programCredit_);
        bytes.resize(state.TakeFromProgram(bytes));
        programCredit_ -= bytes.size();
        Send(RelayFrame::Bytes(RelayFrameType::kFromProgram, std::move(bytes)));
    }
}

void RelaySession::Settle() {
    ForwardProgramBytes();
    cuse_.Service();  // a writer waiting for room, or a drain, may now complete
    SerialState& state = cuse_.State();
    // What the radio programs read (or flushed) is room the program may fill again.
    if (state.BytesForProgram() < queuedForPort_) {
        Send(RelayFrame::Consumed(static_cast<uint32_t>(queuedForPort_ - state.BytesForProgram())));
        queuedForPort_ = state.BytesForProgram();
    }
    const RelayPortState mirror = Mirror();
    if (mirror != told_) {
        Send(RelayFrame::State(mirror));
        told_ = mirror;
    }
    for (int event : state.TakeEvents())
        if (event != kEventBytesWritten) Send(RelayFrame::Event(event));
}

}  // namespace qx::helper
