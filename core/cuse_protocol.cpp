#include "core/cuse_protocol.h"

#include <linux/fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>

namespace qx {
namespace {

// The oldest kernel protocol with the 64-bit ioctl retry vectors used here.
constexpr uint32_t kOldestMinor = 16;

template <typename T>
std::optional<T> ReadStruct(std::span<const uint8_t> bytes) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (bytes.size() < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, bytes.data(), sizeof(T));
    return value;
}

// Grows the message and copies into it; vector::insert of a range here made GCC 12's release
// build report overflows that cannot happen.
void AppendBytes(CuseMessage& message, const void* bytes, std::size_t size) {
    if (size == 0) return;
    const std::size_t at = message.size();
    message.resize(at + size);
    std::memcpy(message.data() + at, bytes, size);
}

template <typename T>
void Append(CuseMessage& message, const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    AppendBytes(message, &value, sizeof(T));
}

CuseMessage Reply(uint64_t unique, int error, std::span<const uint8_t> body) {
    CuseMessage message;
    message.reserve(sizeof(fuse_out_header) + body.size());
    Append(message, fuse_out_header{static_cast<uint32_t>(sizeof(fuse_out_header) + body.size()),
                                    -error, unique});
    AppendBytes(message, body.data(), body.size());
    return message;
}

template <typename T>
CuseMessage ReplyWith(uint64_t unique, const T& body) {
    return Reply(unique, 0, {reinterpret_cast<const uint8_t*>(&body), sizeof(T)});
}

// Fills the fields of one kind from its body; false when the body is too short or inconsistent.
bool DecodeBody(CuseRequest& r, std::span<const uint8_t> body) {
    using Kind = CuseRequest::Kind;
    switch (r.opcode) {
    case CUSE_INIT: {
        auto in = ReadStruct<cuse_init_in>(body);
        if (!in) return false;
        r.kind = Kind::kInit;
        r.major = in->major;
        r.minor = in->minor;
        return true;
    }
    case FUSE_OPEN: {
        auto in = ReadStruct<fuse_open_in>(body);
        if (!in) return false;
        r.kind = Kind::kOpen;
        r.fileFlags = in->flags;
        return true;
    }
    case FUSE_RELEASE: {
        auto in = ReadStruct<fuse_release_in>(body);
        if (!in) return false;
        r.kind = Kind::kRelease;
        r.handle = in->fh;
        return true;
    }
    case FUSE_READ: {
        auto in = ReadStruct<fuse_read_in>(body);
        if (!in) return false;
        r.kind = Kind::kRead;
        r.handle = in->fh;
        r.size = in->size;
        r.fileFlags = in->flags;
        return true;
    }
    case FUSE_WRITE: {
        auto in = ReadStruct<fuse_write_in>(body);
        if (!in || body.size() - sizeof(fuse_write_in) != in->size) return false;
        r.kind = Kind::kWrite;
        r.handle = in->fh;
        r.fileFlags = in->flags;
        r.data = body.subspan(sizeof(fuse_write_in));
        return true;
    }
    case FUSE_IOCTL: {
        auto in = ReadStruct<fuse_ioctl_in>(body);
        if (!in || body.size() - sizeof(fuse_ioctl_in) != in->in_size) return false;
        r.kind = Kind::kIoctl;
        r.handle = in->fh;
        r.command = in->cmd;
        r.argument = in->arg;
        r.inSize = in->in_size;
        r.outSize = in->out_size;
        r.compat = (in->flags & FUSE_IOCTL_COMPAT) != 0;
        r.data = body.subspan(sizeof(fuse_ioctl_in));
        return true;
    }
    case FUSE_POLL: {
        auto in = ReadStruct<fuse_poll_in>(body);
        if (!in) return false;
        r.kind = Kind::kPoll;
        r.handle = in->fh;
        r.pollHandle = in->kh;
        r.notifyWanted = (in->flags & FUSE_POLL_SCHEDULE_NOTIFY) != 0;
        return true;
    }
    case FUSE_FLUSH: {
        auto in = ReadStruct<fuse_flush_in>(body);
        if (!in) return false;
        r.kind = Kind::kFlush;
        r.handle = in->fh;
        return true;
    }
    case FUSE_INTERRUPT: {
        auto in = ReadStruct<fuse_interrupt_in>(body);
        if (!in) return false;
        r.kind = Kind::kInterrupt;
        r.interrupted = in->unique;
        return true;
    }
    default: r.kind = Kind::kOther; return true;
    }
}

}  // namespace

