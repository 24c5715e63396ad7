#include "helper/serve_request.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/cuse_connection.h"
#include "platform/cuse_helper_client.h"

namespace qx::helper {
namespace {

// A client that connects and says nothing must not hold up the others.
constexpr timeval kRequestTimeout{2, 0};

void Answer(int client, const std::string& text, int connection = -1) {
    iovec data{const_cast<char*>(text.data()), text.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (connection >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &connection, sizeof connection);
    }
    ::sendmsg(client, &message, MSG_NOSIGNAL);
}

std::string Refuse(int client, const std::string& who, const std::string& reason) {
    Answer(client, "ERR " + reason);
    return who + " refused: " + reason;
}

bool GiveNode(const std::string& name, uid_t owner, std::string* error) {
    const std::string path = CuseNodePath(name);
    struct stat st {};
    // Mode first: once the user owns the node, root keeps it 0600 all the same.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) ||
        ::chmod(path.c_str(), 0600) != 0 || ::lchown(path.c_str(), owner, 0) != 0) {
        *error =
            "giving " + path + " to uid " + std::to_string(owner) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

HelperSystem RealHelperSystem(const RelayIdentity& relay) {
    return {[] { return ScanHeldPorts(); }, OpenCuseConnection, GiveNode,
            [relay](UniqueFd connection, const std::string& name, std::string* error) {
                return StartRelay(std::move(connection), name, relay, error);
            }};
}

std::string ServeClient(int client, const HelperSystem& system) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return "no peer credentials";
    const std::string who =
        "uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) + ")";
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &kRequestTimeout, sizeof kRequestTimeout);
    uint8_t request[kMaxRequestBytes + 1];
    const ssize_t n = ::recv(client, request, sizeof request, 0);
    if (n <= 0) return who + ": no request";

    std::string why;
    const int number =
        DecidePortRequest({request, static_cast<size_t>(n)}, peer.uid, system.heldPorts(), &why);
    if (number == 0) return Refuse(client, who, why);
    const std::string name = PortDeviceName(number);
    UniqueFd connection = system.openConnection(name, &why);
    if (!connection.Valid()) return Refuse(client, who, why);
    if (!system.giveNode(name, peer.uid, &why))
        return Refuse(client, who, why);  // closing ends the device
    const UniqueFd relay = system.startRelay(std::move(connection), name, &why);
    if (!relay.Valid()) return Refuse(client, who, why);
    Answer(client, kCuseHelperGranted, relay.Get());
    return who + " granted " + name;
}

}  // namespace qx::helper
