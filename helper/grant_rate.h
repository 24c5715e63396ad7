#pragma once
// How often a device is made for one uid: each makes a device node, udev events, a relay and
// their journal lines, so a user who asks, closes and asks again must not make them by the
// thousand. A burst as large as a program's start with eight interfaces (and a restart of it)
// is granted at once; past it, grants come at a steady rate, and a refused request says when
// the next one can be had.
//
// Single-threaded: the service loop's thread.
#include <sys/types.h>

#include <chrono>
#include <map>

#include "core/error.h"

namespace qx::helper {

class GrantRate {
public:
    using Clock = std::chrono::steady_clock;

    GrantRate(int burst, std::chrono::milliseconds interval) : burst_(burst), interval_(interval) {}

    // Counts a device about to be made for uid; or why none may be now (and how long until one
    // may), which is not counted.
    Expected<void> Take(uid_t uid, Clock::time_point now);

private:
    const int burst_;
    const std::chrono::milliseconds interval_;
    // When each uid's allowance is whole again: a grant moves it on by one interval. Entries
    // whose time has passed are whole and removed.
    std::map<uid_t, Clock::time_point> wholeAt_;
};

}  // namespace qx::helper
