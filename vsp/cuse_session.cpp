#include "vsp/cuse_session.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "core/cuse_ioctl_table.h"

namespace qx {

void CuseSession::Handle(std::span<const uint8_t> message, SerialClock::time_point now) {
    const CuseDecoded decoded = DecodeCuseRequest(message);
    if (decoded.request)
        Dispatch(*decoded.request, now);
    else if (decoded.error != 0)
        Send(CuseErrorReply(decoded.unique, decoded.error));
}

void CuseSession::Dispatch(const CuseRequest& r, SerialClock::time_point now) {
    using Kind = CuseRequest::Kind;
    const bool nonBlocking = (r.fileFlags & O_NONBLOCK) != 0;
    switch (r.kind) {
    case Kind::kOpen: {
        const uint64_t handle = nextOpener_++;
        const int error = state_.Open(handle, static_cast<int>(r.pid));
        Send(error ? CuseErrorReply(r.unique, error) : CuseOpenReply(r.unique, handle));
        break;
    }
    case Kind::kRelease:
        state_.Release(r.handle);
        Send(CuseErrorReply(r.unique, 0));
        break;
    case Kind::kRead:
        Answer(r.unique, state_.Read(r.unique, r.size, nonBlocking, now), SerialAnswer::ReadBytes);
        break;
    case Kind::kWrite:
        Answer(r.unique, state_.Write(r.unique, r.data, nonBlocking), SerialAnswer::WriteCount);
        break;
    case Kind::kIoctl: {
        // Only commands of the fixed table get near the caller's memory, with the sizes of the
        // caller's own layouts (a 32-bit program's may be smaller).
        const std::optional<CuseIoctlShape> shape = CuseIoctlShapeOf(r.command, r.compat);
        if (!shape) {
            Send(CuseErrorReply(r.unique, ENOTTY));
            break;
        }
        const SerialReply reply =
            state_.Ioctl(r.unique, r.command, r.argument, r.data, r.outSize, r.compat);
        if (reply.kind == SerialReply::Kind::NeedBuffers)
            // The kernel fetches exactly the table's bytes at the caller's argument and asks again.
            Send(CuseIoctlRetryReply(r.unique, r.argument, shape->in, shape->out));
        else
            Answer(r.unique, reply, SerialAnswer::IoctlResult);
        break;
    }
    case Kind::kPoll: {
        if (r.notifyWanted &&
            std::find(pollHandles_.begin(), pollHandles_.end(), r.pollHandle) == pollHandles_.end())
            pollHandles_.push_back(r.pollHandle);
        readableSeen_ = state_.Readable();
        writableSeen_ = state_.Writable();
        uint32_t events = 0;
        if (readableSeen_) events |= POLLIN | POLLRDNORM;
        if (writableSeen_) events |= POLLOUT | POLLWRNORM;
        Send(CusePollReply(r.unique, events));
        break;
    }
    case Kind::kInterrupt:
        // The interrupted request, if it still waits, completes with EINTR through Service().
        state_.Interrupt(r.interrupted);
        break;
    case Kind::kFlush: Send(CuseErrorReply(r.unique, 0)); break;
    case Kind::kInit:  // only the first message of a connection, answered before serving
    case Kind::kOther:
        if (CuseNeedsReply(r)) Send(CuseErrorReply(r.unique, ENOSYS));
        break;
    }
}

// Done now (success or error), or parked until Service() answers it.
void CuseSession::Answer(uint64_t unique, const SerialReply& reply, SerialAnswer answer) {
    if (reply.kind == SerialReply::Kind::Pending) return;
    if (reply.error != 0)
        Send(CuseErrorReply(unique, reply.error));
    else if (answer == SerialAnswer::ReadBytes)
        Send(CuseDataReply(unique, reply.data));
    else if (answer == SerialAnswer::WriteCount)
        Send(CuseWriteReply(unique, static_cast<uint32_t>(reply.result)));
    else
        Send(CuseIoctlReply(unique, reply.result, reply.data));
}

void CuseSession::Service() {
    for (const SerialCompletion& done : state_.TakeCompletions())
        Answer(done.id, done.reply, done.answer);
    const bool readable = state_.Readable();
    const bool writable = state_.Writable();
    if ((readable && !readableSeen_) || (writable && !writableSeen_)) {
        for (uint64_t handle : pollHandles_) Send(CusePollWakeUp(handle));
        pollHandles_.clear();
    }
    readableSeen_ = readable;
    writableSeen_ = writable;
}

bool CuseSession::NeedsService() const {
    return state_.HasCompletions() || state_.Readable() != readableSeen_ ||
           state_.Writable() != writableSeen_;
}

std::vector<CuseMessage> CuseSession::TakeOutbox() { return std::exchange(outbox_, {}); }

}  // namespace qx
