#pragma once
// Waiting for a late keying-port service: after each failure to reach it, the next attempt is
// due after a pause that doubles up to a bound, so a stalled service is not asked on every
// port and every tick. A port's device that ends soon after its grant (a relay that cannot
// live) counts as such a failure, so it is not asked for again at once, every time. Any thread.
#include <chrono>

#include "core/thread_annotations.h"

namespace qx {

class KeyingServiceWait {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirstPause{100};
    static constexpr std::chrono::milliseconds kLongestPause{5000};
    // A device that lived this long was served: when it ends, it is asked for again at once.
    static constexpr std::chrono::milliseconds kShortLife{5000};

    // Whether the last attempt failed to reach the service.
    bool Waiting() const;
    // Whether an attempt may be made now: not waiting, or the pause has passed.
    bool Due(Clock::time_point now) const;
    // When the next attempt may be made while waiting.
    Clock::time_point DueAt() const;
    void Late(Clock::time_point now);
    void Answered();
    // A device was granted; the pause reached so far is kept until it has lived kShortLife.
    void Granted(Clock::time_point now);
    // The granted device ended: due at once when it lived kShortLife, else after a longer pause.
    void DeviceEnded(Clock::time_point now);

private:
    mutable Mutex mutex_;
    bool waiting_ QX_GUARDED_BY(mutex_) = false;
    std::chrono::milliseconds pause_ QX_GUARDED_BY(mutex_){0};
    Clock::time_point due_ QX_GUARDED_BY(mutex_);
    Clock::time_point grantedAt_ QX_GUARDED_BY(mutex_);
};

}  // namespace qx
