#pragma once
// The tty ioctls a keying port serves, each with the argument it takes: a plain value, or a
// pointer through which a fixed number of bytes is read from (in) and written back to (out) the
// caller. A retry asks the kernel for exactly these bytes at the caller's own argument; any
// command not listed is refused (ENOTTY) without touching the caller's memory.
//
// A 32-bit program on a 64-bit kernel (the kernel's compat flag) lays some arguments out
// smaller: its sizes are the table's compat column, so nothing is written past its argument.
#include <cstdint>
#include <optional>

namespace qx {

struct CuseIoctlShape {
    bool pointer = false;
    uint32_t in = 0;
    uint32_t out = 0;
};

// compat: the caller is a 32-bit program.
std::optional<CuseIoctlShape> CuseIoctlShapeOf(uint32_t command, bool compat);

// struct serial_struct as a 32-bit program has it: the 64-bit layout up to closing_wait2,
// then a 32-bit pointer and long where the 64-bit one has 64-bit ones. The kernel's field
// names, so that one template fills either layout.
struct SerialStruct32 {
    int32_t type, line;
    uint32_t port;
    int32_t irq, flags, xmit_fifo_size, custom_divisor, baud_base;
    uint16_t close_delay;
    int8_t io_type, reserved_char;
    int32_t hub6;
    uint16_t closing_wait, closing_wait2;
    uint32_t iomem_base;
    uint16_t iomem_reg_shift;
    uint32_t port_high;
    uint32_t iomap_base;
};
static_assert(sizeof(SerialStruct32) == 60);

}  // namespace qx
