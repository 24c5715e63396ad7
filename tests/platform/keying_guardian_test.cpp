// The keying guardian as a killed program meets it: a child process plays the program, hands
// the guardian a stand-in device (one end of a socket pair) and ends without closing anything;
// the test reads what the device gets from the other end, until the guardian has let go of it.
#include "platform/keying_guardian.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/device_protocol.h"
#include "tests/support/poll_until.h"

namespace qx {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 20s;

// A stand-in device: each report written to device comes out of test whole.
struct StandIn {
    UniqueFd test, device;
};
StandIn MakeStandIn() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// The line flags of the reports that reach a stand-in device until no one holds it any more
// (-1 for anything but a whole line report); nullopt when it is still held after the bound.
std::optional<std::vector<int>> LineFlagsUntilLetGo(const UniqueFd& test) {
    std::vector<int> flags;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{test.Get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) != 1)
            return std::nullopt;
        std::array<uint8_t, kReportSize + 1> report{};
        const ssize_t got = ::recv(test.Get(), report.data(), report.size(), 0);
        if (got <= 0) return flags;
        const bool lineReport =
            got == kReportSize && report[0] == kLineReportId &&
            std::all_of(report.begin() + 2, report.end(), [](uint8_t byte) { return byte == 0; });
        flags.push_back(lineReport ? report[1] : -1);
    }
}

// How the playing program ends, never through a close path of its own.
enum class Ending { kAbort, kKill, kExitWithoutClosing };

[[noreturn]] void End(Ending ending) {
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    if (ending == Ending::kAbort) std::abort();
    if (ending == Ending::kKill) ::raise(SIGKILL);
    ::_exit(0);
}

// In the child: the guardian, and the stand-in device in its care. Exits 3 when not held.
GuardedDevice GuardStandIn(int device) {
    if (!StartKeyingGuardian()) ::_exit(2);
    GuardedDevice guarded = GuardedDevice::Hand(UniqueFd(::dup(device)));
    if (!guarded.Held()) ::_exit(3);
    return guarded;
}

// The playing program in a child process; killed and reaped at the end of the scope whatever
// the test found, so a failed check never leaves it waiting.
class Child {
public:
    template <typename Program>
    explicit Child(Program program) : pid_(::fork()) {
        if (pid_ == 0) program();
    }
    ~Child() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        Wait();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t Pid() const { return pid_; }
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_;
};

struct EndCase {
    const char* what;
    std::optional<uint8_t> lines;  // the line flags last written, if any
    bool closedFirst;              // the program closed the device normally before it ended
    bool forkedFirst;              // a child forked by the program (no exec) lives on
    Ending ending;
    std::vector<int> expected;  // the line flags the device gets afterwards
};

TEST(KeyingGuardian, UnkeysEveryHeldDeviceCwFirstWhenTheProgramEnds) {
    const EndCase cases[] = {
        {"PTT and CW keyed, abort", 0x03, false, false, Ending::kAbort, {0x01, 0x00}},
        {"PTT keyed, SIGKILL", 0x01, false, false, Ending::kKill, {0x01, 0x00}},
        {"CW keyed, exit without closing", 0x02, false, false, Ending::kExitWithoutClosing, {0, 0}},
        {"nothing written yet, SIGKILL", std::nullopt, false, false, Ending::kKill, {0, 0}},
        {"closed normally, then SIGKILL", 0x03, true, false, Ending::kKill, {}},
        {"PTT keyed, a child lives on, SIGKILL", 0x01, false, true, Ending::kKill, {0x01, 0x00}},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.what);
        StandIn standIn = MakeStandIn();
        // The forked child lives until the test lets go of this pipe.
        int hold[2];
        ASSERT_EQ(::pipe2(hold, O_CLOEXEC), 0);
        UniqueFd holdRead(hold[0]), holdWrite(hold[1]);
        Child program([&] {
            GuardedDevice guarded = GuardStandIn(standIn.device.Get());
            if (c.lines) guarded.NoteLines(*c.lines);
            if (c.closedFirst) guarded.Release();
            if (c.forkedFirst && ::fork() == 0) {
                standIn.device.Reset();
                holdWrite.Reset();
                char byte;
                [[maybe_unused]] const ssize_t got = ::read(holdRead.Get(), &byte, 1);
                ::_exit(0);
            }
            End(c.ending);
        });
        ASSERT_GT(program.Pid(), 0);
        standIn.device.Reset();
        const int status = program.Wait();
        EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) > 1) << "status " << status;
        EXPECT_EQ(LineFlagsUntilLetGo(standIn.test), c.expected);
    }
}

