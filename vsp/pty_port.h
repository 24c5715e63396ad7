#pragma once
// The virtual port component over Linux pseudo-terminals.
//
// Each instance is one port: CreatePort("COM5") opens a pty master and publishes its slave as
// the symlink <ports directory>/COM5 -> /proc/<pid>/fd/<n>, a path-only descriptor this process
// keeps of /dev/pts/N, which radio programs open like a serial port. Through it the name leads
// to this port while the process lives and to nothing once it is gone, even after a crash,
// when the kernel may hand /dev/pts/N to another program's terminal. ReusePort takes a name
// left by an earlier run whatever it points at; only a name another port of this run holds is
// refused. One watch thread per class object follows every port (epoll on the masters,
// inotify on the slaves) and fires the events: 5 opened, 6 last program closed, 7 settings
// changed (announced by the pty, or found by looking every 100 ms while the program has
// cleared EXTPROC, as with c_lflag = 0).
//
// What a pty can and cannot show:
// - Speed, PARODD, CMSPAR and CSTOPB are visible; data bits and the parity enable are not (the
//   pty driver forces CS8 and clears PARENB). Parity reads odd (PARODD), mark (PARODD|CMSPAR),
//   space (CMSPAR) or none; even parity looks like none. Data bits are an assumed value per
//   port, set with SetAssumedDataBits (default 8); stop bits read 1.5 for CSTOPB with 5 bits.
// - There are no modem lines: GetRts/GetDtr report false and SetInputLine has no effect.
// - SetCreationFlag has no effect: every port is created the same way here.
// - Speed 0 (B0, a hang-up request) is not a speed: GetBaudRate keeps the last real one.
//
// Lifetime of a name: DeletePort removes the entry. Destroying an instance without DeletePort
// lets the port go but keeps its name in the directory (pointing nowhere, so no program can
// open it) until ReusePort takes it again or DeleteAllPorts clears the directory; that is how
// ports are kept across a device's removal.
//
// Data: bytes the program writes wait in a bounded receive buffer (BytesWaiting, ReadFromPort);
// when it is full the program's writes are held back by the pty, nothing is lost. WriteToPort
// never blocks and takes a call's bytes whole or not at all: what the pty cannot take at once
// waits in a bounded transmit buffer; a call that does not fit is dropped whole, counted, and
// returns false. When the last program closes the
// port, both directions are cleared, the settings go back to raw 9600 8N1 and exclusive mode
// (TIOCEXCL) ends, so the next program starts clean; where the kernel lets only root end
// exclusive mode, a new pseudo-terminal takes over the name. A program that opened the port again
// before that close was seen keeps its own settings and what it wrote; only the bytes meant for the
// program that left are gone.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vsp/IVSPortAx.h"

namespace qx {

// The class object, or why not: portsDirectory is not a writable directory, pseudo-terminals
// cannot be opened, or their watch cannot be started.
Expected<std::unique_ptr<IVSPortAxClass>> MakePtyPortClass(const std::string& portsDirectory);

constexpr int kDefaultAssumedDataBits = 8;

// Bytes WriteToPort had to drop because the transmit buffer was full; nullopt when port is not
// a pseudo-terminal port.
std::optional<uint64_t> TransmitOverflowCount(IVSPortAx& port);

}  // namespace qx
