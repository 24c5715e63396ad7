#include "tests/support/radio_program.h"

// The kernel's termios2 carries exact rates; it clashes with glibc's <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qx::test {
namespace {

// Waits until fd is ready for events or the deadline passes.
bool WaitReady(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return false;
    struct pollfd p {
        fd, events, 0
    };
    return ::poll(&p, 1, static_cast<int>(left.count()) + 1) == 1 && (p.revents & events);
}

}  // namespace

RadioProgram::RadioProgram(const std::string& path)
    : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}

bool RadioProgram::Configure(int baudRate, int dataBits, ProgramParity parity, int stopBits) {
    struct termios2 t {};
    if (::ioctl(fd_.Get(), TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~(CBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    t.c_cflag |= BOTHER;
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(baudRate);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dataBits - 5];
    if (stopBits == 2) t.c_cflag |= CSTOPB;
    switch (parity) {
    case ProgramParity::kNone: break;
    case ProgramParity::kOdd: t.c_cflag |= PARENB | PARODD; break;
    case ProgramParity::kEven: t.c_cflag |= PARENB; break;
    case ProgramParity::kMark: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case ProgramParity::kSpace: t.c_cflag |= PARENB | CMSPAR; break;
    }
    return ::ioctl(fd_.Get(), TCSETS2, &t) == 0;
}

size_t RadioProgram::Write(const std::vector<uint8_t>& data, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd_.Get(), data.data() + written, data.size() - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
        } else if (!WaitReady(fd_.Get(), POLLOUT, deadline)) {
            break;
        }
    }
    return written;
}

std::vector<uint8_t> RadioProgram::Read(size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<uint8_t> data;
    uint8_t buffer[4096];
    while (data.size() < count) {
        const ssize_t n = ::read(fd_.Get(), buffer, std::min(sizeof buffer, count - data.size()));
        if (n > 0) {
            data.insert(data.end(), buffer, buffer + n);
        } else if (!WaitReady(fd_.Get(), POLLIN, deadline)) {
            break;
        }
    }
    return data;
}

}  // namespace qx::test