// The guardian holds devices, not descriptor numbers: a device closed normally gets nothing,
// even when the next device opened takes its number.
TEST(KeyingGuardian, ADeviceClosedNormallyGetsNothingWhenItsNumberIsReused) {
    StandIn first = MakeStandIn(), second = MakeStandIn();
    Child program([&] {
        if (!StartKeyingGuardian()) ::_exit(2);
        const int number = ::dup(first.device.Get());
        GuardedDevice guarded = GuardedDevice::Hand(UniqueFd(::dup(number)));
        guarded.Release();
        ::close(number);
        if (::dup(second.device.Get()) != number) ::_exit(4);
        guarded = GuardedDevice::Hand(UniqueFd(::dup(number)));
        if (!guarded.Held()) ::_exit(3);
        guarded.NoteLines(kPttBit);
        End(Ending::kKill);
    });
    ASSERT_GT(program.Pid(), 0);
    first.device.Reset();
    second.device.Reset();
    const int status = program.Wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(LineFlagsUntilLetGo(first.test), std::vector<int>{});
    EXPECT_EQ(LineFlagsUntilLetGo(second.test), (std::vector<int>{kPttBit, 0}));
}

std::string FirstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// While the program lives the guardian is quiet: named qx-guardian, holding /dev/null, its
// socket and the device only (none of the program's other descriptors), and deaf to the stop
// signals a terminal or service manager sends a whole group; then the program is killed.
TEST(KeyingGuardian, WaitsQuietlyForTheProgramsEndThroughStopSignals) {
    StandIn standIn = MakeStandIn();
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    UniqueFd readyRead(ready[0]), readyWrite(ready[1]);
    Child program([&] {
        // Left open as the program's own, as a port or a relay socket would be.
        UniqueFd unrelated(::dup(readyRead.Get()));
        GuardedDevice guarded = GuardStandIn(standIn.device.Get());
        guarded.NoteLines(kPttBit | kCwBit);
        const char byte = 'R';
        if (::write(readyWrite.Get(), &byte, 1) != 1) ::_exit(5);
        for (;;) ::pause();
    });
    ASSERT_GT(program.Pid(), 0);
    standIn.device.Reset();
    readyWrite.Reset();
    char byte = 0;
    ASSERT_EQ(::read(readyRead.Get(), &byte, 1), 1);

    const std::string pid = std::to_string(program.Pid());
    const std::string children = "/proc/" + pid + "/task/" + pid + "/children";
    const int guardian = std::atoi(FirstLine(children).c_str());
    ASSERT_GT(guardian, 0);
    const std::filesystem::path proc = "/proc/" + std::to_string(guardian);
    const auto descriptors = [&] {
        std::vector<std::string> targets;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(proc / "fd", error))
            targets.push_back(std::filesystem::read_symlink(entry.path(), error).string());
        return targets;
    };
    // Once the hand-over has arrived the guardian is set up.
    EXPECT_TRUE(test::PollUntil([&] { return descriptors().size() == 5; }, kBound, 1ms));
    EXPECT_EQ(FirstLine(proc / "comm"), "qx-guardian");
    const std::vector<std::string> held = descriptors();
    EXPECT_EQ(std::count(held.begin(), held.end(), "/dev/null"), 3);
    EXPECT_EQ(std::count_if(held.begin(), held.end(),
                            [](const std::string& t) { return t.starts_with("socket:"); }),
              2);

    for (int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ASSERT_EQ(::kill(guardian, stop), 0);
    pollfd quiet{standIn.test.Get(), POLLIN, 0};
    EXPECT_EQ(::poll(&quiet, 1, 200), 0) << "the guardian wrote while the program lives";
    const std::string stat = FirstLine(proc / "stat");
    EXPECT_NE(stat.substr(stat.rfind(')') + 2, 1), "Z") << "the stop signals ended the guardian";

    ASSERT_EQ(::kill(program.Pid(), SIGKILL), 0);
    program.Wait();
    EXPECT_EQ(LineFlagsUntilLetGo(standIn.test), (std::vector<int>{kPttBit, 0}));
}

}  // namespace
}  // namespace qx
