#include "platform/guardian_process.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/device_protocol.h"
#include "platform/descriptor_passing.h"
#include "platform/guardian_protocol.h"
#include "platform/hid.h"
#include "platform/single_instance.h"
#include "platform/user_scope.h"

namespace qx {
namespace {

// Whether the write went through; a device that refuses one may still take the next.
bool WriteLineReport(int fd, uint8_t flags) {
    const uint8_t report[kReportSize] = {kLineReportId, flags};
    ssize_t written;
    while ((written = ::write(fd, report, sizeof report)) < 0 && errno == EINTR) {}
    return written == static_cast<ssize_t>(sizeof report);
}

// CW first, then PTT, as the program's own close path drops them; the first report keeps only
// what the device is known to hold, so it never sets a line.
bool Unkey(int fd, uint8_t held) {
    const bool cwOff = WriteLineReport(fd, held & ~kCwBit);
    return WriteLineReport(fd, 0) && cwOff;
}

// Unkeys each device on a thread of its own (in line when no thread can be had); the number of
// devices that refused.
int UnkeyAll(const std::vector<std::pair<int, uint8_t>>& devices) {
    std::vector<std::thread> releases;
    std::vector<char> refused(devices.size(), 0);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const auto release = [&, i] { refused[i] = !Unkey(devices[i].first, devices[i].second); };
        try {
            releases.emplace_back(release);
        } catch (const std::system_error&) {
            release();
        }
    }
    for (std::thread& release : releases) release.join();
    return static_cast<int>(std::count(refused.begin(), refused.end(), 1));
}

// The stop signals a terminal or a service manager sends a whole group: the program unkeys by
// itself then, and the guardian waits for its end.
void IgnoreGroupStopSignals() {
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
        ::signal(number, SIG_IGN);
}

const GuardianLines* MapLines() {
    void* shared =
        ::mmap(nullptr, sizeof(GuardianLines), PROT_READ, MAP_SHARED, kGuardianLinesFd, 0);
    ::close(kGuardianLinesFd);
    return shared == MAP_FAILED ? nullptr : static_cast<const GuardianLines*>(shared);
}

// Out of the program's unit or scope, so that stopping or killing it leaves the guardian. Where
// no user service manager runs, there is no unit to leave: only a failure there is said.
void LeaveProgramsScope() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code error;
    if (!runtime || !std::filesystem::exists(std::string(runtime) + "/systemd/private", error))
        return;
    const std::string name = "qx-guardian-" + std::to_string(::getpid()) + ".scope";
    if (Expected<void> moved = MoveIntoScopeOfItsOwn(name, "QX Manager's transmitter guard");
        !moved)
        std::fprintf(stderr, "qx-guardian: %s; a stop of the program's unit ends the guard too\n",
                     moved.error().message.c_str());
}

}  // namespace

int RunKeyingGuardian() {
    ::setsid();
    IgnoreGroupStopSignals();
    const GuardianLines* lines = MapLines();
    LeaveProgramsScope();
    std::array<UniqueFd, kGuardianSlots> held;
    for (;;) {
        GuardianMessage message{};
        UniqueFd received;
        const ssize_t got =
            ReceiveWithDescriptor(kGuardianSocketFd, &message, sizeof message, received);
        if (got == 0) break;  // the program has gone
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != ENOMEM && errno != ENOBUFS) break;
            ::usleep(10000);  // short of memory: wait for it, never give up early
            continue;
        }
        if (got != sizeof message) continue;
        held[message.slot].Reset();
        if (message.order == GuardianOrder::kHold) held[message.slot] = std::move(received);
    }
    std::vector<std::pair<int, uint8_t>> devices;
    for (int slot = 0; slot < kGuardianSlots; ++slot)
        if (held[slot].Valid())
            devices.emplace_back(held[slot].Get(), lines ? (*lines)[slot].load() : 0);
    UnkeyAll(devices);
    return 0;
}

int ReleaseEveryInterface() {
    if (IsRunHeld(DefaultRuntimeDir())) return 0;
    const std::unique_ptr<HidBackend> hid = MakeHidrawBackend();
    std::vector<UniqueFd> opened;
    int failed = 0;
    for (const HidDeviceInfo& info : hid->Enumerate(kVendorId, kProductId)) {
        const Expected<std::unique_ptr<HidDevice>> device = hid->OpenPath(info.path);
        UniqueFd fd = device ? (*device)->DuplicateReportFd() : UniqueFd();
        if (!fd.Valid()) {
            std::fprintf(stderr, "qx-guardian: %s cannot be released: %s\n", info.path.c_str(),
                         device ? "no descriptor" : device.error().message.c_str());
            ++failed;
            continue;
        }
        opened.push_back(std::move(fd));
    }
    std::vector<std::pair<int, uint8_t>> devices;
    for (const UniqueFd& fd : opened) devices.emplace_back(fd.Get(), 0);
    const int refused = UnkeyAll(devices);
    if (refused)
        std::fprintf(stderr, "qx-guardian: %d interfaces refused their release\n", refused);
    return failed + refused > 0 ? 1 : 0;
}

}  // namespace qx
