#include "platform/cuse_helper_client.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/descriptor_passing.h"
#include "platform/descriptor_setup.h"

namespace qx {
namespace {

// A listening helper accepts at once; a full backlog means it is stalled.
constexpr timeval kConnectTimeout{0, 500'000};
// The helper initialises a device per request; the kernel and udev may take a while.
constexpr timeval kReplyTimeout{3, 0};
constexpr size_t kMaxReply = 256;

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

Expected<UniqueFd, HelperFailure> Connect(const std::string& socketPath) {
    const std::optional<sockaddr_un> address = LocalSocketAddress(socketPath);
    if (!address) return HelperFailure{{0, "no usable helper socket path \"" + socketPath + "\""}};
    UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    // The send timeout bounds a connect that waits for room in the helper's backlog.
    if (!socket.Valid() ||
        ::setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &kConnectTimeout,
                     sizeof kConnectTimeout) != 0 ||
        ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) !=
            0) {
        const int failure = errno;
        return HelperFailure{{failure, ConnectFailure(socketPath, failure)}, failure == EAGAIN};
    }
    return socket;
}

}  // namespace

std::string CuseHelperSocketPath() {
    const char* path = std::getenv("QXM_CUSE_HELPER_SOCKET");
    return path && *path ? path : kDefaultCuseHelperSocket;
}

Expected<void, HelperFailure> CuseHelperAnswers(const std::string& socketPath) {
    if (auto socket = Connect(socketPath); !socket) return socket.error();
    return {};
}

HelperReply RequestCuseConnection(const std::string& socketPath, const std::string& deviceName) {
    // Any failure to reach the helper or to hear from it is worth asking again; a refusal not.
    auto late = [](Error why) { return HelperFailure{std::move(why), true}; };
    Expected<UniqueFd, HelperFailure> connected = Connect(socketPath);
    if (!connected) return late(connected.error());
    const UniqueFd socket = std::move(*connected);
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &kReplyTimeout, sizeof kReplyTimeout);
    if (::send(socket.Get(), deviceName.data(), deviceName.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(deviceName.size()))
        return late(Error::FromErrno(errno, "sending to the CUSE helper"));
    char text[kMaxReply] = {};
    UniqueFd connection;
    const ssize_t n = ReceiveWithDescriptor(socket.Get(), text, sizeof text - 1, connection);
    const std::string reply(text, n > 0 ? static_cast<size_t>(n) : 0);
    if (reply == kCuseHelperGranted && connection.Valid()) return connection;
    if (n < 0) return late(Error::FromErrno(errno, "no answer from the CUSE helper"));
    int code = 0;
    if (reply == "ERR " + deviceName + kCuseHelperInUse) code = EBUSY;
    if (reply == "ERR " + deviceName + kCuseHelperHeldByAnotherUser)
        code = kCuseHeldByAnotherUserCode;
    return HelperFailure{{code, "the CUSE helper refused " + deviceName + ": " +
                                    (reply.empty() ? "no reason" : reply)},
                         n == 0};
}

}  // namespace qx
