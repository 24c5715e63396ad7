#pragma once
// The keying guardian releases the transmitter whatever ends the program: SIGKILL, a crash or
// the OOM killer leave no close path to run, so a small process forked at start does it. The
// program hands it a duplicate of each open device's descriptor and keeps the line flags it last
// wrote to each device in memory the two share. Once the program has gone (its end of their
// socket reads end-of-file), the guardian writes CW off, then PTT off, to each device it still
// holds, and ends. A device the program closes normally is taken back before it is closed, so
// the guardian never writes to a device the program let go of, even when a later device gets
// the same descriptor number: it holds duplicates of its own.
//
// The guardian has no other job and no configuration. It keeps none of the program's other
// descriptors (a held pty master or relay socket would keep a port alive), leaves the terminal's
// session and ignores the stop signals a terminal or a service manager sends to every process
// of a group (the program unkeys by itself then; the guardian waits for its end), and is named
// qx-guardian. A guardian that has been killed guards nothing more; devices are then handed to
// nobody.
#include <cstdint>

#include "core/error.h"
#include "platform/fd.h"

namespace qx {

// Forks the process's guardian, before the process has any other thread, so the child starts as
// a copy of one thread only; once it has started, later calls change nothing.
Expected<void> StartKeyingGuardian();

// A device in the guardian's care while this lives; Release (or destruction) takes it back and
// must come before the program closes the device. Empty when no guardian runs, the device had no
// descriptor to hand over, or the guardian could not take it.
// Threads: Hand, Release and destruction on one thread per device (the user interface);
// NoteLines on any thread (the link's worker), lock-free and without a system call.
class GuardedDevice {
public:
    GuardedDevice() = default;
    ~GuardedDevice() { Release(); }
    GuardedDevice(GuardedDevice&& other) noexcept : slot_(other.slot_) { other.slot_ = -1; }
    GuardedDevice& operator=(GuardedDevice&& other) noexcept;
    GuardedDevice(const GuardedDevice&) = delete;
    GuardedDevice& operator=(const GuardedDevice&) = delete;

    // Hands the guardian deviceFd, a duplicate of the device's own descriptor (the device takes
    // whole reports by write(2)); the guardian keeps it, this process closes its copy.
    static GuardedDevice Hand(UniqueFd deviceFd);
    // The line flags of the line report about to be written to the device.
    void NoteLines(uint8_t flags) const;
    void Release();
    bool Held() const { return slot_ >= 0; }

private:
    explicit GuardedDevice(int slot) : slot_(slot) {}
    int slot_ = -1;
};

}  // namespace qx
