#include "platform/pty_device.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace qx {

bool SetRawPtySettings(int masterFd) {
    struct termios2 t {};
    if (::ioctl(masterFd, TCGETS2, &t) != 0) return false;
    t.c_iflag = 0;
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_lflag |= EXTPROC;
    t.c_cflag &= ~(CBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= B9600 | CS8 | CREAD | CLOCAL;
    t.c_ispeed = t.c_ospeed = kRawPtyBaudRate;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ::ioctl(masterFd, TCSETS2, &t) == 0;
}

std::optional<PtySettings> ReadPtySettings(int masterFd) {
    struct termios2 t {};
    if (::ioctl(masterFd, TCGETS2, &t) != 0) return std::nullopt;
    PtySettings settings;
    // The kernel keeps c_ospeed current for standard rates and BOTHER alike.
    settings.baudRate = static_cast<int>(t.c_ospeed);
    settings.parityOdd = (t.c_cflag & PARODD) != 0;
    settings.parityStick = (t.c_cflag & CMSPAR) != 0;
    settings.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    settings.announcesChanges = (t.c_lflag & EXTPROC) != 0;
    return settings;
}

Expected<PtyMaster> OpenPtyMaster() {
    PtyMaster pty;
    pty.fd.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!pty.fd.Valid()) return Error::FromErrno(errno, "opening a pseudo-terminal");
    if (::grantpt(pty.fd.Get()) != 0 || ::unlockpt(pty.fd.Get()) != 0)
        return Error::FromErrno(errno, "unlocking a pseudo-terminal");
    char name[64];
    if (const int failed = ::ptsname_r(pty.fd.Get(), name, sizeof name); failed != 0)
        return Error::FromErrno(failed, "naming a pseudo-terminal");
    pty.slavePath = name;
    {
        // Opened and closed once so that POLLHUP on the master means "no program holds it".
        UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!slave.Valid() || ::fstat(slave.Get(), &st) != 0)
            return Error::FromErrno(errno, std::string("opening ") + name);
        pty.slaveNode = {st.st_dev, st.st_rdev};
    }
    pty.slaveHandle.Reset(::open(name, O_PATH | O_CLOEXEC));
    if (!pty.slaveHandle.Valid()) return Error::FromErrno(errno, std::string("holding ") + name);
    pty.nameTarget =
        "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(pty.slaveHandle.Get());
    int packetMode = 1;
    if (!SetRawPtySettings(pty.fd.Get()) || ::ioctl(pty.fd.Get(), TIOCPKT, &packetMode) != 0)
        return Error::FromErrno(errno, std::string("setting up ") + name);
    return pty;
}

Expected<void> PseudoTerminalsAvailable() {
    UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master.Valid()) return Error::FromErrno(errno, "opening a pseudo-terminal");
    return {};
}

Expected<void> FlushPty(int masterFd, const std::string& slavePath) {
    // TCFLSH on the master only reaches the master's own input; the slave's input is flushed
    // through a short-lived slave descriptor. Exclusive mode belongs to the slave, which the
    // kernel keeps while the master lives, so only a slave descriptor can end it.
    ::ioctl(masterFd, TCFLSH, TCIOFLUSH);
    UniqueFd slave(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave.Valid()) return Error::FromErrno(errno, "opening " + slavePath + " to flush it");
    ::ioctl(slave.Get(), TCFLSH, TCIOFLUSH);
    ::ioctl(slave.Get(), TIOCNXCL);
    return {};
}

bool PtySlaveHungUp(int masterFd) {
    struct pollfd p {
        masterFd, 0, 0
    };
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

}  // namespace qx
