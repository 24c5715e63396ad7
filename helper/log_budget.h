#pragma once
// How many lines the helper writes about one uid each second: a user whose programs flood the
// socket with connections must not flood the journal too. Lines past the budget are counted,
// and the count is said once that uid's second is over.
//
// Single-threaded: the service loop's thread.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace qx::helper {

class LogBudget {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogBudget(int linesPerSecond) : linesPerSecond_(linesPerSecond) {}

    // What to write for a line about uid: the notes of Ended, then the line unless uid's
    // budget for this second is spent (then it is counted).
    std::vector<std::string> Pass(uid_t uid, std::string line, Clock::time_point now);
    // For each uid whose second has ended with lines held back, the line that says how many.
    std::vector<std::string> Ended(Clock::time_point now);
    // When the first second with lines held back ends, so its count is said on time even
    // when nothing else wakes the service; max() when none waits.
    Clock::time_point NextEnd() const;

private:
    struct Second {
        Clock::time_point start;
        int written = 0;
        int heldBack = 0;
    };

    const int linesPerSecond_;
    std::map<uid_t, Second> seconds_;
};

}  // namespace qx::helper
