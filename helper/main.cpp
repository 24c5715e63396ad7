// qx-cuse-helper: the only program that opens /dev/cuse. It makes the CUSE devices
// /dev/qx-COM<n> for local users who ask over its socket, and serves each through a relay
// confined to the relay user, whose socket it hands to the caller.
//   qx-cuse-helper [--relay-user <name|uid>]            socket-activated: descriptor 3 listens
//   qx-cuse-helper [--relay-user <name|uid>] <socket>   by hand: listens on <socket> (mode 0666)
// The relay user is qx-cuse-relay unless named.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "helper/service_loop.h"
#include "platform/descriptor_setup.h"
#include "platform/fd.h"

namespace {

constexpr int kFirstActivatedFd = 3;

// The socket systemd passes (LISTEN_PID is us, LISTEN_FDS is 1).
qx::Expected<qx::UniqueFd> ActivatedSocket() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (!pid || !fds || std::atol(pid) != ::getpid() || std::atoi(fds) != 1)
        return qx::Error{0, "no socket: give a path or start it by socket activation"};
    return qx::UniqueFd(kFirstActivatedFd);
}

// The socket bound to path (mode 0666), or why not; the service loop makes it listen.
qx::Expected<qx::UniqueFd> BindTo(const std::string& path) {
    const std::optional<sockaddr_un> address = qx::LocalSocketAddress(path);
    if (!address) return qx::Error{ENAMETOOLONG, "socket path empty or too long: " + path};
    qx::UniqueFd bound(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    ::unlink(path.c_str());
    if (!bound.Valid() ||
        ::bind(bound.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::chmod(path.c_str(), 0666) != 0)
        return qx::Error::FromErrno(errno, "binding " + path);
    return bound;
}

}  // namespace

int main(int argc, char** argv) {
    std::string relayUser = "qx-cuse-relay";
    if (argc >= 3 && std::strcmp(argv[1], "--relay-user") == 0) {
        relayUser = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [--relay-user <name|uid>] [socket path]\n", argv[0]);
        return 2;
    }
    const qx::Expected<qx::helper::RelayIdentity> relay =
        qx::helper::ResolveRelayIdentity(relayUser);
    if (!relay) {
        std::fprintf(stderr, "qx-cuse-helper: %s\n", relay.error().message.c_str());
        return 1;
    }
    const qx::Expected<qx::UniqueFd> listening = argc == 2 ? BindTo(argv[1]) : ActivatedSocket();
    if (!listening) {
        std::fprintf(stderr, "qx-cuse-helper: %s\n", listening.error().message.c_str());
        return 1;
    }
    const int listener = listening->Get();
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGCHLD, SIG_IGN);  // the relays' exits are reaped by the kernel
    qx::Expected<qx::helper::ServiceLoop> loop = qx::helper::ServiceLoop::Make(
        listener, qx::helper::RealHelperSystem(*relay), {}, [](const std::string& outcome) {
            std::printf("%s\n", outcome.c_str());
            std::fflush(stdout);
        });
    if (!loop) {
        std::fprintf(stderr, "qx-cuse-helper: %s\n", loop.error().message.c_str());
        return 1;
    }
    loop->Run();
}
