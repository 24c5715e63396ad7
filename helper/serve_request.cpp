#include "helper/serve_request.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "platform/cuse_connection.h"
#include "platform/cuse_helper_client.h"
#include "platform/descriptor_passing.h"

namespace qx::helper {
namespace {

// Whether the whole answer was delivered: the client may have left meanwhile.
bool Answer(int client, const std::string& text, int connection = -1) {
    return SendWithDescriptor(client, text.data(), text.size(), connection,
                              MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(text.size());
}

// Through a descriptor of the node itself (O_PATH opens a device without calling its driver,
// whose server is not running yet), so that what is checked is what is changed.
Expected<void> GiveNode(const std::string& name, uid_t owner) {
    const std::string path = CuseNodePath(name);
    const auto failed = [&] {
        return Error::FromErrno(errno, "giving " + path + " to uid " + std::to_string(owner));
    };
    const UniqueFd node(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!node.Valid() || ::fstat(node.Get(), &st) != 0) return failed();
    if (!S_ISCHR(st.st_mode)) {
        errno = ENODEV;
        return failed();
    }
    // Mode first: once the user owns the node, root keeps it 0600 all the same. An O_PATH
    // descriptor takes no fchmod; its /proc/self/fd link leads to the same inode.
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(node.Get());
    if (::chmod(byDescriptor.c_str(), 0600) != 0 ||
        ::fchownat(node.Get(), "", owner, 0, AT_EMPTY_PATH) != 0)
        return failed();
    return {};
}

// Tells the client why, keeping the cause's errno.
Error Refuse(int client, const Error& why) {
    if (!Answer(client, "ERR " + why.message))
        return Error::FromErrno(errno, "refused (" + why.message + "), but had left");
    return {why.code, "refused: " + why.message};
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

Expected<Grant> ServeRequest(int client, const ucred& peer, std::span<const uint8_t> request,
                             const HelperSystem& system,
                             const std::function<Expected<void>()>& mayMake) {
    const std::vector<HeldPort> held = system.heldPorts();
    const Expected<int> number = DecidePortRequest(request, peer.uid, held);
    if (!number) {
        Error refused = Refuse(client, number.error());
        if (const std::optional<uid_t> holder = OtherHolder(request, peer.uid, held))
            refused.message += " (uid " + std::to_string(*holder) + ")";
        return refused;
    }
    if (mayMake)
        if (const Expected<void> allowed = mayMake(); !allowed)
            return Refuse(client, allowed.error());
    const std::string name = PortDeviceName(*number);
    Expected<UniqueFd> connection = system.openConnection(name);
    if (!connection) return Refuse(client, connection.error());
    if (const Expected<void> given = system.giveNode(name, peer.uid); !given)
        return Refuse(client, given.error());  // closing ends the device
    Expected<StartedRelay> relay = system.startRelay(std::move(*connection), name);
    if (!relay) return Refuse(client, relay.error());
    // Had the client left, closing our end of the relay's socket ends the relay and the device.
    if (!Answer(client, kCuseHelperGranted, relay->program.Get()))
        return Error::FromErrno(errno, "left before " + name + " was handed over");
    return Grant{name, std::move(relay->report)};
}

}  // namespace qx::helper
