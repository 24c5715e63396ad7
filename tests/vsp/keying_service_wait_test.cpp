#include "vsp/keying_service_wait.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

using std::chrono::milliseconds;

// Each failure to reach the service doubles the pause before the next attempt, up to a bound;
// an answer ends the wait and the next failure starts from the first pause again.
TEST(KeyingServiceWait, BacksOffAfterEachLateAnswerUpToTheBound) {
    KeyingServiceWait wait;
    const auto start = KeyingServiceWait::Clock::now();
    EXPECT_FALSE(wait.Waiting());
    EXPECT_TRUE(wait.Due(start));

    auto now = start;
    for (const int pause : {100, 200, 400, 800, 1600, 3200, 5000, 5000}) {
        wait.Late(now);
        EXPECT_TRUE(wait.Waiting());
        EXPECT_FALSE(wait.Due(now + milliseconds(pause - 1))) << pause;
        EXPECT_TRUE(wait.Due(now + milliseconds(pause))) << pause;
        now += milliseconds(pause);
    }
    wait.Answered();
    EXPECT_FALSE(wait.Waiting());
    EXPECT_TRUE(wait.Due(now));
    wait.Late(now);
    EXPECT_TRUE(wait.Due(now + milliseconds(100)));
}

}  // namespace
}  // namespace qx
