#include "helper/relay.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "helper/relay_confinement.h"
#include "helper/relay_session.h"
#include "platform/descriptor_setup.h"
#include "platform/realtime_scheduling.h"

namespace qx::helper {
namespace {

constexpr int kReadyTimeoutMs = 5000;
constexpr char kRelayReady = 1;  // the relay's first message: confined, serving

int PollTimeout(const RelaySession& session) {
    const auto deadline = session.NextDeadline();
    if (!deadline) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - SerialClock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 60000));
}

// A program that has left shows as a broken pipe or a reset, depending on what was in flight.
Error ProgramSocketFailure(int error, const std::string& attempted) {
    if (error == EPIPE || error == ECONNRESET) return Error{error, "the program closed its end"};
    return Error::FromErrno(error, attempted);
}

// Writes what the session has to say. The program's frames go while its socket has room; the
// rest wait in the session for the next chance. The reason when the program's socket failed.
Expected<void> Flush(RelaySession& session, int kernel, int program) {
    // A reply to a request its caller gave up meanwhile fails with ENOENT: nothing to do.
    for (const CuseMessage& message : session.TakeKernelOutbox())
        [[maybe_unused]] const ssize_t n = ::write(kernel, message.data(), message.size());
    while (!session.ProgramOutbox().empty()) {
        const std::vector<uint8_t> frame = EncodeRelayFrame(session.ProgramOutbox().front());
        if (::send(program, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
            if (errno == EAGAIN || errno == EINTR) return {};
            return ProgramSocketFailure(errno, "sending to the program");
        }
        session.ProgramFrameSent();
    }
    return {};
}

// One message from the kernel, if one waits; the reason when the device has ended.
Expected<void> ReadKernel(RelaySession& session, int kernel, std::vector<uint8_t>& buffer) {
    const ssize_t n = ::read(kernel, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return {};
    if (n < 0) return Error::FromErrno(errno, "the kernel ended the device");
    if (n == 0) return Error{0, "the kernel ended the device"};
    session.FromKernel({buffer.data(), static_cast<size_t>(n)}, SerialClock::now());
    return {};
}

// One frame from the program, if one waits; the reason when it left or broke the protocol.
Expected<void> ReadProgram(RelaySession& session, int program, std::vector<uint8_t>& buffer) {
    // MSG_TRUNC gives the message's real length, so an oversized one is refused, not cut.
    const ssize_t n = ::recv(program, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return {};
    if (n < 0) return ProgramSocketFailure(errno, "the program's socket");
    if (n == 0) return Error{0, "the program closed its end"};
    if (static_cast<size_t>(n) > buffer.size())
        return Error{0, "the program sent a frame of " + std::to_string(n) + " bytes"};
    return session.FromProgram({buffer.data(), static_cast<size_t>(n)});
}

// Moves messages both ways until something ends the port. A program slow to take its frames
// is waited for: they wait in the session while its socket has no room.
Error Serve(RelaySession& session, int kernel, int program) {
    std::vector<uint8_t> kernelBuffer(kCuseReadBuffer);
    std::vector<uint8_t> programBuffer(kRelayMaxFrame);
    session.Expire(SerialClock::now());  // the first state frame
    for (;;) {
        if (Expected<void> flushed = Flush(session, kernel, program); !flushed)
            return flushed.error();
        // Room for the program's frames is waited for only while some wait.
        const short programEvents = session.ProgramOutbox().empty() ? POLLIN : POLLIN | POLLOUT;
        pollfd fds[2] = {{kernel, POLLIN, 0}, {program, programEvents, 0}};
        if (::poll(fds, 2, PollTimeout(session)) < 0 && errno != EINTR)
            return Error::FromErrno(errno, "waiting for the kernel and the program");
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return Error{0, "the kernel ended the device"};
        Expected<void> read;
        if (fds[0].revents & POLLIN) read = ReadKernel(session, kernel, kernelBuffer);
        if (read && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            read = ReadProgram(session, program, programBuffer);
        if (!read) return read.error();
        session.Expire(SerialClock::now());
    }
}

// The relay's last word goes to the helper, which writes it under the journal budget of the
// port's user. With no helper left to hear it (the port was never handed over, which the helper
// has said, or the helper was killed alone) it goes unsaid: nothing about a user's ports
// reaches the journal outside that user's budget.
void Tell(int report, const std::string& deviceName, const std::string& line) {
    const std::string text = "relay for " + deviceName + " " + line;
    [[maybe_unused]] const ssize_t n = ::send(report, text.data(), text.size(), MSG_NOSIGNAL);
}

}  // namespace

Expected<RelayIdentity> ResolveRelayIdentity(const std::string& nameOrUid) {
    uid_t uid = 0;
    const char* end = nameOrUid.data() + nameOrUid.size();
    const bool numeric =
        !nameOrUid.empty() && std::from_chars(nameOrUid.data(), end, uid).ptr == end;
    const passwd* user = numeric ? ::getpwuid(uid) : ::getpwnam(nameOrUid.c_str());
    if (!numeric && !user) return Error{ENOENT, "no relay user \"" + nameOrUid + "\""};
    RelayIdentity identity{user ? user->pw_uid : uid, user ? user->pw_gid : uid};
    if (identity.uid == 0 || identity.gid == 0)
        return Error{EPERM, "the relay must not run as root (" + nameOrUid + ")"};
    return identity;
}

Expected<void> PrepareRelayDescriptors(int kernel) {
    if (!SetNonBlocking(kernel))
        return Error::FromErrno(errno, "preparing the relay's descriptors");
    return {};
}

Error RunRelay(int kernel, int program) {
    RelaySession session;
    Error why = Serve(session, kernel, program);
    session.Abort();  // waiting callers get EIO before the device goes
    [[maybe_unused]] const Expected<void> last = Flush(session, kernel, program);
    return why;
}

Expected<StartedRelay> StartRelay(UniqueFd connection, const std::string& deviceName,
                                  const RelayIdentity& identity) {
    int pair[2];
    int ready[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return Error::FromErrno(errno, "making the relay's socket pair");
    UniqueFd programEnd(pair[0]), relayEnd(pair[1]);
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ready) != 0)
        return Error::FromErrno(errno, "making the relay's report socket");
    UniqueFd readyRead(ready[0]), readyWrite(ready[1]);
    const pid_t pid = ::fork();
    if (pid < 0) return Error::FromErrno(errno, "starting the relay");
    if (pid == 0) {
        int kernel = connection.Release(), program = relayEnd.Release(),
            told = readyWrite.Release();
        // Set while still root (the unit's LimitRTPRIO= allows it), kept after confinement;
        // refused, the relay serves at normal priority and the program's --status says so.
        if (const std::string refused = SetBoundedFifo(KeyingRealtimePriority()); !refused.empty())
            std::fprintf(stderr, "qx-cuse-helper: relay for %s at normal priority: %s\n",
                         deviceName.c_str(), refused.c_str());
        Expected<void> confined = PrepareRelayDescriptors(kernel);
        if (confined) confined = ConfineRelay(identity, {&kernel, &program, &told});
        if (!confined) {
            Tell(told, deviceName, "could not be confined: " + confined.error().message);
            ::_exit(1);
        }
        [[maybe_unused]] const ssize_t n = ::send(told, &kRelayReady, 1, MSG_NOSIGNAL);
        const Error why = RunRelay(kernel, program);
        Tell(told, deviceName, "ended: " + why.message);
        ::_exit(0);
    }
    readyWrite.Reset();
    pollfd p{readyRead.Get(), POLLIN, 0};
    char first[kRelayReportMax] = {};
    const ssize_t n = ::poll(&p, 1, kReadyTimeoutMs) == 1
                          ? ::recv(readyRead.Get(), first, sizeof first, MSG_DONTWAIT)
                          : -1;
    if (n == 1 && first[0] == kRelayReady)
        return StartedRelay{std::move(programEnd), std::move(readyRead)};
    if (n > 0) return Error{0, "the " + std::string(first, static_cast<size_t>(n))};
    ::kill(pid, SIGKILL);  // still starting after the deadline: a relay half-made is none
    return Error{0, "the relay for " + deviceName + " could not be confined"};
}

}  // namespace qx::helper
