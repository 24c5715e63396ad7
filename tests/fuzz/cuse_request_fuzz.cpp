// Any sequence of messages on a CUSE connection gets well-formed replies (or none), never a
// crash: the input is cut into messages, each answered by the session the port component runs,
// with the link's side moving bytes and lines in between. A retry, which makes the kernel copy
// the caller's memory, names only the ioctl's own argument with the size its command has for
// that caller (a 32-bit program's layouts may be smaller).
#include <linux/fuse.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/cuse_ioctl_table.h"
#include "vsp/cuse_session.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// The retry a reply asks for, checked against the ioctl it answers (in the caller's own
// layout sizes); an answer never carries more than the caller has room for.
void CheckIoctlReply(const qx::CuseMessage& message, const qx::CuseRequest* ioctl) {
    fuse_ioctl_out out{};
    if (message.size() < sizeof(fuse_out_header) + sizeof out) return;
    std::memcpy(&out, message.data() + sizeof(fuse_out_header), sizeof out);
    if (!(out.flags & FUSE_IOCTL_RETRY)) {
        Require(message.size() - sizeof(fuse_out_header) - sizeof out <= ioctl->outSize);
        return;
    }
    const auto shape = qx::CuseIoctlShapeOf(ioctl->command, ioctl->compat);
    Require(shape && shape->pointer && out.in_iovs + out.out_iovs == 1);
    fuse_ioctl_iovec iov{};
    Require(message.size() == sizeof(fuse_out_header) + sizeof out + sizeof iov);
    std::memcpy(&iov, message.data() + sizeof(fuse_out_header) + sizeof out, sizeof iov);
    Require(iov.base == ioctl->argument && iov.len == (out.in_iovs ? shape->in : shape->out));
}

void CheckReplies(qx::CuseSession& session, const qx::CuseRequest* ioctl = nullptr) {
    for (const qx::CuseMessage& message : session.TakeOutbox()) {
        fuse_out_header header{};
        Require(message.size() >= sizeof header);
        std::memcpy(&header, message.data(), sizeof header);
        Require(header.len == message.size());
        Require(header.error <= 0 || (header.unique == 0 && header.error == FUSE_NOTIFY_POLL));
        if (header.error == 0 && ioctl && header.unique == ioctl->unique)
            CheckIoctlReply(message, ioctl);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qx::CuseSession session;
    const auto now = qx::SerialClock::now();
    size_t at = 0;
    // Each message: one length byte (scaled), then that many bytes; a length byte's low bit
    // also lets the link take or deliver bytes first.
    while (at < size) {
        const uint8_t lead = data[at++];
        if (lead & 1) {
            uint8_t bytes[16];
            session.State().TakeFromProgram(bytes);
            session.State().DeliverToProgram({data + at, std::min<size_t>(size - at, 3)});
            session.State().SetInputLine(lead & 2);
        }
        const size_t length = std::min<size_t>(size - at, static_cast<size_t>(lead) * 2);
        std::vector<uint8_t> message(data + at, data + at + length);
        // Most kernel messages carry their own length first: make it agree often.
        if (message.size() >= sizeof(uint32_t) && (lead & 4)) {
            const uint32_t len = static_cast<uint32_t>(message.size());
            std::memcpy(message.data(), &len, sizeof len);
        }
        at += length;
        const qx::CuseDecoded decoded = qx::DecodeCuseRequest(message);
        const bool isIoctl =
            decoded.request && decoded.request->kind == qx::CuseRequest::Kind::kIoctl;
        session.Handle(message, now);
        CheckReplies(session, isIoctl ? &*decoded.request : nullptr);
        session.Service();
        session.State().ExpireDeadlines(now + std::chrono::seconds(lead));
        session.Service();
        CheckReplies(session);
        session.State().TakeEvents();
    }
    session.State().AbortWaiting();
    session.Service();
    CheckReplies(session);
    return 0;
}
