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

// Whether the whole answer was delivered: the client may have left meanwhile.
bool Answer(int client, const std::string& text, int connection = -1) {
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
    return ::sendmsg(client, &message, MSG_NOSIGNAL | MSG_DONTWAIT) ==
           static_cast<ssize_t>(text.size());
}

std::string Refuse(int client, const std::string& who, const std::string& reason) {
    if (!Answer(client, "ERR " + reason))
        return who + " refused (" + reason + "), but had left: " + std::strerror(errno);
    return who + " refused: " + reason;
}

Expected<void> GiveNode(const std::string& name, uid_t owner) {
    const std::string path = CuseNodePath(name);
    struct stat st {};
    // Mode first: once the user owns the node, root keeps it 0600 all the same.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) ||
        ::chmod(path.c_str(), 0600) != 0 || ::lchown(path.c_str(), owner, 0) != 0)
        return Error::FromErrno(errno, "giving " + path + " to uid " + std::to_string(owner));
    return {};
}

}  // namespace

std::string ClientName(const ucred& peer) {
    return "uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) + ")";
}

HelperSystem RealHelperSystem(const RelayIdentity& relay) {
    return {[] { return ScanHeldPorts(); }, OpenCuseConnection, GiveNode,
            [relay](UniqueFd connection, const std::string& name) {
                return StartRelay(std::move(connection), name, relay);
            }};
}

std::string ServeRequest(int client, const ucred& peer, std::span<const uint8_t> request,
                         const HelperSystem& system) {
    const std::string who = ClientName(peer);
    const Expected<int> number = DecidePortRequest(request, peer.uid, system.heldPorts());
    if (!number) return Refuse(client, who, number.error().message);
    const std::string name = PortDeviceName(*number);
    Expected<UniqueFd> connection = system.openConnection(name);
    if (!connection) return Refuse(client, who, connection.error().message);
    if (const Expected<void> given = system.giveNode(name, peer.uid); !given)
        return Refuse(client, who, given.error().message);  // closing ends the device
    const Expected<UniqueFd> relay = system.startRelay(std::move(*connection), name);
    if (!relay) return Refuse(client, who, relay.error().message);
    // Had the client left, closing our end of the relay's socket ends the relay and the device.
    if (!Answer(client, kCuseHelperGranted, relay->Get()))
        return who + " left before " + name + " was handed over: " + std::strerror(errno);
    return who + " granted " + name;
}

}  // namespace qx::helper
