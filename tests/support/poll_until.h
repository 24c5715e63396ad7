#pragma once
// Waiting for what another thread or process does: condition is asked again every step until
// it holds (true) or bound has passed (false). Between two asks, between() runs if given (a Qt
// test serves the window's events there); then the thread sleeps for step. The result must be
// checked: a bound that passed is the failure, not a later assertion's guess.
#include <chrono>
#include <functional>
#include <thread>

namespace qx::test {

[[nodiscard]] inline bool PollUntil(const std::function<bool()>& condition,
                                    std::chrono::milliseconds bound,
                                    std::chrono::milliseconds step = std::chrono::milliseconds(1),
                                    const std::function<void()>& between = {}) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (between) between();
        if (step.count() > 0) std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace qx::test
