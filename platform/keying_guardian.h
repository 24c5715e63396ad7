#pragma once
// The keying guardian releases the transmitter whatever ends the program: SIGKILL, a crash, the
// OOM killer, or a kill aimed at the program's whole unit or command line leave no close path to
// run, so a small process of its own does it (qx-guardian, platform/guardian_process.h). It is
// executed rather than forked, so its command line is its own and a kill by the program's name
// misses it, and it moves itself into a scope of its own where a user service manager runs, so
// a stop or kill of the program's unit or scope misses it too.
//
// The program hands it a duplicate of each open device's descriptor and keeps, in memory the two
// share, the line flags each device is known to hold. Once the program has gone (its end of
// their socket reads end-of-file), the guardian writes CW off, then PTT off, to each device it
// still holds, each device on a thread of its own, and ends. A device the program closes
// normally is taken back before it is closed, so the guardian never writes to a device the
// program let go of, even when a later device gets the same descriptor number.
//
// The program keeps its own duplicate of every device in the guardian's care, so a guardian that
// ends while the program runs (killed, say) is replaced by RenewKeyingGuardian, which hands the
// new one every device again; a device the guardian does not hold (its hand-over failed, or no
// guardian runs) is unguarded, which the Status page and --status show. Nothing the program
// sends the guardian ever waits for it.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "core/error.h"
#include "platform/fd.h"
#include "platform/wake_event.h"

namespace qx {

// The guardian for this program: beside its executable (a build tree), else where it is
// installed.
std::string KeyingGuardianExecutable();

// Starts the guardian from executable and hands it every device in its care; once one runs,
// later calls change nothing. Threads: the user interface thread, as is RenewKeyingGuardian.
Expected<void> StartKeyingGuardian(const std::string& executable);
// After the running guardian has ended: starts a new one and hands it every device again; until
// it runs, they are unguarded.
Expected<void> RenewKeyingGuardian();

// Watches the guardian running when it was made, from a thread of its own (a guardian's end
// wakes nobody else), and signals ended once that guardian has ended.
// Threads: made and destroyed on one thread; Ended on any.
class KeyingGuardianWatch {
public:
    // Null when no guardian runs.
    static Expected<std::unique_ptr<KeyingGuardianWatch>> Start(std::shared_ptr<WakeEvent> ended);
    ~KeyingGuardianWatch();
    KeyingGuardianWatch(const KeyingGuardianWatch&) = delete;
    KeyingGuardianWatch& operator=(const KeyingGuardianWatch&) = delete;

    bool Ended() const { return ended_.load(); }

private:
    KeyingGuardianWatch(UniqueFd socket, std::shared_ptr<WakeEvent> ended);
    void Wait();

    UniqueFd socket_;  // a duplicate of the program's end of the guardian's socket
    std::shared_ptr<WakeEvent> wake_;
    WakeEvent stop_;
    std::atomic<bool> ended_{false};
    std::thread thread_;  // last: it uses the fields above
};

// A device in the guardian's care while this lives; Release (or destruction) takes it back and
// must come before the program closes the device. Empty when the device had no descriptor to
// hand over (a simulated device).
// Threads: Hand, Release, Guarded and destruction on the user interface thread;
// NoteWriting and NoteWritten on any one thread (the link's worker), lock-free and without a
// system call.
class GuardedDevice {
public:
    GuardedDevice() = default;
    ~GuardedDevice() { Release(); }
    GuardedDevice(GuardedDevice&& other) noexcept;
    GuardedDevice& operator=(GuardedDevice&& other) noexcept;
    GuardedDevice(const GuardedDevice&) = delete;
    GuardedDevice& operator=(const GuardedDevice&) = delete;

    // Puts the device whose duplicate descriptor deviceFd is (it takes whole reports by
    // write(2)) in the guardian's care, in place of the one this held; an invalid deviceFd:
    // nothing to guard. Why the guardian does not hold it when it does not: the device is then
    // Unguarded, and a guardian started later is handed it if it has a slot.
    Expected<void> Hand(UniqueFd deviceFd);
    // Around each line report's write: before it, the device is known to hold only the bits
    // both the old and the new flags have; after it succeeded, the new flags.
    void NoteWriting(uint8_t flags) const;
    void NoteWritten(uint8_t flags) const;
    void Release();
    // A device to guard (its descriptor could be had) that the running guardian does not hold.
    bool Unguarded() const { return wanted_ && !Guarded(); }
    bool Guarded() const;

private:
    bool wanted_ = false;
    int slot_ = -1;  // -1: no slot could be had, or nothing to guard
};

}  // namespace qx
