#include "platform/realtime_scheduling.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace qx {
namespace {

// An ordinary user may not set SCHED_FIFO: the thread asks RealtimeKit, and without a bus (or
// refused) runs at normal priority with the causes kept. Run in a child dropped to nobody,
// since root may set anything.
TEST(RealtimeScheduling, OrdinaryUserFallsBackAndKeepsTheCause) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(2);
        const SchedulingOutcome outcome = RaiseThreadToRealtime(50);
        const std::string report = std::to_string(static_cast<int>(outcome.scheduling)) + " " +
                                   std::to_string(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) + " " +
                                   std::to_string(::sched_getscheduler(0)) + " " + outcome.refusal;
        [[maybe_unused]] auto written = ::write(pipeFds[1], report.data(), report.size());
        ::_exit(LastSchedulingOutcome().scheduling == outcome.scheduling ? 0 : 3);
    }
    ::close(pipeFds[1]);
    char buffer[512] = {};
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer - 1);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_GT(n, 0);
    const std::string report(buffer);
    if (report.starts_with(std::to_string(static_cast<int>(Scheduling::kRealtimeKit)) + " 1 "))
        return;  // granted
    EXPECT_TRUE(report.starts_with(std::to_string(static_cast<int>(Scheduling::kNormal)) + " 1 " +
                                   std::to_string(SCHED_OTHER) + " SCHED_FIFO: "))
        << report;
    EXPECT_NE(report.find(std::strerror(EPERM)), std::string::npos) << report;
}

}  // namespace
}  // namespace qx