CuseDecoded DecodeCuseRequest(std::span<const uint8_t> message) {
    CuseDecoded decoded;
    auto header = ReadStruct<fuse_in_header>(message);
    if (!header) return decoded;  // no id to answer
    decoded.unique = header->unique;
    decoded.error = EINVAL;
    if (header->len != message.size()) return decoded;
    CuseRequest request;
    request.opcode = header->opcode;
    request.unique = header->unique;
    request.pid = header->pid;
    if (!DecodeBody(request, message.subspan(sizeof(fuse_in_header)))) return decoded;
    decoded.error = 0;
    decoded.request = request;
    return decoded;
}

bool CuseNeedsReply(const CuseRequest& request) {
    return request.kind != CuseRequest::Kind::kInterrupt && request.opcode != FUSE_FORGET &&
           request.opcode != FUSE_BATCH_FORGET;
}

CuseMessage CuseErrorReply(uint64_t unique, int error) { return Reply(unique, error, {}); }

CuseMessage CuseOpenReply(uint64_t unique, uint64_t handle) {
    return ReplyWith(unique, fuse_open_out{handle, FOPEN_DIRECT_IO | FOPEN_NONSEEKABLE, 0});
}

CuseMessage CuseDataReply(uint64_t unique, std::span<const uint8_t> data) {
    return Reply(unique, 0, data);
}

CuseMessage CuseWriteReply(uint64_t unique, uint32_t count) {
    return ReplyWith(unique, fuse_write_out{count, 0});
}

CuseMessage CuseIoctlReply(uint64_t unique, int32_t result, std::span<const uint8_t> data) {
    CuseMessage body;
    Append(body, fuse_ioctl_out{result, 0, 0, 0});
    body.insert(body.end(), data.begin(), data.end());
    return Reply(unique, 0, body);
}

CuseMessage CuseIoctlRetryReply(uint64_t unique, uint64_t argument, uint32_t inSize,
                                uint32_t outSize) {
    const uint32_t inCount = inSize ? 1 : 0;
    const uint32_t outCount = outSize ? 1 : 0;
    CuseMessage body;
    Append(body, fuse_ioctl_out{0, FUSE_IOCTL_RETRY, inCount, outCount});
    if (inCount) Append(body, fuse_ioctl_iovec{argument, inSize});
    if (outCount) Append(body, fuse_ioctl_iovec{argument, outSize});
    return Reply(unique, 0, body);
}

CuseMessage CusePollReply(uint64_t unique, uint32_t events) {
    return ReplyWith(unique, fuse_poll_out{events, 0});
}

CuseMessage CusePollWakeUp(uint64_t pollHandle) {
    const fuse_notify_poll_wakeup_out body{pollHandle};
    // A notice is a reply with no request: unique 0 and the notice's code in the error field.
    CuseMessage message;
    Append(message, fuse_out_header{static_cast<uint32_t>(sizeof(fuse_out_header) + sizeof body),
                                    FUSE_NOTIFY_POLL, 0});
    Append(message, body);
    return message;
}

std::optional<CuseMessage> CuseInitReply(const CuseRequest& init, const std::string& name) {
    if (init.kind != CuseRequest::Kind::kInit || init.major != FUSE_KERNEL_VERSION ||
        init.minor < kOldestMinor)
        return std::nullopt;
    const std::string info = "DEVNAME=" + name;
    if (name.empty() || name.find('\0') != std::string::npos ||
        info.size() + 1 > CUSE_INIT_INFO_MAX)
        return std::nullopt;
    cuse_init_out out{};
    out.major = FUSE_KERNEL_VERSION;
    out.minor = std::min<uint32_t>(init.minor, FUSE_KERNEL_MINOR_VERSION);
    out.flags = CUSE_UNRESTRICTED_IOCTL;
    out.max_read = kCuseMaxWrite;
    out.max_write = kCuseMaxWrite;
    CuseMessage body;
    Append(body, out);
    body.insert(body.end(), info.begin(), info.end());
    body.push_back(0);
    return Reply(init.unique, 0, body);
}

}  // namespace qx
