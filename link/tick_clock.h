#pragma once
// The link's clock of 1 ms ticks for a worker that does not wake on every tick. A pass stands
// for all the ticks since the previous one, so counters of ticks count elapsed milliseconds.
// Passes the timer starts keep to the grid of whole ticks from the last pass, so a busy link
// runs exactly one pass per millisecond; a pass that news starts (bytes, a report, a request)
// runs when it comes, at least a tick after the last, and the grid starts again from it.
#include <algorithm>
#include <cstdint>
#include <limits>

namespace qx {

// No rule is due by time: only news starts the next pass.
constexpr int64_t kNoPassDue = std::numeric_limits<int64_t>::max();

class TickClock {
public:
    static constexpr int64_t kTickNanoseconds = 1000000;

    explicit TickClock(int64_t now) : lastPass_(now) {}

    // When the pass `ticks` ticks after the last one is due (CLOCK_MONOTONIC nanoseconds).
    int64_t TickTime(int64_t ticks) const { return lastPass_ + ticks * kTickNanoseconds; }

    // A pass the timer started at `now`: the whole ticks since the last pass (at least 1).
    int64_t TimerPass(int64_t now) {
        const int64_t ticks = TicksSinceLastPass(now);
        lastPass_ += ticks * kTickNanoseconds;
        return ticks;
    }

    // A pass that news started at `now`, a tick or more after the last.
    int64_t NewsPass(int64_t now) {
        const int64_t ticks = TicksSinceLastPass(now);
        lastPass_ = now;
        return ticks;
    }

private:
    int64_t TicksSinceLastPass(int64_t now) const {
        return std::max<int64_t>(1, (now - lastPass_) / kTickNanoseconds);
    }

    int64_t lastPass_;
};

}  // namespace qx
