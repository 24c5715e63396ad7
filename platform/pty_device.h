#pragma once
// Operations on one pseudo-terminal seen from its master. They live in their own translation
// unit because the kernel's termios2 (asm/termbits.h) clashes with glibc's <termios.h>.
#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/fd.h"

namespace qx {

struct PtyMaster {
    UniqueFd fd;            // non-blocking, close-on-exec, packet mode
    std::string slavePath;  // /dev/pts/N
    dev_t slaveDevice = 0;  // st_rdev of the slave, to find the programs holding it
};

// The settings a program gave the slave, as far as a pty can show them.
struct PtySettings {
    int baudRate = 0;
    bool parityOdd = false;    // PARODD
    bool parityStick = false;  // CMSPAR
    bool twoStopBits = false;  // CSTOPB
};

// Opens a master with raw 9600 8N1 settings in packet mode and opens and closes its slave once
// (from then on the master reports POLLHUP while no program holds the slave).
std::optional<PtyMaster> OpenPtyMaster();

// Whether a pty master can be opened at all on this machine.
bool PseudoTerminalsAvailable();

std::optional<PtySettings> ReadPtySettings(int masterFd);

// Raw 9600 8N1: no input or output processing, no echo, no signals, one byte satisfies a read,
// and EXTPROC so that every change of the settings is announced to the master.
bool SetRawPtySettings(int masterFd);

// Discards what waits in either direction: the program's unread input and the bytes it wrote
// that the master did not read. Returns whether the slave was opened for it (the opening and
// closing are seen by a watch on the slave like a program's).
bool FlushPty(int masterFd, const std::string& slavePath);

// True while no program holds the slave open.
bool PtySlaveHungUp(int masterFd);

}  // namespace qx
