#include "vsp/keying_service_wait.h"

#include <algorithm>

namespace qx {

bool KeyingServiceWait::Waiting() const {
    MutexLock lock(mutex_);
    return waiting_;
}

bool KeyingServiceWait::Due(Clock::time_point now) const {
    MutexLock lock(mutex_);
    return !waiting_ || now >= due_;
}

KeyingServiceWait::Clock::time_point KeyingServiceWait::DueAt() const {
    MutexLock lock(mutex_);
    return due_;
}

void KeyingServiceWait::Late(Clock::time_point now) {
    MutexLock lock(mutex_);
    pause_ = waiting_ ? std::min(pause_ * 2, kLongestPause) : kFirstPause;
    waiting_ = true;
    due_ = now + pause_;
}

void KeyingServiceWait::Answered() {
    MutexLock lock(mutex_);
    waiting_ = false;
}

void KeyingServiceWait::Granted(Clock::time_point now) {
    MutexLock lock(mutex_);
    waiting_ = false;
    grantedAt_ = now;
}

void KeyingServiceWait::DeviceEnded(Clock::time_point now) {
    MutexLock lock(mutex_);
    if (now - grantedAt_ >= kShortLife) {
        pause_ = std::chrono::milliseconds(0);
        waiting_ = false;
        return;
    }
    pause_ = std::clamp(pause_ * 2, kFirstPause, kLongestPause);
    waiting_ = true;
    due_ = now + pause_;
}

}  // namespace qx
