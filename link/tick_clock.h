#pragma once
// The link's clock of 1 ms ticks for a worker that does not wake on every tick: it tells a pass
// how many whole ticks went by since the previous one (the link decides how many of them count:
// a stall counts once). Every pass, whether the timer or news started it, keeps to the grid of
// whole ticks: the fraction of a tick it runs late is left for the next pass, never dropped.
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

    // A pass at `now`, a tick or more after the last: the whole ticks since it (at least 1).
    int64_t Pass(int64_t now) {
        const int64_t ticks = std::max<int64_t>(1, (now - lastPass_) / kTickNanoseconds);
        lastPass_ += ticks * kTickNanoseconds;
        return ticks;
    }

private:
    int64_t lastPass_;
};

}  // namespace qx
