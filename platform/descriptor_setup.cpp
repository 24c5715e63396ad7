#include "platform/descriptor_setup.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cstring>

namespace qx {

bool SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool WatchInput(int epollFd, int fd, epoll_data_t data) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data = data;
    return ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0;
}

bool WatchInput(int epollFd, int fd) {
    epoll_data_t data{};
    data.fd = fd;
    return WatchInput(epollFd, fd, data);
}

std::optional<sockaddr_un> LocalSocketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

}  // namespace qx
