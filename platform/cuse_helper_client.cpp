#include "platform/cuse_helper_client.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qx {
namespace {

// A listening helper accepts at once; a full backlog means it is stalled.
constexpr timeval kConnectTimeout{0, 500'000};
// The helper initialises a device per request; the kernel and udev may take a while.
constexpr timeval kReplyTimeout{3, 0};
constexpr size_t kMaxReply = 256;

void Set(std::string* out, const std::string& text) {
    if (out != nullptr) *out = text;
}

// Why connecting failed, in the user's terms, with the fix where there is one.
std::string ConnectFailure(const std::string& socketPath, int error) {
    const std::string fix = std::string(" (to start it: ") + kCuseHelperFix + ")";
    switch (error) {
    case ENOENT:
        return "the keying-port service is not installed or its socket is off: " + socketPath +
               " does not exist" + fix;
    case ECONNREFUSED: return "the keying-port service does not listen on " + socketPath + fix;
    case EAGAIN: return "the keying-port service at " + socketPath + " is busy and did not answer";
    default:
        return "connecting to the keying-port service at " + socketPath + ": " +
               std::strerror(error);
    }
}

UniqueFd Connect(const std::string& socketPath, std::string* error, bool* late) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path)) {
        Set(error, "no usable helper socket path \"" + socketPath + "\"");
        return {};
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    // The send timeout bounds a connect that waits for room in the helper's backlog.
    if (!socket.Valid() ||
        ::setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &kConnectTimeout,
                     sizeof kConnectTimeout) != 0 ||
        ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int failure = errno;
        Set(error, ConnectFailure(socketPath, failure));
        if (late != nullptr) *late = failure == EAGAIN;
        return {};
    }
    return socket;
}

}  // namespace

std::string CuseHelperSocketPath() {
    const char* path = std::getenv("QXM_CUSE_HELPER_SOCKET");
    return path && *path ? path : kDefaultCuseHelperSocket;
}

bool CuseHelperAnswers(const std::string& socketPath, std::string* error, bool* late) {
    return Connect(socketPath, error, late).Valid();
}

UniqueFd RequestCuseConnection(const std::string& socketPath, const std::string& deviceName,
                               std::string* error, bool* late) {
    // Any failure to reach the helper or to hear from it is worth asking again; a refusal not.
    bool unused = false;
    if (late == nullptr) late = &unused;
    *late = true;
    UniqueFd socket = Connect(socketPath, error, nullptr);
    if (!socket.Valid()) return {};
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &kReplyTimeout, sizeof kReplyTimeout);
    if (::send(socket.Get(), deviceName.data(), deviceName.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(deviceName.size())) {
        Set(error, std::string("sending to the CUSE helper: ") + std::strerror(errno));
        return {};
    }
    char text[kMaxReply] = {};
    iovec data{text, sizeof text - 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(socket.Get(), &message, MSG_CMSG_CLOEXEC);
    UniqueFd connection;
    if (n > 0)
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
                c->cmsg_len == CMSG_LEN(sizeof(int))) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
                connection.Reset(fd);
            }
    const std::string reply(text, n > 0 ? static_cast<size_t>(n) : 0);
    if (reply == kCuseHelperGranted && connection.Valid()) return connection;
    *late = n <= 0;
    Set(error, n < 0 ? std::string("no answer from the CUSE helper: ") + std::strerror(errno)
                     : "the CUSE helper refused " + deviceName + ": " +
                           (reply.empty() ? "no reason" : reply));
    return {};
}

}  // namespace qx
