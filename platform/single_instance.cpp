#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
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

namespace qx {
namespace {

constexpr const char* kLockName = "/qx-manager.lock";
constexpr const char* kSocketName = "/qx-manager.sock";
// A request is one byte, the code, after which the sender shuts its side down and waits for
// the owner to echo the code once it has handled the request. A text query is the code
// kRequestText followed by its text; the owner answers with text and closes.
constexpr int kMaxConnectionsPerRead = 16;
constexpr auto kOwnerReadBound = std::chrono::milliseconds(100);
constexpr timeval kSenderTimeout{1, 0};
constexpr auto kLockPollInterval = std::chrono::milliseconds(10);

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

std::optional<sockaddr_un> SocketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
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

struct Request {
    int code = 0;
    std::string text;  // kRequestText only
};

void SetReceiveTimeout(int fd, std::chrono::milliseconds bound) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(bound).count();
    const timeval timeout{static_cast<time_t>(micros / 1'000'000),
                          static_cast<suseconds_t>(micros % 1'000'000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

// Reads until the end of the stream, a failure, more than limit bytes or the end of bound (a
// peer that trickles bytes cannot hold the reader longer); nullopt unless the stream ended.
std::optional<std::string> ReadToEnd(int fd, std::size_t limit, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::string data;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        SetReceiveTimeout(fd, left);
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return data;
        data.append(buffer, static_cast<std::size_t>(n));
        if (data.size() > limit) return std::nullopt;
    }
}

// The request of one connection: one byte in 1..3, or kRequestText and its text, followed by
// the end of the stream.
std::optional<Request> ReadOneRequest(int fd) {
    const std::optional<std::string> data = ReadToEnd(fd, 1 + kMaxRequestText, kOwnerReadBound);
    if (!data || data->empty()) return std::nullopt;
    const int code = static_cast<unsigned char>((*data)[0]);
    if (code == kRequestText) return Request{code, data->substr(1)};
    if (data->size() != 1 || code < kRequestShow || code > kRequestExit) return std::nullopt;
    return Request{code, {}};
}

// Waits up to bound for the owner's echo of code.
bool ReadAnswer(int fd, int code, std::chrono::milliseconds bound) {
    SetReceiveTimeout(fd, bound);
    unsigned char answer = 0;
    ssize_t n = 0;
    do {
        n = ::recv(fd, &answer, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n == 1 && answer == code;
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
UniqueFd SendMessage(const std::string& dir, const std::string& message) {
    const std::optional<sockaddr_un> address = SocketAddress(dir + kSocketName);
    if (!address) return {};
    UniqueFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection.Valid()) return {};
    ::setsockopt(connection.Get(), SOL_SOCKET, SO_SNDTIMEO, &kSenderTimeout,
                 sizeof(kSenderTimeout));
    if (::connect(connection.Get(), reinterpret_cast<const sockaddr*>(&*address),
                  sizeof(*address)) != 0 ||
        !PeerIsThisUser(connection.Get()) ||
        ::send(connection.Get(), message.data(), message.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(message.size()))
        return {};
    ::shutdown(connection.Get(), SHUT_WR);
    return connection;
}

}  // namespace

std::string DefaultRuntimeDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') return runtime;
    return "/tmp/qx-manager-" + std::to_string(::getuid());
}

std::string RunLockPath(const std::string& dir) { return dir + kLockName; }

SingleInstance::SingleInstance(UniqueFd lock, UniqueFd listener, std::string socketPath)
    : lock_(std::move(lock)), listener_(std::move(listener)), socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    // Still holding the lock here, so the socket file removed is ours.
    ::unlink(socketPath_.c_str());
}

std::unique_ptr<SingleInstance> SingleInstance::Acquire(const std::string& dir,
                                                        LockFailure* failure) {
    LockFailure ignored;
    LockFailure& why = failure != nullptr ? *failure : ignored;
    why = LockFailure{};
    if (std::optional<LockFailure> problem = PrivateDirProblem(dir)) {
        why = std::move(*problem);
        return nullptr;
    }
    const std::string lockPath = RunLockPath(dir);
    UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.Valid()) {
        why = SystemFailure("open", lockPath);
        return nullptr;
    }
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        why = SystemFailure("flock", lockPath);
        if (why.error == EWOULDBLOCK) why.kind = LockFailure::kHeld;
        return nullptr;
    }

    // The lock decides ownership: a socket file left by a crashed run is replaced.
    const std::string socketPath = dir + kSocketName;
    const std::optional<sockaddr_un> address = SocketAddress(socketPath);
    if (!address) {
        errno = ENAMETOOLONG;
        why = SystemFailure("bind", socketPath);
        return nullptr;
    }
    ::unlink(socketPath.c_str());
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.Valid() ||
        ::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) !=
            0 ||
        ::listen(listener.Get(), 8) != 0) {
        why = SystemFailure("bind", socketPath);
        return nullptr;
    }
    return std::unique_ptr<SingleInstance>(
        new SingleInstance(std::move(lock), std::move(listener), socketPath));
}

void SingleInstance::ServeRequests(
    const std::function<void(int code)>& handle,
    const std::function<std::string(const std::string&)>& answerText) {
    for (int i = 0; i < kMaxConnectionsPerRead && listener_.Valid(); ++i) {
        UniqueFd connection(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.Valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;  // EAGAIN: nothing more waiting
        }
        if (!PeerIsThisUser(connection.Get())) continue;
        const std::optional<Request> request = ReadOneRequest(connection.Get());
        if (!request) continue;
        if (request->code == kRequestText) {
            if (answerText) SendAll(connection.Get(), answerText(request->text));
            continue;
        }
        handle(request->code);
        const unsigned char answer = static_cast<unsigned char>(request->code);
        ::send(connection.Get(), &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

void SingleInstance::StopListening() {
    // Closing the socket resets the connections not yet accepted; their senders see no answer.
    listener_.Reset();
    ::unlink(socketPath_.c_str());
}

bool SendRequest(const std::string& dir, int code, std::chrono::milliseconds answerBound,
                 UniqueFd* owner) {
    if (code < 0 || code > 255) return false;
    const UniqueFd connection = SendMessage(dir, std::string(1, static_cast<char>(code)));
    if (!connection.Valid()) return false;
    if (owner != nullptr) *owner = OpenOwnerProcess(connection.Get());
    return ReadAnswer(connection.Get(), code, answerBound);
}

std::optional<std::string> SendTextRequest(const std::string& dir, const std::string& query,
                                           std::chrono::milliseconds answerBound) {
    if (query.size() > kMaxRequestText) return std::nullopt;
    const UniqueFd connection = SendMessage(dir, static_cast<char>(kRequestText) + query);
    if (!connection.Valid()) return std::nullopt;
    std::optional<std::string> answer = ReadToEnd(connection.Get(), kMaxAnswerText, answerBound);
    // An owner that is ending closes without a word: no answer.
    if (answer && answer->empty()) return std::nullopt;
    return answer;
}

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
