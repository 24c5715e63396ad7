#include "app/termination_signals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace qx {

namespace {

// The handler may run on any thread of the process (a link's worker too), so the descriptor it
// writes to is an atomic, lock-free and safe to read in a signal handler.
std::atomic<int> g_signalWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// Keeps errno as it was: the interrupted thread may be about to read it.
void OnTerminationSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalWriteFd.load(), &byte, 1);
    errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) return;
    read_.Reset(fds[0]);
    write_.Reset(fds[1]);
    g_signalWriteFd.store(write_.Get());
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &oldInt_);
    ::sigaction(SIGTERM, &action, &oldTerm_);
}

TerminationSignals::~TerminationSignals() {
    if (!read_.Valid()) return;
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
    g_signalWriteFd.store(-1);
}

void TerminationSignals::Drain() {
    char buffer[16];
    while (::read(read_.Get(), buffer, sizeof buffer) > 0) {}
}

}  // namespace qx
