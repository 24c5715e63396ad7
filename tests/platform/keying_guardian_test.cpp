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
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/device_protocol.h"
#include "platform/wake_event.h"
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

// The line flags of the reports that reach a stand-in device until no one holds it any more, or
// until count reports came (-1 for anything but a whole line report); nullopt when neither
// happened within the bound.
std::optional<std::vector<int>> LineFlagsUntilLetGo(const UniqueFd& test,
                                                    std::size_t count = SIZE_MAX) {
    std::vector<int> flags;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (flags.size() < count) {
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
    return flags;
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
    if (!StartKeyingGuardian(QX_GUARDIAN_FOR_TESTS)) ::_exit(2);
    GuardedDevice guarded;
    if (!guarded.Hand(UniqueFd(::dup(device))) || !guarded.Guarded()) ::_exit(3);
    return guarded;
}

// A line report's write as the link notes it: before it, and after it when it went through.
struct Write {
    uint8_t flags;
    bool wentThrough;
};
void Note(const GuardedDevice& guarded, const std::vector<Write>& writes) {
    for (const Write& write : writes) {
        guarded.NoteWriting(write.flags);
        if (write.wentThrough) guarded.NoteWritten(write.flags);
    }
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
    std::vector<Write> writes;  // the line reports written before the end
    bool closedFirst;           // the program closed the device normally before it ended
    bool forkedFirst;           // a child forked by the program (no exec) lives on
    Ending ending;
    std::vector<int> expected;  // the line flags the device gets afterwards
};

TEST(KeyingGuardian, UnkeysEveryHeldDeviceCwFirstWhenTheProgramEnds) {
    const EndCase cases[] = {
        {"PTT and CW keyed, abort", {{3, true}}, false, false, Ending::kAbort, {1, 0}},
        {"PTT keyed, SIGKILL", {{1, true}}, false, false, Ending::kKill, {1, 0}},
        {"CW keyed, exit without closing",
         {{2, true}},
         false,
         false,
         Ending::kExitWithoutClosing,
         {0, 0}},
        {"nothing written yet, SIGKILL", {}, false, false, Ending::kKill, {0, 0}},
        {"closed normally, then SIGKILL", {{3, true}}, true, false, Ending::kKill, {}},
        {"PTT keyed, a child lives on, SIGKILL", {{1, true}}, false, true, Ending::kKill, {1, 0}},
        // A write that did not go through (a stalled endpoint) may or may not have reached the
        // device: the release never sets a line it is not known to hold.
        {"PTT's write did not go through, SIGKILL",
         {{1, false}},
         false,
         false,
         Ending::kKill,
         {0, 0}},
        {"PTT held, CW alone being written, SIGKILL",
         {{1, true}, {2, false}},
         false,
         false,
         Ending::kKill,
         {0, 0}},
        {"PTT held, CW being added, SIGKILL",
         {{1, true}, {3, false}},
         false,
         false,
         Ending::kKill,
         {1, 0}},
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
            Note(guarded, c.writes);
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
        if (!StartKeyingGuardian(QX_GUARDIAN_FOR_TESTS)) ::_exit(2);
        const int number = ::dup(first.device.Get());
        GuardedDevice guarded;
        guarded.Hand(UniqueFd(::dup(number)));
        guarded.Release();
        ::close(number);
        if (::dup(second.device.Get()) != number) ::_exit(4);
        guarded.Hand(UniqueFd(::dup(number)));
        if (!guarded.Guarded()) ::_exit(3);
        guarded.NoteWritten(kPttBit);
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

// The playing program's guardian: its first child.
int GuardianOf(const Child& program) {
    const std::string pid = std::to_string(program.Pid());
    return std::atoi(FirstLine("/proc/" + pid + "/task/" + pid + "/children").c_str());
}

// A pipe through which the playing program tells the test how far it got, a byte a step.
struct Steps {
    Steps() {
        int ends[2];
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        read.Reset(ends[0]);
        write.Reset(ends[1]);
    }
    void Tell(char step) const {
        if (::write(write.Get(), &step, 1) != 1) ::_exit(5);
    }
    // The next step told, or 0 once the program has gone without telling one.
    char Next() {
        write.Reset();
        char step = 0;
        return ::read(read.Get(), &step, 1) == 1 ? step : 0;
    }
    UniqueFd read, write;
};

// While the program lives the guardian is quiet: named qx-guardian on a command line of its own,
// holding /dev/null, standard error, its socket and the device only (none of the program's other
// descriptors), and deaf to the stop signals a terminal or service manager sends a whole group;
// then the program is killed.
TEST(KeyingGuardian, WaitsQuietlyForTheProgramsEndThroughStopSignals) {
    StandIn standIn = MakeStandIn();
    Steps steps;
    Child program([&] {
        // Left open as the program's own, as a port or a relay socket would be.
        UniqueFd unrelated(::dup(steps.read.Get()));
        GuardedDevice guarded = GuardStandIn(standIn.device.Get());
        guarded.NoteWritten(kPttBit | kCwBit);
        steps.Tell('R');
        for (;;) ::pause();
    });
    ASSERT_GT(program.Pid(), 0);
    standIn.device.Reset();
    ASSERT_EQ(steps.Next(), 'R');
    const int guardian = GuardianOf(program);
    ASSERT_GT(guardian, 0);
    const std::filesystem::path proc = "/proc/" + std::to_string(guardian);
    const auto descriptors = [&] {
        std::vector<std::string> targets;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(proc / "fd", error))
            targets.push_back(std::filesystem::read_symlink(entry.path(), error).string());
        return targets;
    };
    // Once the hand-over has arrived (a second socket) the guardian is set up.
    const auto sockets = [](const std::vector<std::string>& targets) {
        return std::count_if(targets.begin(), targets.end(),
                             [](const std::string& t) { return t.starts_with("socket:"); });
    };
    ASSERT_TRUE(test::PollUntil([&] { return sockets(descriptors()) == 2; }, kBound, 1ms));
    EXPECT_EQ(FirstLine(proc / "comm"), "qx-guardian");
    EXPECT_EQ(FirstLine(proc / "cmdline"), std::string("qx-guardian", sizeof "qx-guardian"));
    const std::vector<std::string> held = descriptors();
    EXPECT_EQ(held.size(), 5u);
    EXPECT_GE(std::count(held.begin(), held.end(), "/dev/null"), 2);

    for (int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ASSERT_EQ(::kill(guardian, stop), 0);
    pollfd quiet{standIn.test.Get(), POLLIN, 0};
    EXPECT_EQ(::poll(&quiet, 1, 200), 0) << "the guardian wrote while the program lives";
    const std::string stat = FirstLine(proc / "stat");
    EXPECT_NE(stat.substr(stat.rfind(')') + 2, 1), "Z") << "the stop signals ended the guardian";

    ASSERT_EQ(::kill(program.Pid(), SIGKILL), 0);
    program.Wait();
    EXPECT_EQ(LineFlagsUntilLetGo(standIn.test), (std::vector<int>{kPttBit, 0}));
}

// One device whose endpoint has stalled (its writes block) holds up no other device's release.
TEST(KeyingGuardian, AStalledDeviceDelaysNoOtherRelease) {
    StandIn stalled = MakeStandIn(), other = MakeStandIn();
    // Full to the brim, so that the guardian's first write blocks until the test reads.
    ASSERT_EQ(::fcntl(stalled.device.Get(), F_SETFL, O_NONBLOCK), 0);
    const std::array<uint8_t, kReportSize> filler{};
    int filled = 0;
    while (::send(stalled.device.Get(), filler.data(), filler.size(), 0) > 0) ++filled;
    ASSERT_EQ(::fcntl(stalled.device.Get(), F_SETFL, 0), 0);
    Child program([&] {
        GuardedDevice first = GuardStandIn(stalled.device.Get());
        GuardedDevice second;
        second.Hand(UniqueFd(::dup(other.device.Get())));
        first.NoteWritten(kPttBit);
        second.NoteWritten(kPttBit);
        End(Ending::kKill);
    });
    ASSERT_GT(program.Pid(), 0);
    stalled.device.Reset();
    other.device.Reset();
    program.Wait();
    // The guardian lets go of the other device only when it ends, after the stalled one.
    EXPECT_EQ(LineFlagsUntilLetGo(other.test, 2), (std::vector<int>{kPttBit, 0}));
    const std::optional<std::vector<int>> first = LineFlagsUntilLetGo(stalled.test);
    ASSERT_TRUE(first);
    EXPECT_EQ(std::vector<int>(first->begin() + filled, first->end()),
              (std::vector<int>{kPttBit, 0}));
}

// A guardian killed while the program runs is noticed and replaced; the new one takes the
// device again and releases it when the program is killed in its turn.
// Without a guardian a device is handed over to no one: it shows unguarded and says why.
TEST(KeyingGuardian, ADeviceNoGuardianHoldsSaysWhy) {
    StandIn standIn = MakeStandIn();
    Child program([&] {
        GuardedDevice guarded;
        const Expected<void> handed = guarded.Hand(UniqueFd(::dup(standIn.device.Get())));
        const bool said =
            !handed && handed.error().message.find("transmitter guard") != std::string::npos;
        ::_exit(said && guarded.Unguarded() ? 0 : 3);
    });
    ASSERT_GT(program.Pid(), 0);
    const int status = program.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(KeyingGuardian, AGuardianThatEndsIsReplacedAndGuardsAgain) {
    StandIn standIn = MakeStandIn();
    Steps steps;
    Child program([&] {
        GuardedDevice guarded = GuardStandIn(standIn.device.Get());
        guarded.NoteWritten(kPttBit);
        const auto ended = std::make_shared<WakeEvent>();
        Expected<std::unique_ptr<KeyingGuardianWatch>> watch = KeyingGuardianWatch::Start(ended);
        if (!watch || !*watch) ::_exit(6);
        steps.Tell('W');
        pollfd woken{ended->Fd(), POLLIN, 0};
        if (::poll(&woken, 1, 20000) != 1 || !(*watch)->Ended()) ::_exit(7);
        if (!RenewKeyingGuardian() || !guarded.Guarded()) ::_exit(8);
        steps.Tell('R');
        for (;;) ::pause();
    });
    ASSERT_GT(program.Pid(), 0);
    standIn.device.Reset();
    ASSERT_EQ(steps.Next(), 'W');
    const int first = GuardianOf(program);
    ASSERT_GT(first, 0);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_EQ(steps.Next(), 'R') << "the guardian was not replaced";
    pollfd quiet{standIn.test.Get(), POLLIN, 0};
    EXPECT_EQ(::poll(&quiet, 1, 0), 0) << "a killed guardian wrote";
    ASSERT_EQ(::kill(program.Pid(), SIGKILL), 0);
    program.Wait();
    EXPECT_EQ(LineFlagsUntilLetGo(standIn.test), (std::vector<int>{kPttBit, 0}));
}

}  // namespace
}  // namespace qx
