#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/descriptor_setup.h"

namespace qx {
namespace {

constexpr const char* kLockName = "/qx-manager.lock";
constexpr const char* kSocketName = "/qx-manager.sock";
// A request is one byte, the code, after which the sender shuts its side down and waits for
// the owner to echo the code once it has handled the request. A text query is the code
// kRequestText followed by its text; the owner answers with text and closes.
constexpr timeval kSenderTimeout{1, 0};
constexpr auto kLockPollInterval = std::chrono::milliseconds(10);
// Between two sends of a request the owner closed unanswered.
constexpr auto kResendPause = std::chrono::milliseconds(50);
// How long an owner may hold the run before it listens; one that holds it longer unheard is
// ending.
constexpr auto kListenGrace = std::chrono::seconds(1);

using Clock = std::chrono::steady_clock;

LockFailure SystemFailure(const char* attempt, const std::string& path) {
    LockFailure failure;
    failure.kind = LockFailure::kSystem;
    failure.attempt = attempt;
    failure.path = path;
    failure.error = errno;
    return failure;
}

// The directory exists (made 0700 when missing), is a real directory, belongs to this user and
// is not writable by others, so nobody else can plant the lock or the socket.
std::optional<LockFailure> PrivateDirProblem(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return SystemFailure("mkdir", dir);
    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0) return SystemFailure("lstat", dir);
    if (S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 022) == 0)
        return std::nullopt;
    LockFailure failure;
    failure.kind = LockFailure::kNotPrivate;
    failure.path = dir;
    failure.owner = info.st_uid;
    failure.mode = info.st_mode & 07777;
    failure.isDirectory = S_ISDIR(info.st_mode);
    return failure;
}

// The peer's credentials when it is a process of this user.
std::optional<ucred> PeerOfThisUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof(peer) &&
        peer.uid == ::getuid())
        return peer;
    return std::nullopt;
}

bool PeerIsThisUser(int fd) { return PeerOfThisUser(fd).has_value(); }

// Taken while the owner still holds its socket, so the number cannot yet name another process.
// An owner in this very process has no end this process could wait for: none.
UniqueFd OpenOwnerProcess(int connection) {
    const std::optional<ucred> peer = PeerOfThisUser(connection);
    if (!peer || peer->pid <= 0 || peer->pid == ::getpid()) return {};
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, peer->pid, 0)));
}

std::chrono::milliseconds Left(Clock::time_point deadline) {
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                    std::chrono::milliseconds(0));
}

