#pragma once
// Operations on one pseudo-terminal seen from its master. They live in their own translation
// unit because the kernel's termios2 (asm/termbits.h) clashes with glibc's <termios.h>.
#include <sys/types.h>

#include <optional>
#include <string>

#include "core/error.h"
#include "platform/fd.h"

namespace qx {

// A device node as the kernel tells it apart: pseudo-terminals of another devpts instance (a
// container's or a chroot's) have the same numbers, on another file system.
struct DeviceNode {
    dev_t fileSystem = 0;  // st_dev
    dev_t device = 0;      // st_rdev
};

struct PtyMaster {
    UniqueFd fd;            // non-blocking, close-on-exec, packet mode
    std::string slavePath;  // /dev/pts/N
    DeviceNode slaveNode;   // to find the programs holding the slave
    // A path-only descriptor of the slave (it does not open the terminal, so it does not count
    // as a holder) and /proc/<pid>/fd/<it>, the target a port's name points at: it leads to
    // this slave while this process lives and to nothing once it is gone, even after a crash,
    // when the kernel may already have given /dev/pts/N to another program.
    UniqueFd slaveHandle;
    std::string nameTarget;
};

// The settings a program gave the slave, as far as a pty can show them.
struct PtySettings {
    int baudRate = 0;
    bool parityOdd = false;    // PARODD
    bool parityStick = false;  // CMSPAR
    bool twoStopBits = false;  // CSTOPB
    // EXTPROC: the pty announces the program's next change of the settings to the master.
    bool announcesChanges = false;

    bool operator==(const PtySettings&) const = default;
};

// The speed the slave is reset to, and the speed a port starts with.
constexpr int kRawPtyBaudRate = 9600;

// Opens a master with raw 9600 8N1 settings in packet mode and opens and closes its slave once
// (from then on the master reports POLLHUP while no program holds the slave); or the step that
// failed and why.
Expected<PtyMaster> OpenPtyMaster();

// Whether a pty master can be opened at all on this machine; why not when it cannot.
Expected<void> PseudoTerminalsAvailable();

// The speed is the slave's as it stands: 0 after the program asked for a hang-up (B0).
std::optional<PtySettings> ReadPtySettings(int masterFd);

// Raw 9600 8N1: no input or output processing, no echo, no signals, one byte satisfies a read,
// and EXTPROC so that every change of the settings is announced to the master.
bool SetRawPtySettings(int masterFd);

// Discards what waits in either direction (the program's unread input and the bytes it wrote
// that the master did not read) and ends exclusive mode (TIOCEXCL) a program left behind, as
// the last close of a real serial port does. Fails when the slave cannot be opened for it, with
// EBUSY when exclusive mode keeps everyone but root out. A successful opening and closing is
// seen by a watch on the slave like a program's.
Expected<void> FlushPty(int masterFd, const std::string& slavePath);

// True while no program holds the slave open.
bool PtySlaveHungUp(int masterFd);

}  // namespace qx
