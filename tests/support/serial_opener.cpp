#include "tests/support/serial_opener.h"

// The kernel's termios2 (glibc's <termios.h> has no exact rates and cannot be mixed with it).
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>

namespace qx::test {

SerialOpener::SerialOpener(const std::string& path)
    : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}

bool SerialOpener::SetSettings(int baudRate, int dataBits, char parity, int stopBits) {
    struct termios2 tio {};
    if (!Valid() || ::ioctl(fd_.Get(), TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~(CBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    tio.c_cflag |= BOTHER | CREAD | CLOCAL;
    tio.c_ispeed = tio.c_ospeed = static_cast<speed_t>(baudRate);
    switch (dataBits) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    default: tio.c_cflag |= CS8; break;
    }
    switch (parity) {
    case 'O': tio.c_cflag |= PARENB | PARODD; break;
    case 'E': tio.c_cflag |= PARENB; break;
    case 'M': tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 'S': tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (stopBits == 2)
        tio.c_cflag |= CSTOPB;
    return ::ioctl(fd_.Get(), TCSETS2, &tio) == 0;
}

}  // namespace qx::test
