// qx-cuse-helper: the only program that opens /dev/cuse. It makes the CUSE devices
// /dev/qx-COM<n> for local users who ask over its socket and hands each its connection.
//   qx-cuse-helper              socket-activated: the listening socket is descriptor 3
//   qx-cuse-helper <socket>     started by hand: listens on <socket> (made mode 0666)
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

namespace {

constexpr int kFirstActivatedFd = 3;

// The socket systemd passes (LISTEN_PID is us, LISTEN_FDS is 1), or -1.
int ActivatedSocket() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (!pid || !fds || std::atol(pid) != ::getpid() || std::atoi(fds) != 1) return -1;
    return kFirstActivatedFd;
}

int ListenOn(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "qx-cuse-helper: socket path too long: %s\n", path.c_str());
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ::unlink(path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0666) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        std::fprintf(stderr, "qx-cuse-helper: listening on %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [socket path]\n", argv[0]);
        return 2;
    }
    const int listener = argc == 2 ? ListenOn(argv[1]) : ActivatedSocket();
    if (listener < 0) {
        if (argc < 2)
            std::fprintf(
                stderr,
                "qx-cuse-helper: no socket: give a path or start it by socket activation\n");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    qx::Expected<qx::helper::ServiceLoop> loop = qx::helper::ServiceLoop::Make(
        listener, qx::helper::RealHelperSystem(), {}, [](const std::string& outcome) {
            std::printf("%s\n", outcome.c_str());
            std::fflush(stdout);
        });
    if (!loop) {
        std::fprintf(stderr, "qx-cuse-helper: %s\n", loop.error().message.c_str());
        return 1;
    }
    loop->Run();
}
