#include "helper/grant_rate.h"

#include <cerrno>
#include <string>

namespace qx::helper {

Expected<void> GrantRate::Take(uid_t uid, Clock::time_point now) {
    std::erase_if(wholeAt_, [now](const auto& entry) { return entry.second <= now; });
    const auto found = wholeAt_.find(uid);
    const Clock::time_point from = found == wholeAt_.end() ? now : found->second;
    // Each device not yet made good again costs one interval: a full burst reaches the limit.
    const auto limit = interval_ * (burst_ - 1);
    if (from - now > limit) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(from - now - limit);
        return Error{EAGAIN, "too many ports asked for: " + std::to_string(burst_) +
                                 " at once, then one each " + std::to_string(interval_.count()) +
                                 " ms; the next in " + std::to_string(wait.count()) + " ms"};
    }
    wholeAt_[uid] = from + interval_;
    return {};
}

}  // namespace qx::helper
