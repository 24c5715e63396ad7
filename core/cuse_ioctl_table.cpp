#include "core/cuse_ioctl_table.h"

// The kernel's own tty layouts and ioctl numbers; glibc's <termios.h> describes another struct.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <linux/serial.h>

namespace qx {
namespace {

enum class Argument { kValue, kIn, kOut };

struct CuseIoctl {
    uint32_t command;
    Argument argument;
    uint32_t size;        // the argument's bytes for a 64-bit caller
    uint32_t compatSize;  // and for a 32-bit one
};

// Sizes that are the same for both callers: fixed-width fields only.
constexpr CuseIoctl Same(uint32_t command, Argument argument, uint32_t size) {
    return {command, argument, size, size};
}

constexpr CuseIoctl kIoctls[] = {
    Same(TCGETS, Argument::kOut, sizeof(termios)),
    Same(TCSETS, Argument::kIn, sizeof(termios)),
    Same(TCSETSW, Argument::kIn, sizeof(termios)),
    Same(TCSETSF, Argument::kIn, sizeof(termios)),
    Same(TCGETS2, Argument::kOut, sizeof(termios2)),
    Same(TCSETS2, Argument::kIn, sizeof(termios2)),
    Same(TCSETSW2, Argument::kIn, sizeof(termios2)),
    Same(TCSETSF2, Argument::kIn, sizeof(termios2)),
    Same(TIOCMGET, Argument::kOut, sizeof(int)),
    Same(FIONREAD, Argument::kOut, sizeof(int)),
    Same(TIOCOUTQ, Argument::kOut, sizeof(int)),
    Same(TIOCGEXCL, Argument::kOut, sizeof(int)),
    Same(TIOCMSET, Argument::kIn, sizeof(int)),
    Same(TIOCMBIS, Argument::kIn, sizeof(int)),
    Same(TIOCMBIC, Argument::kIn, sizeof(int)),
    {TIOCGSERIAL, Argument::kOut, sizeof(serial_struct), sizeof(SerialStruct32)},
    {TIOCSSERIAL, Argument::kIn, sizeof(serial_struct), sizeof(SerialStruct32)},
    Same(TIOCGICOUNT, Argument::kOut, sizeof(serial_icounter_struct)),
    Same(TIOCGWINSZ, Argument::kOut, sizeof(winsize)),
    Same(TIOCSWINSZ, Argument::kIn, sizeof(winsize)),
    Same(TCFLSH, Argument::kValue, 0),
    Same(TCSBRK, Argument::kValue, 0),
    Same(TCSBRKP, Argument::kValue, 0),
    Same(TCXONC, Argument::kValue, 0),
    Same(TIOCMIWAIT, Argument::kValue, 0),
    Same(TIOCEXCL, Argument::kValue, 0),
    Same(TIOCNXCL, Argument::kValue, 0),
    Same(TIOCSBRK, Argument::kValue, 0),
    Same(TIOCCBRK, Argument::kValue, 0),
};

}  // namespace

std::optional<CuseIoctlShape> CuseIoctlShapeOf(uint32_t command, bool compat) {
    for (const CuseIoctl& ioctl : kIoctls) {
        if (ioctl.command != command) continue;
        const uint32_t size = compat ? ioctl.compatSize : ioctl.size;
        switch (ioctl.argument) {
        case Argument::kValue: return CuseIoctlShape{false, 0, 0};
        case Argument::kIn: return CuseIoctlShape{true, size, 0};
        case Argument::kOut: return CuseIoctlShape{true, 0, size};
        }
    }
    return std::nullopt;
}

}  // namespace qx
