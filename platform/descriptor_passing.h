#pragma once
// One message with at most one descriptor over a Unix socket (SCM_RIGHTS), as the keying-port
// service hands a port's connection to a program and the program its devices to the guardian.
// Plain system calls and the caller's memory only: the guardian calls these in a forked copy
// of a process whose other threads may have held locks.
#include <sys/types.h>

#include <cstddef>

#include "platform/fd.h"

namespace qx {

// Sends size bytes of data and, when fd >= 0, a copy of fd. The bytes sent, or -1 with errno.
ssize_t SendWithDescriptor(int socket, const void* data, std::size_t size, int fd, int flags);
// Receives one message of at most size bytes; a descriptor it carried (close-on-exec) goes to
// received. The bytes received, or -1 with errno.
ssize_t ReceiveWithDescriptor(int socket, void* buffer, std::size_t size, UniqueFd& received);

}  // namespace qx
