#include "platform/keying_guardian.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <new>
#include <system_error>

#include "platform/descriptor_passing.h"
#include "platform/guardian_protocol.h"

extern char** environ;

namespace qx {

namespace {

// Where the child keeps the pipe that reports a failed exec.
constexpr int kExecReportFd = kGuardianLinesFd + 1;

struct Slot {
    bool used = false;
    bool handed = false;  // the running guardian holds it
    UniqueFd device;      // this process's own duplicate, for a guardian started later
};

// The program's side: the user interface thread's, but for the lines (the link workers note in
// them).
struct ProgramSide {
    std::string executable;
    pid_t pid = -1;
    UniqueFd socket;       // to the running guardian; invalid when none runs
    UniqueFd linesMemory;  // kept for the guardians started later
    GuardianLines* lines = nullptr;
    std::array<Slot, kGuardianSlots> slots;
};
ProgramSide g_program;

// Never waits for the guardian: a message it cannot take now finds the device unguarded.
bool Send(GuardianOrder order, int slot, int fd) {
    if (!g_program.socket.Valid()) return false;
    const GuardianMessage message{order, static_cast<uint8_t>(slot)};
    ssize_t sent;
    do {
        sent = SendWithDescriptor(g_program.socket.Get(), &message, sizeof message, fd,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof message);
}

// A child made by fork (without exec) forgets the guardian and the devices in its care: it must
// neither keep the guardian waiting for an end-of-file nor hold a device open.
void ForgetInChild() {
    if (g_program.socket.Valid()) ::close(g_program.socket.Release());
    for (Slot& slot : g_program.slots)
        if (slot.device.Valid()) ::close(slot.device.Release());
}

// In the child between fork and exec: async-signal-safe calls only. The guardian gets /dev/null
// for input and output, this process's standard error, and its socket and the shared lines as
// descriptors 3 and 4; the report pipe (close-on-exec, so an exec that works closes it) carries
// the errno of one that did not.
[[noreturn]] void ExecGuardian(const char* executable, int socket, int lines, int null,
                               int report) {
    // Out of the way of the numbers they go to first: dup2 onto itself keeps close-on-exec.
    socket = ::fcntl(socket, F_DUPFD, 10);
    lines = ::fcntl(lines, F_DUPFD, 10);
    report = ::fcntl(report, F_DUPFD_CLOEXEC, 10);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(socket, kGuardianSocketFd);
    ::dup2(lines, kGuardianLinesFd);
    ::dup2(report, kExecReportFd);
    ::fcntl(kExecReportFd, F_SETFD, FD_CLOEXEC);
    ::close_range(kExecReportFd + 1, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    char name[] = "qx-guardian";
    char* const argv[] = {name, nullptr};
    ::execve(executable, argv, environ);
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(kExecReportFd, &error, sizeof error);
    ::_exit(127);
}

Expected<void> HandSlot(int slot) {
    Slot& held = g_program.slots[slot];
    held.handed = Send(GuardianOrder::kHold, slot, held.device.Get());
    if (held.handed) return {};
    if (!g_program.socket.Valid()) return Error{0, "no transmitter guard runs"};
    return Error::FromErrno(errno, "handing the device to the transmitter guard");
}

// Starts a guardian with the shared lines and hands it every device in its care.
Expected<void> Launch() {
    int ends[2], report[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return Error::FromErrno(errno, "making the keying guardian's socket");
    UniqueFd ours(ends[0]), theirs(ends[1]);
    if (::pipe2(report, O_CLOEXEC) != 0)
        return Error::FromErrno(errno, "starting the keying guardian");
    UniqueFd reportRead(report[0]), reportWrite(report[1]);
    const UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!null.Valid()) return Error::FromErrno(errno, "opening /dev/null for the keying guardian");
    const pid_t child = ::fork();
    if (child == 0)
        ExecGuardian(g_program.executable.c_str(), theirs.Get(), g_program.linesMemory.Get(),
                     null.Get(), reportWrite.Get());
    if (child < 0) return Error::FromErrno(errno, "starting the keying guardian");
    reportWrite.Reset();
    int execError = 0;
    ssize_t got;
    while ((got = ::read(reportRead.Get(), &execError, sizeof execError)) < 0 && errno == EINTR) {}
    if (got == sizeof execError) {
        ::waitpid(child, nullptr, 0);
        return Error::FromErrno(execError, "starting the keying guardian " + g_program.executable);
    }
    g_program.pid = child;
    g_program.socket = std::move(ours);
    for (int slot = 0; slot < kGuardianSlots; ++slot)
        if (g_program.slots[slot].used) HandSlot(slot);
    return {};
}

Expected<void> MakeSharedLines() {
    UniqueFd memory(::memfd_create("qx-guardian-lines", MFD_CLOEXEC));
    if (!memory.Valid() || ::ftruncate(memory.Get(), sizeof(GuardianLines)) != 0)
        return Error::FromErrno(errno, "sharing memory with the keying guardian");
    void* shared =
        ::mmap(nullptr, sizeof(GuardianLines), PROT_READ | PROT_WRITE, MAP_SHARED, memory.Get(), 0);
    if (shared == MAP_FAILED)
        return Error::FromErrno(errno, "sharing memory with the keying guardian");
    g_program.lines = new (shared) GuardianLines{};
    g_program.linesMemory = std::move(memory);
    return {};
}

}  // namespace

std::string KeyingGuardianExecutable() {
    std::error_code error;
    const std::filesystem::path beside =
        std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / "qx-guardian";
    if (!error && ::access(beside.c_str(), X_OK) == 0) return beside;
    return QX_GUARDIAN_PATH;
}

Expected<void> StartKeyingGuardian(const std::string& executable) {
    if (g_program.socket.Valid()) return {};
    if (!g_program.lines)
        if (Expected<void> shared = MakeSharedLines(); !shared) return shared;
    g_program.executable = executable;
    // Registered once: forgetting is idempotent.
    static const bool registered = ::pthread_atfork(nullptr, nullptr, ForgetInChild) == 0;
    (void)registered;
    return Launch();
}

Expected<void> RenewKeyingGuardian() {
    if (g_program.executable.empty()) return Error{0, "no keying guardian was started"};
    g_program.socket.Reset();
    for (Slot& slot : g_program.slots) slot.handed = false;
    if (g_program.pid > 0) ::waitpid(g_program.pid, nullptr, WNOHANG);
    g_program.pid = -1;
    return Launch();
}

Expected<std::unique_ptr<KeyingGuardianWatch>> KeyingGuardianWatch::Start(
    std::shared_ptr<WakeEvent> ended) {
    if (!g_program.socket.Valid()) return std::unique_ptr<KeyingGuardianWatch>();
    UniqueFd watched(::fcntl(g_program.socket.Get(), F_DUPFD_CLOEXEC, 0));
    if (!watched.Valid()) return Error::FromErrno(errno, "watching the keying guardian");
    try {
        return std::unique_ptr<KeyingGuardianWatch>(
            new KeyingGuardianWatch(std::move(watched), std::move(ended)));
    } catch (const std::system_error& failure) {
        return Error::FromErrno(failure.code().value(), "watching the keying guardian");
    }
}

KeyingGuardianWatch::KeyingGuardianWatch(UniqueFd socket, std::shared_ptr<WakeEvent> ended)
    : socket_(std::move(socket)), wake_(std::move(ended)), thread_([this] { Wait(); }) {}

KeyingGuardianWatch::~KeyingGuardianWatch() {
    stop_.Signal();
    thread_.join();
}

void KeyingGuardianWatch::Wait() {
    pollfd fds[2] = {{socket_.Get(), POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR) {}
    if (fds[1].revents) return;
    ended_.store(true);
    if (wake_) wake_->Signal();
}

GuardedDevice::GuardedDevice(GuardedDevice&& other) noexcept
    : wanted_(other.wanted_), slot_(other.slot_) {
    other.wanted_ = false;
    other.slot_ = -1;
}

GuardedDevice& GuardedDevice::operator=(GuardedDevice&& other) noexcept {
    if (this != &other) {
        Release();
        wanted_ = other.wanted_;
        slot_ = other.slot_;
        other.wanted_ = false;
        other.slot_ = -1;
    }
    return *this;
}

Expected<void> GuardedDevice::Hand(UniqueFd deviceFd) {
    Release();
    if (!deviceFd.Valid()) return {};
    wanted_ = true;
    if (!g_program.lines) return Error{0, "no transmitter guard was set up"};
    for (int slot = 0; slot < kGuardianSlots; ++slot) {
        Slot& free = g_program.slots[slot];
        if (free.used) continue;
        free.used = true;
        free.device = std::move(deviceFd);
        (*g_program.lines)[slot].store(0);
        slot_ = slot;
        return HandSlot(slot);
    }
    return Error{
        0, "the transmitter guard holds " + std::to_string(kGuardianSlots) + " interfaces already"};
}

void GuardedDevice::NoteWriting(uint8_t flags) const {
    if (slot_ >= 0) (*g_program.lines)[slot_].fetch_and(flags, std::memory_order_relaxed);
}

void GuardedDevice::NoteWritten(uint8_t flags) const {
    if (slot_ >= 0) (*g_program.lines)[slot_].store(flags, std::memory_order_relaxed);
}

bool GuardedDevice::Guarded() const { return slot_ >= 0 && g_program.slots[slot_].handed; }

// A release that cannot be sent finds the guardian gone, or one that takes the slot's next
// device in its place.
void GuardedDevice::Release() {
    if (slot_ >= 0) {
        Slot& held = g_program.slots[slot_];
        if (held.handed) Send(GuardianOrder::kRelease, slot_, -1);
        held = Slot{};
    }
    wanted_ = false;
    slot_ = -1;
}

}  // namespace qx