void SetReceiveTimeout(int fd, std::chrono::milliseconds bound) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(bound).count();
    const timeval timeout{static_cast<time_t>(micros / 1'000'000),
                          static_cast<suseconds_t>(micros % 1'000'000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

Error NotAnswered() { return Error{ETIMEDOUT, "the running instance did not answer in time"}; }
Error NotTaken() {
    return Error{ECONNRESET, "the running instance closed the connection without an answer"};
}

// What a failed receive of the owner's answer means.
Error ReceiveFailure(ssize_t n) {
    if (n == 0 || errno == ECONNRESET) return NotTaken();
    if (errno == EAGAIN || errno == EWOULDBLOCK) return NotAnswered();
    return Error::FromErrno(errno, "reading the running instance's answer");
}

// Reads the owner's answer until the end of the stream, at most limit bytes, until deadline (an
// owner that trickles bytes cannot hold the reader longer). An empty answer is none: the owner
// closed without a word.
Expected<std::string> ReadAnswerText(int fd, std::size_t limit, Clock::time_point deadline) {
    std::string data;
    char buffer[4096];
    for (;;) {
        const std::chrono::milliseconds left = Left(deadline);
        if (left.count() == 0) return NotAnswered();
        SetReceiveTimeout(fd, left);
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 && !data.empty()) return data;
        if (n <= 0) return ReceiveFailure(n);
        data.append(buffer, static_cast<std::size_t>(n));
        if (data.size() > limit)
            return Error{EMSGSIZE, "the running instance's answer is too long"};
    }
}

// Waits until deadline for the owner's echo of code.
Expected<void> ReadAnswer(int fd, int code, Clock::time_point deadline) {
    SetReceiveTimeout(fd, std::max(Left(deadline), std::chrono::milliseconds(1)));
    unsigned char answer = 0;
    ssize_t n = 0;
    do {
        n = ::recv(fd, &answer, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 1 && answer == code) return {};
    if (n == 1) return Error{EPROTO, "the running instance answered another request"};
    return ReceiveFailure(n);
}

// Writes all of data within the sender timeout; a sender that stopped reading loses its answer.
void SendAll(int fd, const std::string& data) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSenderTimeout, sizeof(kSenderTimeout));
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

// Connects to the owner of dir (same user only) and sends message, then ends the sending side.
Expected<UniqueFd> SendMessage(const std::string& dir, const std::string& message) {
    const std::string path = dir + kSocketName;
    const std::optional<sockaddr_un> address = LocalSocketAddress(path);
    if (!address) return Error::FromErrno(ENAMETOOLONG, path);
    UniqueFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection.Valid()) return Error::FromErrno(errno, "socket");
    ::setsockopt(connection.Get(), SOL_SOCKET, SO_SNDTIMEO, &kSenderTimeout,
                 sizeof(kSenderTimeout));
    if (::connect(connection.Get(), reinterpret_cast<const sockaddr*>(&*address),
                  sizeof(*address)) != 0)
        return Error::FromErrno(errno, "connecting to " + path);
    if (!PeerIsThisUser(connection.Get()))
        return Error{EPERM, path + " is not served by a process of this user"};
    if (::send(connection.Get(), message.data(), message.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(message.size()))
        return NotTaken();
    ::shutdown(connection.Get(), SHUT_WR);
    return connection;
}

// Runs attempt (one send and the wait for its answer, until the deadline it is given) again
// while time is left and the owner closes the connection unanswered, or, for a moment, holds
// the run without listening: an owner that has just taken the run listens right after.
template <typename Attempt>
auto SendUntilTaken(const std::string& dir, std::chrono::milliseconds answerBound,
                    Attempt attempt) {
    const Clock::time_point deadline = Clock::now() + answerBound;
    const Clock::time_point listenGraceEnd = Clock::now() + kListenGrace;
    for (;;) {
        auto result = attempt(deadline);
        if (result || Left(deadline) <= kResendPause) return result;
        const bool starting =
            NoneListened(result.error()) && Clock::now() < listenGraceEnd && IsRunHeld(dir);
        const bool again = result.error().code == ECONNRESET || starting;
        if (!again) return result;
        std::this_thread::sleep_for(kResendPause);
    }
}

// Reads what a connection has sent so far without waiting: true once its sender has ended its
// side; nullopt when the connection failed or sent more than a request can hold.
std::optional<bool> ReadAvailable(int fd, std::string& bytes) {
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > 1 + kMaxRequestText) return std::nullopt;
    }
}

}  // namespace

std::string DefaultRuntimeDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') return runtime;
    return "/tmp/qx-manager-" + std::to_string(::getuid());
}

std::string RunLockPath(const std::string& dir) { return dir + kLockName; }

SingleInstance::SingleInstance(UniqueFd lock, UniqueFd listener, UniqueFd watch,
                               std::string socketPath)
    : lock_(std::move(lock)),
      listener_(std::move(listener)),
      watch_(std::move(watch)),
      socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    // Still holding the lock here, so the socket file removed is ours.
    ::unlink(socketPath_.c_str());
}

Expected<std::unique_ptr<SingleInstance>, LockFailure> SingleInstance::Acquire(
    const std::string& dir) {
    if (std::optional<LockFailure> problem = PrivateDirProblem(dir)) return std::move(*problem);
    const std::string lockPath = RunLockPath(dir);
    UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.Valid()) return SystemFailure("open", lockPath);
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        LockFailure failure = SystemFailure("flock", lockPath);
        if (failure.error == EWOULDBLOCK) failure.kind = LockFailure::kHeld;
        return failure;
    }

    // The lock decides ownership: a socket file left by a crashed run is replaced.
    const std::string socketPath = dir + kSocketName;
    const std::optional<sockaddr_un> address = LocalSocketAddress(socketPath);
    if (!address) {
        errno = ENAMETOOLONG;
        return SystemFailure("bind", socketPath);
    }
    ::unlink(socketPath.c_str());
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.Valid() ||
        ::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) !=
            0 ||
        ::listen(listener.Get(), 8) != 0)
        return SystemFailure("bind", socketPath);
    UniqueFd watch(::epoll_create1(EPOLL_CLOEXEC));
    if (!watch.Valid() || !WatchInput(watch.Get(), listener.Get()))
        return SystemFailure("epoll", socketPath);
    return std::unique_ptr<SingleInstance>(
        new SingleInstance(std::move(lock), std::move(listener), std::move(watch), socketPath));
}

