#include "platform/realtime_scheduling.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
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

// Runs check in a child (scheduling and limits are the process's) and returns its exit code.
int InChild(const std::function<int()>& check) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(check());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Where SCHED_FIFO may be set, each role keeps its own outcome, another process sees it, and
// the real-time CPU time is bounded, never above a bound already set lower.
TEST(RealtimeScheduling, FifoIsBoundedAndKeptPerRole) {
    if (::geteuid() != 0) GTEST_SKIP() << "setting SCHED_FIFO directly needs root";
    const struct {
        const char* what;
        rlim_t before;  // RLIMIT_RTTIME set first, unless an earlier test bound it lower
    } cases[] = {
        {"unbounded before", RLIM_INFINITY},
        {"bounded lower before", 50000},
    };
    for (const auto& c : cases) {
        const int code = InChild([&] {
            rlimit before{};
            ::getrlimit(RLIMIT_RTTIME, &before);
            before.rlim_cur = before.rlim_max = std::min(c.before, before.rlim_max);
            if (::setrlimit(RLIMIT_RTTIME, &before) != 0) return 2;
            const rlim_t expected = std::min<rlim_t>(before.rlim_max, 200000);
            const pid_t parent = ::getppid();
            NoteSchedulingOutcome(SchedulingRole::kLinkWorker, {});  // earlier tests' workers
            if (RaiseThreadToRealtime(KeyingRealtimePriority(), SchedulingRole::kPortThread)
                    .scheduling != Scheduling::kFifo)
                return 3;
            rlimit after{};
            ::getrlimit(RLIMIT_RTTIME, &after);
            if (after.rlim_cur != expected || after.rlim_max != expected) return 4;
            if (LastSchedulingOutcome(SchedulingRole::kPortThread).scheduling !=
                    Scheduling::kFifo ||
                LastSchedulingOutcome(SchedulingRole::kLinkWorker).scheduling !=
                    Scheduling::kNotAsked)
                return 5;
            if (ObservedScheduling(::getpid()).scheduling != Scheduling::kFifo) return 6;
            const SchedulingOutcome normal = ObservedScheduling(parent);
            return normal.scheduling == Scheduling::kNormal && !normal.refusal.empty() ? 0 : 7;
        });
        EXPECT_EQ(code, 0) << c.what;
    }
}

}  // namespace
}  // namespace qx
