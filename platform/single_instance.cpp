#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
// the owner to echo the code once it has handled the request.
constexpr int kMaxConnectionsPerRead = 16;
constexpr timeval kOwnerReadTimeout{0, 100'000};
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

bool PeerIsThisUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof(peer);
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof(peer) &&
           peer.uid == ::getuid();
}

// The code of one connection: exactly one byte in 1..3 followed by the end of the stream.
std::optional<int> ReadOneRequest(int fd) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kOwnerReadTimeout, sizeof(kOwnerReadTimeout));
    unsigned char bytes[2];
    std::size_t received = 0;
    while (received < sizeof(bytes)) {
        const ssize_t n = ::recv(fd, bytes + received, sizeof(bytes) - received, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        received += static_cast<std::size_t>(n);
    }
    if (received != 1 || bytes[0] < kRequestShow || bytes[0] > kRequestExit) return std::nullopt;
    return bytes[0];
}

// Waits up to bound for the owner's echo of code.
bool ReadAnswer(int fd, int code, std::chrono::milliseconds bound) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(bound).count();
    const timeval timeout{static_cast<time_t>(micros / 1'000'000),
                          static_cast<suseconds_t>(micros % 1'000'000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    unsigned char answer = 0;
    ssize_t n = 0;
    do {
        n = ::recv(fd, &answer, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n == 1 && answer == code;
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

void SingleInstance::ServeRequests(const std::function<void(int code)>& handle) {
    for (int i = 0; i < kMaxConnectionsPerRead && listener_.Valid(); ++i) {
        UniqueFd connection(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.Valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;  // EAGAIN: nothing more waiting
        }
        if (!PeerIsThisUser(connection.Get())) continue;
        const std::optional<int> code = ReadOneRequest(connection.Get());
        if (!code) continue;
        handle(*code);
        const unsigned char answer = static_cast<unsigned char>(*code);
        ::send(connection.Get(), &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

void SingleInstance::StopListening() {
    // Closing the socket resets the connections not yet accepted; their senders see no answer.
    listener_.Reset();
    ::unlink(socketPath_.c_str());
}

bool SendRequest(const std::string& dir, int code, std::chrono::milliseconds answerBound) {
    if (code < 0 || code > 255) return false;
    const std::optional<sockaddr_un> address = SocketAddress(dir + kSocketName);
    if (!address) return false;
    UniqueFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection.Valid()) return false;
    ::setsockopt(connection.Get(), SOL_SOCKET, SO_SNDTIMEO, &kSenderTimeout,
                 sizeof(kSenderTimeout));
    if (::connect(connection.Get(), reinterpret_cast<const sockaddr*>(&*address),
                  sizeof(*address)) != 0)
        return false;
    if (!PeerIsThisUser(connection.Get())) return false;
    const unsigned char byte = static_cast<unsigned char>(code);
    if (::send(connection.Get(), &byte, 1, MSG_NOSIGNAL) != 1) return false;
    ::shutdown(connection.Get(), SHUT_WR);
    return ReadAnswer(connection.Get(), code, answerBound);
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

}  // namespace qx