void SingleInstance::AcceptWaiting() {
    for (std::size_t i = 0; i < kMaxPendingConnections; ++i) {
        UniqueFd connection(
            ::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!connection.Valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // EAGAIN: nothing more waiting
        }
        if (!PeerIsThisUser(connection.Get()) || !WatchInput(watch_.Get(), connection.Get()))
            continue;
        if (pending_.size() == kMaxPendingConnections) pending_.pop_front();
        pending_.push_back({std::move(connection), {}, Clock::now() + kRequestDeadline});
    }
}

// The request of a connection is one byte in 1..3, or kRequestText and its text, followed by
// the end of the stream. Closing a connection takes it out of the watch.
std::vector<SingleInstance::Request> SingleInstance::TakeWholeRequests() {
    std::vector<Request> whole;
    const Clock::time_point now = Clock::now();
    for (auto it = pending_.begin(); it != pending_.end();) {
        const std::optional<bool> ended = ReadAvailable(it->fd.Get(), it->bytes);
        if (ended && !*ended && now < it->deadline) {
            ++it;
            continue;
        }
        const std::string& bytes = it->bytes;
        const int code = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]);
        const bool valid = ended && *ended &&
                           (code == kRequestText ||
                            (bytes.size() == 1 && code >= kRequestShow && code <= kRequestExit));
        if (valid)
            whole.push_back({std::move(it->fd), code, code == kRequestText ? bytes.substr(1) : ""});
        it = pending_.erase(it);
    }
    return whole;
}

void SingleInstance::ServeRequests(
    const std::function<void(int code)>& handle,
    const std::function<std::string(const std::string&)>& answerText) {
    if (!listener_.Valid()) return;
    AcceptWaiting();
    for (Request& request : TakeWholeRequests()) {
        if (!listener_.Valid()) return;  // a handler began the end: the rest go unanswered
        if (request.code == kRequestText) {
            if (!answerText) continue;
            const std::string answer = answerText(request.text);
            // The answer may be longer than the socket holds: written with the sender timeout.
            ::fcntl(request.fd.Get(), F_SETFL, 0);
            SendAll(request.fd.Get(), answer);
            continue;
        }
        handle(request.code);
        const unsigned char answer = static_cast<unsigned char>(request.code);
        ::send(request.fd.Get(), &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

void SingleInstance::StopListening() {
    // Closing the socket resets the connections not yet accepted, and those accepted are
    // closed: their senders see no answer.
    pending_.clear();
    watch_.Reset();
    listener_.Reset();
    ::unlink(socketPath_.c_str());
}

Expected<void> SendRequest(const std::string& dir, int code, std::chrono::milliseconds answerBound,
                           UniqueFd* owner) {
    if (code < 0 || code > 255)
        return Error{EINVAL, "no request has the code " + std::to_string(code)};
    return SendUntilTaken(dir, answerBound, [&](Clock::time_point deadline) -> Expected<void> {
        Expected<UniqueFd> connection = SendMessage(dir, std::string(1, static_cast<char>(code)));
        if (!connection) return connection.error();
        if (owner != nullptr) *owner = OpenOwnerProcess(connection->Get());
        return ReadAnswer(connection->Get(), code, deadline);
    });
}

Expected<std::string> SendTextRequest(const std::string& dir, const std::string& query,
                                      std::chrono::milliseconds answerBound) {
    if (query.size() > kMaxRequestText) return Error{EMSGSIZE, "the query is too long"};
    const auto attempt = [&](Clock::time_point deadline) -> Expected<std::string> {
        Expected<UniqueFd> connection = SendMessage(dir, static_cast<char>(kRequestText) + query);
        if (!connection) return connection.error();
        return ReadAnswerText(connection->Get(), kMaxAnswerText, deadline);
    };
    return SendUntilTaken(dir, answerBound, attempt);
}

bool NoneListened(const Error& error) { return error.code == ENOENT || error.code == ECONNREFUSED; }

bool IsRunHeld(const std::string& dir) {
    UniqueFd lock(::open(RunLockPath(dir).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    // A shared lock conflicts only with the owner's exclusive one; it goes with the descriptor.
    return lock.Valid() && ::flock(lock.Get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

bool WaitUntilRunEnds(const std::string& dir, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (IsRunHeld(dir)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kLockPollInterval);
    }
    return true;
}

bool WaitUntilProcessEnds(const UniqueFd& process, std::chrono::milliseconds bound) {
    if (!process.Valid()) return true;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    pollfd ended{process.Get(), POLLIN, 0};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready = ::poll(&ended, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return true;  // cannot be watched: the run's end is all there is
    }
}

}  // namespace qx
