#pragma once
// The tty ioctls a keying port serves, each with the argument it takes: a plain value, or a
// pointer through which a fixed number of bytes is read from (in) and written back to (out) the
// caller. A retry asks the kernel for exactly these bytes at the caller's own argument; any
// command not listed is refused (ENOTTY) without touching the caller's memory.
#include <cstdint>
#include <optional>

namespace qx {

struct CuseIoctlShape {
    bool pointer = false;
    uint32_t in = 0;
    uint32_t out = 0;
};

std::optional<CuseIoctlShape> CuseIoctlShapeOf(uint32_t command);

}  // namespace qx
