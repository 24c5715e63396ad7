#pragma once
// The kernel's CUSE request protocol (<linux/fuse.h>): the messages read from an initialised
// /dev/cuse connection decoded into plain values, and the replies built back into bytes. No
// I/O: the device and the helper move the bytes, tests and fuzzers call these directly.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx {

using CuseMessage = std::vector<uint8_t>;

// The largest write the kernel passes in one request (it splits larger ones) and the read
// buffer a connection needs for it.
inline constexpr uint32_t kCuseMaxWrite = 65536;
inline constexpr size_t kCuseReadBuffer = kCuseMaxWrite + 4096;

struct CuseRequest {
    enum class Kind {
        kInit,
        kOpen,
        kRelease,
        kRead,
        kWrite,
        kIoctl,
        kPoll,
        kFlush,
        kInterrupt,
        kOther
    };
    Kind kind = Kind::kOther;
    uint32_t opcode = 0;
    uint64_t unique = 0;            // the request's id; its reply carries it back
    uint32_t pid = 0;               // the process that made the request
    uint64_t handle = 0;            // the open file's handle (fh), as the open reply gave it
    uint32_t fileFlags = 0;         // open, read, write: the program's O_* flags
    uint32_t size = 0;              // read: bytes wanted
    std::span<const uint8_t> data;  // write: the bytes; ioctl: the argument's bytes fetched so far
    uint32_t command = 0;           // ioctl
    uint64_t argument = 0;          // ioctl: the raw argument (a value, or the program's pointer)
    uint32_t inSize = 0, outSize = 0;  // ioctl: bytes fetched / room for bytes returned
    bool compat = false;               // ioctl: from a 32-bit program (its smaller layouts)
    uint64_t pollHandle = 0;           // poll: the kernel's handle for a later wake-up
    bool notifyWanted = false;         // poll: the kernel waits for that wake-up
    uint64_t interrupted = 0;          // interrupt: the unique of the request given up
    uint32_t major = 0, minor = 0;     // init: the kernel's protocol version
};

// A decoded request, or why it was refused: error is the errno for a reply to unique, or 0 when
// the message is too short to carry an id and can only be dropped.
struct CuseDecoded {
    std::optional<CuseRequest> request;
    int error = 0;
    uint64_t unique = 0;
};
CuseDecoded DecodeCuseRequest(std::span<const uint8_t> message);

// Kinds the kernel expects no reply for.
bool CuseNeedsReply(const CuseRequest& request);

// Replies (error 0 unless said) and the kernel's poll wake-up.
CuseMessage CuseErrorReply(uint64_t unique, int error);  // error > 0, an errno; 0 a bare success
CuseMessage CuseOpenReply(uint64_t unique, uint64_t handle);
CuseMessage CuseDataReply(uint64_t unique, std::span<const uint8_t> data);
CuseMessage CuseWriteReply(uint64_t unique, uint32_t count);
CuseMessage CuseIoctlReply(uint64_t unique, int32_t result, std::span<const uint8_t> data);
// Asks the kernel to fetch inSize bytes from, and make room for outSize bytes at, the program's
// pointer argument and send the ioctl again.
CuseMessage CuseIoctlRetryReply(uint64_t unique, uint64_t argument, uint32_t inSize,
                                uint32_t outSize);
CuseMessage CusePollReply(uint64_t unique, uint32_t events);
CuseMessage CusePollWakeUp(uint64_t pollHandle);

// The answer to CUSE_INIT that makes /dev/<name>: unrestricted ioctls (tty ioctls are not
// _IOC-encoded), a dynamic device number. Null when the kernel's protocol is too old for the
// ioctl retry or the name does not fit.
std::optional<CuseMessage> CuseInitReply(const CuseRequest& init, const std::string& name);

}  // namespace qx
