#pragma once
// What the program and its keying guardian share: the descriptors the guardian starts with, the
// messages the program sends it, and the line flags each device is known to hold.
#include <array>
#include <atomic>
#include <cstdint>
#include <limits>

namespace qx {

// The guardian's descriptors when it starts: the program's socket and the shared memory.
constexpr int kGuardianSocketFd = 3;
constexpr int kGuardianLinesFd = 4;

// Devices held at once; a device beyond them is not guarded.
constexpr int kGuardianSlots = 256;

// One message per packet; kHold carries the device's descriptor.
enum class GuardianOrder : uint8_t { kHold = 1, kRelease = 2 };
struct GuardianMessage {
    GuardianOrder order;
    uint8_t slot;
};
// Every slot a message can name exists, so the guardian need not check it.
static_assert(kGuardianSlots > std::numeric_limits<decltype(GuardianMessage::slot)>::max());

// Per slot, the line flags its device is known to hold. Written by the program's link worker,
// read by the guardian once the program has gone.
using GuardianLines = std::array<std::atomic<uint8_t>, kGuardianSlots>;
static_assert(std::atomic<uint8_t>::is_always_lock_free);

}  // namespace qx
