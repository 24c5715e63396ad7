#pragma once
// CUSE messages as the kernel writes them (requests) and reads them (replies), for tests that
// stand in for the kernel.
#include <gtest/gtest.h>
#include <linux/fuse.h>

#include <fcntl.h>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/cuse_protocol.h"

namespace qx::test {

inline constexpr uint32_t kPid = 4242;

template <typename T>
inline void Put(std::vector<uint8_t>& bytes, const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    bytes.insert(bytes.end(), p, p + sizeof(T));
}

// A kernel request: header, then the body.
template <typename Body>
std::vector<uint8_t> Request(uint32_t opcode, uint64_t unique, const Body& body,
                             const std::string& tail = "") {
    std::vector<uint8_t> message;
    fuse_in_header header{};
    header.len = static_cast<uint32_t>(sizeof header + sizeof(Body) + tail.size());
    header.opcode = opcode;
    header.unique = unique;
    header.pid = kPid;
    Put(message, header);
    Put(message, body);
    message.insert(message.end(), tail.begin(), tail.end());
    return message;
}

inline std::vector<uint8_t> Open(uint64_t unique, uint32_t flags = O_RDWR | O_NONBLOCK) {
    return Request(FUSE_OPEN, unique, fuse_open_in{flags, 0});
}
inline std::vector<uint8_t> Read(uint64_t unique, uint64_t fh, uint32_t size,
                                 uint32_t flags = O_NONBLOCK) {
    fuse_read_in in{};
    in.fh = fh;
    in.size = size;
    in.flags = flags;
    return Request(FUSE_READ, unique, in);
}
inline std::vector<uint8_t> Write(uint64_t unique, uint64_t fh, const std::string& data) {
    fuse_write_in in{};
    in.fh = fh;
    in.size = static_cast<uint32_t>(data.size());
    in.flags = O_NONBLOCK;
    return Request(FUSE_WRITE, unique, in, data);
}
// compat: as the kernel passes a 32-bit program's ioctl.
inline std::vector<uint8_t> Ioctl(uint64_t unique, uint64_t fh, uint32_t cmd, uint64_t arg,
                                  const std::string& input = "", uint32_t outSize = 0,
                                  bool compat = false) {
    fuse_ioctl_in in{};
    in.fh = fh;
    in.flags = FUSE_IOCTL_UNRESTRICTED | (compat ? FUSE_IOCTL_COMPAT | FUSE_IOCTL_32BIT : 0);
    in.cmd = cmd;
    in.arg = arg;
    in.in_size = static_cast<uint32_t>(input.size());
    in.out_size = outSize;
    return Request(FUSE_IOCTL, unique, in, input);
}
inline std::string IntBytes(int value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// A reply as the kernel reads it.
struct Reply {
    uint64_t unique = 0;
    int error = 0;
    std::vector<uint8_t> body;
    template <typename T>
    T As() const {
        T value{};
        std::memcpy(&value, body.data(), std::min(sizeof(T), body.size()));
        return value;
    }
};
inline Reply Parse(const CuseMessage& message) {
    fuse_out_header header{};
    EXPECT_GE(message.size(), sizeof header);
    std::memcpy(&header, message.data(), sizeof header);
    EXPECT_EQ(header.len, message.size());
    return {header.unique, -header.error, {message.begin() + sizeof header, message.end()}};
}

}  // namespace qx::test
