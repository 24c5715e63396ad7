#include "vsp/keying_service_wait.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qx {
namespace {

using namespace std::chrono_literals;

// Ports ask whenever the wait is due, on every tick: a service that stays late is asked seldom
// rather than on every tick, yet one that comes back is found within seconds, and after an
// answer a new lateness is looked at again soon.
TEST(KeyingServiceWait, ALateServiceIsAskedSeldomButNotForgotten) {
    KeyingServiceWait wait;
    auto now = KeyingServiceWait::Clock::now();
    EXPECT_TRUE(wait.Due(now));
    const auto minuteLater = now + 1min;
    int attempts = 0;
    auto lastAttempt = now;
    KeyingServiceWait::Clock::duration longestGap{0};
    for (; now < minuteLater; now += 1ms) {
        if (!wait.Due(now)) continue;
        ++attempts;
        longestGap = std::max(longestGap, now - lastAttempt);
        lastAttempt = now;
        wait.Late(now);
        EXPECT_TRUE(wait.Waiting());
    }
    EXPECT_GE(attempts, 12);
    EXPECT_LE(attempts, 30) << "of 60000 ticks";
    EXPECT_LE(longestGap, 5s);

    wait.Answered();
    EXPECT_FALSE(wait.Waiting());
    EXPECT_TRUE(wait.Due(now));
    wait.Late(now);
    EXPECT_FALSE(wait.Due(now));
    EXPECT_TRUE(wait.Due(now + 1s));
}

}  // namespace
}  // namespace qx
