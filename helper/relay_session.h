#pragma once
// One keying port as its relay serves it: the kernel's requests answered by the same
// CuseSession the in-process port runs (fixed ioctl table included), and the port's state,
// events and bytes exchanged with the owning program as frames. Plain logic without I/O: the
// relay's loop moves the messages.
//
// The program's frames are untrusted: any frame that is malformed, of the wrong direction or
// beyond the credit it was given makes FromProgram return false, and the port's session ends.
#include <cstdint>
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

    // What to write to the kernel and to the program since the last call.
    std::vector<CuseMessage> TakeKernelOutbox();
    std::vector<std::vector<uint8_t>> TakeProgramOutbox();

private:
    void Send(const RelayFrame& frame) { toProgram_.push_back(EncodeRelayFrame(frame)); }
    RelayPortState Mirror() const;
    // Replies, credit returned, bytes forwarded, state and events told: after every input.
    void Settle();
    void ForwardProgramBytes();

    CuseSession cuse_;
    std::vector<std::vector<uint8_t>> toProgram_;
    std::optional<RelayPortState> told_;
    size_t programCredit_ = kRelayWindow;  // bytes the program can still take
    size_t queuedForPort_ = 0;             // bytes of the program's still in the port's queue
};

}  // namespace qx::helper
