// Whatever the program sends its relay, interleaved with whatever the kernel sends: the relay
// never crashes, answers the kernel with well-formed replies, sends the program only frames the
// program's own decoder accepts, and never sends more bytes than the program's credit.
#include <linux/fuse.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "helper/relay_session.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

void CheckKernelReplies(qx::helper::RelaySession& session) {
    for (const qx::CuseMessage& message : session.TakeKernelOutbox()) {
        fuse_out_header header{};
        Require(message.size() >= sizeof header);
        std::memcpy(&header, message.data(), sizeof header);
        Require(header.len == message.size());
    }
}

// Bytes sent to the program and not yet returned as credit.
void CheckProgramFrames(qx::helper::RelaySession& session, size_t& outstanding) {
    for (; !session.ProgramOutbox().empty(); session.ProgramFrameSent()) {
        const auto frame = qx::DecodeRelayFrame(
            qx::EncodeRelayFrame(session.ProgramOutbox().front()), qx::RelaySender::kRelay);
        Require(static_cast<bool>(frame));
        if (frame->type == qx::RelayFrameType::kFromProgram) outstanding += frame->bytes.size();
        Require(outstanding <= qx::kRelayWindow);
    }
}

}  // namespace

// Each chunk: a lead byte (bit 0: from the kernel, else from the program), a 16-bit little-endian
// length, then that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qx::helper::RelaySession session;
    const auto now = qx::SerialClock::now();
    size_t outstanding = 0;
    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t lead = data[at];
        const size_t length = std::min<size_t>(size - at - 3, data[at + 1] | data[at + 2] << 8);
        const std::span<const uint8_t> message(data + at + 3, length);
        at += 3 + length;
        if (lead & 1) {
            session.FromKernel(message, now);
        } else {
            const auto frame = qx::DecodeRelayFrame(message, qx::RelaySender::kProgram);
            const qx::Expected<void> taken = session.FromProgram(message);
            Require(taken || !taken.error().message.empty());
            if (!taken) break;  // the session ends here
            if (frame->type == qx::RelayFrameType::kConsumed) outstanding -= frame->count;
        }
        session.Expire(now + std::chrono::seconds(lead >> 1));
        CheckKernelReplies(session);
        CheckProgramFrames(session, outstanding);
    }
    session.Abort();
    CheckKernelReplies(session);
    CheckProgramFrames(session, outstanding);
    return 0;
}
