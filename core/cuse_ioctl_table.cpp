#include "core/cuse_ioctl_table.h"

// The kernel's own tty layouts and ioctl numbers; glibc's <termios.h> describes another struct.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>

namespace qx {
namespace {

constexpr CuseIoctlShape Value() { return {false, 0, 0}; }
constexpr CuseIoctlShape In(uint32_t size) { return {true, size, 0}; }
constexpr CuseIoctlShape Out(uint32_t size) { return {true, 0, size}; }

}  // namespace

std::optional<CuseIoctlShape> CuseIoctlShapeOf(uint32_t command) {
    switch (command) {
    case TCGETS: return Out(sizeof(termios));
    case TCSETS:
    case TCSETSW:
    case TCSETSF: return In(sizeof(termios));
    case TCGETS2: return Out(sizeof(termios2));
    case TCSETS2:
    case TCSETSW2:
    case TCSETSF2: return In(sizeof(termios2));
    case TIOCMGET:
    case FIONREAD:
    case TIOCOUTQ:
    case TIOCGEXCL: return Out(sizeof(int));
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: return In(sizeof(int));
    case TIOCGSERIAL: return Out(sizeof(serial_struct));
    case TIOCSSERIAL: return In(sizeof(serial_struct));
    case TIOCGICOUNT: return Out(sizeof(serial_icounter_struct));
    case TCFLSH:
    case TCSBRK:
    case TCSBRKP:
    case TCXONC:
    case TIOCMIWAIT:
    case TIOCEXCL:
    case TIOCNXCL:
    case TIOCSBRK:
    case TIOCCBRK: return Value();
    default: return std::nullopt;
    }
}

}  // namespace qx
