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

namespace qx {
namespace {

constexpr const char* kLockName = "/qx-manager.lock";
constexpr const char* kSocketName = "/qx-manager.sock";
// A request is one byte, the code, after which the sender closes.
constexpr int kMaxConnectionsPerRead = 16;
constexpr timeval kOwnerReadTimeout{0, 100'000};
constexpr timeval kSenderTimeout{1, 0};

// The directory exists (made 0700 when missing), is a real directory, belongs to this user and
// is not writable by others, so nobody else can plant the lock or the socket.
bool EnsurePrivateDir(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0) return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 022) == 0;
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

}  // namespace

std::string DefaultRuntimeDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') return runtime;
    return "/tmp/qx-manager-" + std::to_string(::getuid());
}

SingleInstance::SingleInstance(UniqueFd lock, UniqueFd listener, std::string socketPath)
    : lock_(std::move(lock)), listener_(std::move(listener)), socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    // Still holding the lock here, so the socket file removed is ours.
    ::unlink(socketPath_.c_str());
}

std::unique_ptr<SingleInstance> SingleInstance::Acquire(const std::string& dir) {
    if (!EnsurePrivateDir(dir)) return nullptr;
    const std::string lockPath = dir + kLockName;
    UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.Valid() || ::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) return nullptr;

    // The lock decides ownership: a socket file left by a crashed run is replaced.
    const std::string socketPath = dir + kSocketName;
    const std::optional<sockaddr_un> address = SocketAddress(socketPath);
    if (!address) return nullptr;
    ::unlink(socketPath.c_str());
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.Valid() ||
        ::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) !=
            0 ||
        ::listen(listener.Get(), 8) != 0)
        return nullptr;
    return std::unique_ptr<SingleInstance>(
        new SingleInstance(std::move(lock), std::move(listener), socketPath));
}

std::vector<int> SingleInstance::ReadRequests() {
    std::vector<int> codes;
    for (int i = 0; i < kMaxConnectionsPerRead; ++i) {
        UniqueFd connection(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.Valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;  // EAGAIN: nothing more waiting
        }
        if (!PeerIsThisUser(connection.Get())) continue;
        if (const std::optional<int> code = ReadOneRequest(connection.Get()))
            codes.push_back(*code);
    }
    return codes;
}

bool SendRequest(const std::string& dir, int code) {
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
    return ::send(connection.Get(), &byte, 1, MSG_NOSIGNAL) == 1;
}

}  // namespace qx
