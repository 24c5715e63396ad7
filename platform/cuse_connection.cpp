#include "platform/cuse_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/cuse_protocol.h"

namespace qx {
namespace {

constexpr int kInitTimeoutMs = 5000;
constexpr auto kNodeTimeout = std::chrono::seconds(5);

// "<what>: <strerror(number)>", or what alone when no system call failed.
Error Fail(const std::string& what, int number = errno) {
    return number ? Error::FromErrno(number, what) : Error{0, what};
}

bool IsCharDevice(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// devtmpfs makes the node as the kernel registers the device, normally before the init reply's
// write returns; a refused name ends the connection instead.
Expected<void> WaitForNode(int connection, const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + kNodeTimeout;
    while (!IsCharDevice(path)) {
        pollfd p{connection, 0, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return Fail("the kernel refused the device " + path, 0);
        if (std::chrono::steady_clock::now() > deadline)
            return Fail("no device node " + path, ETIMEDOUT);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return {};
}

}  // namespace

std::string CuseNodePath(const std::string& name) { return "/dev/" + name; }

Expected<void> InitialiseCuse(int connection, const std::string& name) {
    if (::access(CuseNodePath(name).c_str(), F_OK) == 0)
        return Fail(CuseNodePath(name) + " exists", EEXIST);
    pollfd p{connection, POLLIN, 0};
    const int ready = ::poll(&p, 1, kInitTimeoutMs);
    if (ready <= 0) return Fail("waiting for CUSE_INIT", ready == 0 ? ETIMEDOUT : errno);
    std::vector<uint8_t> buffer(kCuseReadBuffer);
    const ssize_t n = ::read(connection, buffer.data(), buffer.size());
    if (n < 0) return Fail("reading CUSE_INIT");
    const CuseDecoded decoded = DecodeCuseRequest({buffer.data(), static_cast<size_t>(n)});
    if (!decoded.request || decoded.request->kind != CuseRequest::Kind::kInit)
        return Fail("the first message was not CUSE_INIT", EPROTO);
    const auto reply = CuseInitReply(*decoded.request, name);
    if (!reply)
        return Fail("cannot answer CUSE_INIT of protocol " +
                        std::to_string(decoded.request->major) + "." +
                        std::to_string(decoded.request->minor) + " for " + name,
                    EPROTO);
    if (::write(connection, reply->data(), reply->size()) != static_cast<ssize_t>(reply->size()))
        return Fail("answering CUSE_INIT for " + name);
    return WaitForNode(connection, CuseNodePath(name));
}

Expected<UniqueFd> OpenCuseConnection(const std::string& name) {
    UniqueFd connection(::open("/dev/cuse", O_RDWR | O_CLOEXEC));
    if (!connection.Valid()) return Fail("opening /dev/cuse");
    if (Expected<void> initialised = InitialiseCuse(connection.Get(), name); !initialised)
        return initialised.error();
    return connection;
}

}  // namespace qx
