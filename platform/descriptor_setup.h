#pragma once
// Small set-up steps that several descriptors share: non-blocking mode, a watch for input in
// an epoll set, the address of a local socket. Any thread; each touches only what it is given.
#include <sys/epoll.h>
#include <sys/un.h>

#include <optional>
#include <string>

namespace qx {

// Adds O_NONBLOCK to fd's status flags; false with errno set.
bool SetNonBlocking(int fd);

// Adds fd to the epoll set to be woken when it is readable, reported with data; false with
// errno set.
bool WatchInput(int epollFd, int fd, epoll_data_t data);
// The same, reported with data.fd = fd.
bool WatchInput(int epollFd, int fd);

// The address of the local socket at path; nullopt when path is empty or does not fit.
std::optional<sockaddr_un> LocalSocketAddress(const std::string& path);

}  // namespace qx
