#include "app/termination_signals.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <csignal>

namespace qx {
namespace {

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// A signal arriving between a failed call and the check of its errno must not change the
// outcome the interrupted code sees, even once the descriptor is full and the handler's own
// write fails.
TEST(TerminationSignalsTest, SignalBecomesReadableAndLeavesErrnoAlone) {
    TerminationSignals signals;
    ASSERT_GE(signals.Fd(), 0);
    EXPECT_FALSE(Readable(signals.Fd()));

    for (int signal : {SIGTERM, SIGINT}) {
        errno = ENOENT;
        ASSERT_EQ(std::raise(signal), 0);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_TRUE(Readable(signals.Fd()));
        signals.Drain();
        EXPECT_FALSE(Readable(signals.Fd()));
    }
    for (int i = 0; i < 20000; ++i) {  // far more one-byte writes than the socket holds
        errno = ENOENT;
        ASSERT_EQ(std::raise(SIGTERM), 0);
        ASSERT_EQ(errno, ENOENT) << "after " << i << " signals";
    }
}

// Once the object is gone, the handler goes too: the write end is closed and must not be used.
TEST(TerminationSignalsTest, RestoresThePreviousHandler) {
    struct sigaction before {};
    ::sigaction(SIGTERM, nullptr, &before);
    { TerminationSignals signals; }
    struct sigaction after {};
    ::sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
}  // namespace qx
