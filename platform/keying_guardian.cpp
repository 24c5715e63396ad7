#include "platform/keying_guardian.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "core/device_protocol.h"
#include "platform/descriptor_passing.h"

namespace qx {

namespace {

// Devices held at once; a device beyond them is not guarded.
constexpr int kSlots = 256;

// What the program tells the guardian over their socket, one message per packet.
enum class Order : uint8_t { kHold = 1, kRelease = 2 };
struct Message {
    Order order;
    uint8_t slot;
};
// Every slot a message can name exists, so the guardian need not check it.
static_assert(kSlots > std::numeric_limits<decltype(Message::slot)>::max());

// The line flags last written to each slot's device, in memory shared with the guardian.
using SharedLines = std::array<std::atomic<uint8_t>, kSlots>;
static_assert(std::atomic<uint8_t>::is_always_lock_free);

// The program's side, set once by StartKeyingGuardian before any other thread exists.
struct ProgramSide {
    int socket = -1;
    SharedLines* lines = nullptr;
    std::array<std::atomic<bool>, kSlots> used{};
};
ProgramSide g_program;

bool Send(Order order, int slot, int fd) {
    const Message message{order, static_cast<uint8_t>(slot)};
    ssize_t sent;
    do {
        sent = SendWithDescriptor(g_program.socket, &message, sizeof message, fd, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof message);
}

// A child made by fork (without exec) forgets the guardian: it must neither keep it waiting for
// an end-of-file nor hand it devices. Its own StartKeyingGuardian forks one of its own.
void ForgetInChild() {
    if (g_program.socket >= 0) ::close(g_program.socket);
    g_program.socket = -1;
    g_program.lines = nullptr;
}

int ClaimSlot() {
    for (int slot = 0; slot < kSlots; ++slot) {
        bool expected = false;
        if (g_program.used[slot].compare_exchange_strong(expected, true)) return slot;
    }
    return -1;
}

// --- The guardian process ---

void WriteReport(int fd, uint8_t flags) {
    uint8_t report[kReportSize] = {kLineReportId, flags};
    while (::write(fd, report, sizeof report) < 0 && errno == EINTR) {}
}

// CW first, then PTT, as the program's own close path drops them.
void Unkey(int fd, uint8_t flags) {
    WriteReport(fd, flags & ~kCwBit);
    WriteReport(fd, 0);
}

// Its only descriptors: 0-2 on /dev/null and the socket as 3.
void KeepOnlySocket(int socket) {
    const int moved = ::fcntl(socket, F_DUPFD, 3);
    const int null = ::open("/dev/null", O_RDWR);
    for (int standard = 0; standard < 3 && null >= 0; ++standard) ::dup2(null, standard);
    ::dup2(moved, 3);
    ::close_range(4, ~0U, 0);
}

// Follows the program's hand-overs until its end, then unkeys what it holds. Only system calls
// and memory of its own: it may run in a copy of a process whose other threads held locks.
[[noreturn]] void RunGuardian(int socket, const SharedLines& lines) {
    ::prctl(PR_SET_NAME, "qx-guardian");
    ::setsid();
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
        ::signal(number, SIG_IGN);
    KeepOnlySocket(socket);
    std::array<UniqueFd, kSlots> held;
    for (;;) {
        Message message{};
        UniqueFd received;
        const ssize_t got = ReceiveWithDescriptor(3, &message, sizeof message, received);
        if (got == 0) break;  // the program has gone
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != ENOMEM && errno != ENOBUFS) break;
            const timespec pause{0, 10000000};
            ::nanosleep(&pause, nullptr);  // short of memory: wait for it, never give up early
            continue;
        }
        if (got != sizeof message) continue;
        held[message.slot].Reset();
        if (message.order == Order::kHold) held[message.slot] = std::move(received);
    }
    for (int slot = 0; slot < kSlots; ++slot)
        if (held[slot].Valid()) Unkey(held[slot].Get(), lines[slot].load());
    ::_exit(0);
}

}  // namespace

Expected<void> StartKeyingGuardian() {
    if (g_program.socket >= 0) return {};
    void* shared = ::mmap(nullptr, sizeof(SharedLines), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        return Error::FromErrno(errno, "sharing memory with the keying guardian");
    auto* lines = new (shared) SharedLines{};
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        const int error = errno;
        ::munmap(shared, sizeof(SharedLines));
        return Error::FromErrno(error, "making the keying guardian's socket");
    }
    UniqueFd ours(ends[0]), theirs(ends[1]);
    const pid_t child = ::fork();
    if (child == 0) RunGuardian(theirs.Get(), *lines);
    if (child < 0) {
        const int error = errno;
        ::munmap(shared, sizeof(SharedLines));
        return Error::FromErrno(error, "starting the keying guardian");
    }
    g_program.socket = ours.Release();
    g_program.lines = lines;
    // A child that starts a guardian of its own registers it once more: forgetting is idempotent.
    ::pthread_atfork(nullptr, nullptr, ForgetInChild);
    return {};
}

GuardedDevice& GuardedDevice::operator=(GuardedDevice&& other) noexcept {
    if (this != &other) {
        Release();
        slot_ = other.slot_;
        other.slot_ = -1;
    }
    return *this;
}

GuardedDevice GuardedDevice::Hand(UniqueFd deviceFd) {
    if (!deviceFd.Valid() || g_program.socket < 0) return {};
    const int slot = ClaimSlot();
    if (slot < 0) return {};
    (*g_program.lines)[slot].store(0);
    if (!Send(Order::kHold, slot, deviceFd.Get())) {
        g_program.used[slot].store(false);
        return {};
    }
    return GuardedDevice(slot);
}

void GuardedDevice::NoteLines(uint8_t flags) const {
    if (slot_ >= 0 && g_program.lines)
        (*g_program.lines)[slot_].store(flags, std::memory_order_relaxed);
}

// A release that cannot be sent finds the guardian gone: it holds nothing then.
void GuardedDevice::Release() {
    if (slot_ < 0) return;
    Send(Order::kRelease, slot_, -1);
    g_program.used[slot_].store(false);
    slot_ = -1;
}

}  // namespace qx
