#include "helper/log_budget.h"

#include <algorithm>
#include <utility>

namespace qx::helper {

namespace {
constexpr std::chrono::seconds kWindow{1};
}  // namespace

std::vector<std::string> LogBudget::Pass(uid_t uid, std::string line, Clock::time_point now) {
    std::vector<std::string> lines = Ended(now);
    Second& second = seconds_.try_emplace(uid, Second{now}).first->second;
    if (second.written < linesPerSecond_) {
        ++second.written;
        lines.push_back(std::move(line));
    } else {
        ++second.heldBack;
    }
    return lines;
}

std::vector<std::string> LogBudget::Ended(Clock::time_point now) {
    std::vector<std::string> lines;
    for (auto it = seconds_.begin(); it != seconds_.end();) {
        if (now - it->second.start < kWindow) {
            ++it;
            continue;
        }
        if (it->second.heldBack > 0)
            lines.push_back("uid " + std::to_string(it->first) + ": " +
                            std::to_string(it->second.heldBack) + " more lines left out (at most " +
                            std::to_string(linesPerSecond_) + " a second)");
        it = seconds_.erase(it);
    }
    return lines;
}

LogBudget::Clock::time_point LogBudget::NextEnd() const {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [uid, second] : seconds_)
        if (second.heldBack > 0) next = std::min(next, second.start + kWindow);
    return next;
}

}  // namespace qx::helper
