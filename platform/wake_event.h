#pragma once
// An eventfd that any thread signals to wake one thread sleeping in poll on it. Signals do not
// queue up: one Clear takes them all, so the sleeper clears before it looks at its work.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/fd.h"

namespace qx {

class WakeEvent {
public:
    WakeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    bool Valid() const { return fd_.Valid(); }
    int Fd() const { return fd_.Get(); }

    void Signal() {
        const uint64_t one = 1;
        // Fails only when the counter is full, and then it is readable already.
        [[maybe_unused]] const ssize_t n = ::write(fd_.Get(), &one, sizeof one);
    }

    // True when it had been signalled since the last Clear.
    bool Clear() {
        uint64_t count = 0;
        return ::read(fd_.Get(), &count, sizeof count) == sizeof count;
    }

private:
    UniqueFd fd_;
};

}  // namespace qx
