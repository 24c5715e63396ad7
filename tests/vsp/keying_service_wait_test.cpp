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

// A port whose relay ends soon after every grant (one that cannot live) is asked for seldom,
// not at once every time; one whose relay lived a while is asked for again at once.
TEST(KeyingServiceWait, ARelayThatEndsSoonAfterItsGrantIsAskedForAfterAPause) {
    const struct {
        const char* what;
        std::chrono::milliseconds life;
        int fewest, most;  // grants in a minute
    } cases[] = {
        {"ends at once", 0ms, 12, 30},
        {"ends after 10 ms", 10ms, 12, 30},
        {"lives 6 s", 6s, 10, 10},
    };
    for (const auto& c : cases) {
        KeyingServiceWait wait;
        auto now = KeyingServiceWait::Clock::now();
        const auto minuteLater = now + 1min;
        int grants = 0;
        while (now < minuteLater) {
            if (!wait.Due(now)) {
                now += 1ms;
                continue;
            }
            ++grants;
            wait.Granted(now);
            now += c.life;
            wait.DeviceEnded(now);
        }
        EXPECT_GE(grants, c.fewest) << c.what;
        EXPECT_LE(grants, c.most) << c.what;
    }
}

}  // namespace
}  // namespace qx
