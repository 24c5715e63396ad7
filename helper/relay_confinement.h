#pragma once
// What the relay gives up before it reads a byte from the kernel or the program: every
// descriptor but its own, any view of the file system (chroot into an empty directory that no
// longer exists), root (to the relay user, no supplementary groups, so no capabilities), new
// privileges, being dumpable or traced, executable memory, and every system call beyond what
// its loop needs (others kill it).
#include <initializer_list>

#include "helper/relay.h"

namespace qx::helper {

// Moves the kept descriptors to 3, 4, ... in order (updating them) and closes every other one
// above standard error, then confines the process; the failed step and its errno otherwise.
Expected<void> ConfineRelay(const RelayIdentity& identity, std::initializer_list<int*> keep);

}  // namespace qx::helper
