#pragma once
// One keying port as its relay serves it: the kernel's requests answered by the same
// CuseSession the in-process port runs (fixed ioctl table included), and the port's state,
// events and bytes exchanged with the owning program as frames. Plain logic without I/O: the
// relay's loop moves the messages.
//
// The program's frames are untrusted: any frame that is malformed, of the wrong direction or
// beyond the credit it was given makes FromProgram return false, and the port's session ends.
//
// A program that is slow to read its frames never costs it the port: what waits for it stays
// bounded. A newer state or event replaces one of its kind not yet sent, credit returned adds
// up in one frame, and bytes are bounded by the program's credit, so a stalled program meets
// the port as it is now and, meanwhile, loses only the bytes its credit could not carry.
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "core/cuse_protocol.h"
#include "core/error.h"
#include "core/relay_protocol.h"
#include "vsp/cuse_session.h"

namespace qx::helper {

class RelaySession {
public:
    void FromKernel(std::span<const uint8_t> message, SerialClock::time_point now);
    // Why, when the program broke the protocol.
    Expected<void> FromProgram(std::span<const uint8_t> message);
    // Deadlines of waiting requests (VTIME reads, TIOCMIWAIT) that have passed.
    void Expire(SerialClock::time_point now);
    std::optional<SerialClock::time_point> NextDeadline() const;
    // The port is going away: waiting requests fail with EIO.
    void Abort();

    // What to write to the kernel since the last call.
    std::vector<CuseMessage> TakeKernelOutbox();
    // The frames waiting for the program, oldest first; the relay takes them off as it sends.
    const std::deque<RelayFrame>& ProgramOutbox() const { return toProgram_; }
    void ProgramFrameSent() { toProgram_.pop_front(); }

private:
    void Send(RelayFrame frame);
    RelayPortState Mirror() const;
    // Replies, credit returned, bytes forwarded, state and events told: after every input.
    void Settle();
    void ForwardProgramBytes();

    CuseSession cuse_;
    std::deque<RelayFrame> toProgram_;
    std::optional<RelayPortState> told_;
    size_t programCredit_ = kRelayWindow;  // bytes the program can still take
    size_t queuedForPort_ = 0;             // bytes of the program's still in the port's queue
};

}  // namespace qx::helper
