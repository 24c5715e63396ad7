#include "vsp/pty_port.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "platform/ports_directory.h"
#include "tests/support/poll_until.h"
#include "tests/support/program_process.h"
#include "tests/support/radio_program.h"
#include "tests/support/temp_home.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::ProgramParity;
using test::RadioProgram;
using namespace std::chrono_literals;

// Records the events a port fires and lets a test wait for one, with a bound.
class RecordingSink : public IVSPortAxEvents {
public:
    void Invoke(int dispatchId) override {
        std::lock_guard lock(mutex_);
        events_.push_back(dispatchId);
        changed_.notify_all();
    }
    // Waits until `event` has been fired `times` times in all.
    bool WaitFor(int event, int times = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(
            lock, 5s, [&] { return std::count(events_.begin(), events_.end(), event) >= times; });
    }
    std::vector<int> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> events_;
};

constexpr auto kWaitBound = 5s;

std::vector<uint8_t> Pattern(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
}

// Sets speed and local modes the way a program that does not use cfmakeraw does.
bool SetSpeedAndLocalModes(int fd, speed_t speed, tcflag_t localModes) {
    struct termios t {};
    if (::tcgetattr(fd, &t) != 0) return false;
    t.c_lflag = localModes;
    return ::cfsetspeed(&t, speed) == 0 && ::tcsetattr(fd, TCSANOW, &t) == 0;
}

// Runs body in a child process as the unprivileged user nobody, since root bypasses exclusive
// mode; the child's exit code is body's result (0 for success), -1 when it did not end normally.
int RunAsNobody(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(100);
        ::prctl(PR_SET_DUMPABLE, 1);  // as a user's own session, which changing ids undid
        ::_exit(body());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto made = MakePtyPortClass(dir_.Root());
        ASSERT_TRUE(made) << made.error().message;
        portClass_ = std::move(*made);
        port_ = NewPort();
        sink_ = std::make_shared<RecordingSink>();
        ASSERT_TRUE(port_->Advise(sink_, cookie_));
    }

    std::unique_ptr<IVSPortAx> NewPort() { return portClass_->CreateInstance(); }
    std::string PathOf(const std::string& name) const { return dir_.Root() + "/" + name; }

    // Creates COM5 and opens it as a radio program would, once the port has seen the opening.
    std::unique_ptr<RadioProgram> CreateAndOpen() {
        EXPECT_TRUE(port_->CreatePort("COM5"));
        auto program = std::make_unique<RadioProgram>(PathOf("COM5"));
        EXPECT_TRUE(program->Valid());
        EXPECT_TRUE(sink_->WaitFor(kEventOpened));
        return program;
    }

    test::TempHome dir_;
    std::unique_ptr<IVSPortAxClass> portClass_;
    std::unique_ptr<IVSPortAx> port_;
    std::shared_ptr<RecordingSink> sink_;
    uint32_t cookie_ = 0;
};

TEST_F(PtyPortTest, PortIsPublishedRawAndFollowsTheProgramsSettings) {
    ASSERT_TRUE(port_->CreatePort("COM5"));
    EXPECT_EQ(fs::canonical(PathOf("COM5")).string().rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(port_->IsOpen(), false);
    EXPECT_EQ(port_->GetBaudRate(), 9600);
    EXPECT_EQ(port_->GetDataBits(), 8);
    EXPECT_EQ(port_->GetParity(), kParityNone);
    EXPECT_EQ(port_->GetStopBits(), kStopBitsOne);
    EXPECT_EQ(port_->GetRts(), false);
    EXPECT_EQ(port_->GetDtr(), false);

    RadioProgram program(PathOf("COM5"));
    ASSERT_TRUE(program.Valid());
    ASSERT_TRUE(sink_->WaitFor(kEventOpened));
    EXPECT_EQ(port_->IsOpen(), true);
    EXPECT_EQ(port_->GetOpenerPath(), fs::read_symlink("/proc/self/exe").string());

    ASSERT_TRUE(program.Configure(4800, 8, ProgramParity::kOdd, 2));
    ASSERT_TRUE(sink_->WaitFor(kEventSettingsChanged));
    EXPECT_EQ(port_->GetBaudRate(), 4800);
    EXPECT_EQ(port_->GetParity(), kParityOdd);
    EXPECT_EQ(port_->GetStopBits(), kStopBitsTwo);

    ASSERT_TRUE(program.Configure(19200, 8, ProgramParity::kMark, 1));
    ASSERT_TRUE(sink_->WaitFor(kEventSettingsChanged, 2));
    EXPECT_EQ(port_->GetParity(), kParityMark);
    EXPECT_EQ(port_->GetStopBits(), kStopBitsOne);
    ASSERT_TRUE(program.Configure(19200, 8, ProgramParity::kSpace, 1));
    ASSERT_TRUE(sink_->WaitFor(kEventSettingsChanged, 3));
    EXPECT_EQ(port_->GetParity(), kParitySpace);

    // The last closer leaves the port raw 9600 8N1 for the next program.
    program.Close();
    ASSERT_TRUE(sink_->WaitFor(kEventClosed));
    EXPECT_EQ(port_->IsOpen(), false);
    EXPECT_EQ(port_->GetBaudRate(), 9600);
    EXPECT_EQ(port_->GetParity(), kParityNone);
    EXPECT_EQ(port_->GetOpenerPath(), "");
    const auto events = sink_->Events();
    EXPECT_EQ(events.front(), kEventOpened);
    EXPECT_EQ(events.back(), kEventClosed);
}

// Starts command (its program a name in PATH) in a child that first runs `before`, and waits
// until the child is that program; what `before` opened stays open in it. -1 if it failed.
pid_t StartHolding(std::vector<std::string> command, const std::function<bool()>& before) {
    command[0] = fs::canonical(test::FindProgram(command[0])).string();
    std::vector<char*> argv;
    for (auto& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        if (before()) ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const std::string exe = "/proc/" + std::to_string(child) + "/exe";
    std::error_code ec;
    if (test::PollUntil([&] { return fs::read_symlink(exe, ec) == command[0]; }, 5s, 10ms))
        return child;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return -1;
}

TEST_F(PtyPortTest, ATerminalOfTheSameNumberInAnotherDevptsIsNotTheOpener) {
    if (::geteuid() != 0) GTEST_SKIP() << "a devpts instance of its own needs root";
    ASSERT_TRUE(port_->CreatePort("COM5"));
    const std::string slave = fs::canonical(PathOf("COM5")).string();
    const std::string number = slave.substr(slave.rfind('/') + 1);
    // Mounted in the child's namespace only: here it stays an empty folder of the test's own.
    const std::string dir = dir_.ConfigHome() + "/devpts";
    ASSERT_TRUE(fs::create_directories(dir));
    // As a chroot's build does: a devpts instance of its own, whose terminal of the port's
    // number is held by a process found before the port's opener. The paths are worked out
    // before the fork: the child of a process with threads should only make system calls.
    const std::string ptmx = dir + "/ptmx", own = dir + "/" + number;
    const int count = std::stoi(number) + 1;
    const pid_t foreign = StartHolding({"sleep", "600"}, [&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_PRIVATE | MS_REC, nullptr) != 0 ||
            ::mount("devpts", dir.c_str(), "devpts", 0, "newinstance") != 0)
            return false;
        for (int i = 0; i < count; ++i) {
            const int master = ::open(ptmx.c_str(), O_RDWR | O_NOCTTY);
            if (master < 0 || ::unlockpt(master) != 0) return false;
        }
        return ::open(own.c_str(), O_RDWR | O_NOCTTY) >= 0;
    });
    const std::string port = PathOf("COM5");
    const pid_t opener = StartHolding({"tail", "-f", "/dev/null"},
                                      [&] { return ::open(port.c_str(), O_RDWR | O_NOCTTY) >= 0; });
    EXPECT_GT(foreign, 0);
    EXPECT_GT(opener, 0);
    if (foreign > 0 && opener > 0) {
        EXPECT_TRUE(sink_->WaitFor(kEventOpened));
        EXPECT_EQ(port_->GetOpenerPath(), fs::canonical(test::FindProgram("tail")).string());
    }
    for (const pid_t child : {foreign, opener}) {
        if (child <= 0) continue;
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
}

TEST_F(PtyPortTest, FiveBitPortReportsOneAndAHalfStopBitsAndExactRate) {
    port_->SetAssumedDataBits(5);
    port_->SetAssumedDataBits(9);  // out of range: ignored
    auto program = CreateAndOpen();
    ASSERT_TRUE(program->Configure(45, 5, ProgramParity::kNone, 2));
    ASSERT_TRUE(sink_->WaitFor(kEventSettingsChanged));
    EXPECT_EQ(port_->GetBaudRate(), 45);
    EXPECT_EQ(port_->GetDataBits(), 5);
    EXPECT_EQ(port_->GetParity(), kParityNone);
    EXPECT_EQ(port_->GetStopBits(), kStopBitsOnePointFive);
}

// Programs that set c_lflag = 0 themselves also clear the flag through which the pty announces
// changes; their later changes must still be seen.
TEST_F(PtyPortTest, SettingsChangesAreSeenWhateverLocalModesTheProgramSets) {
    auto program = CreateAndOpen();
    ASSERT_TRUE(SetSpeedAndLocalModes(program->Fd(), B4800, 0));
    ASSERT_TRUE(sink_->WaitFor(kEventSettingsChanged));
    EXPECT_EQ(port_->GetBaudRate(), 4800);

    ASSERT_TRUE(SetSpeedAndLocalModes(program->Fd(), B19200, 0));
    ASSERT_TRUE(sink_->WaitFor(kEventSettingsChanged, 2));
    EXPECT_EQ(port_->GetBaudRate(), 19200);
    ASSERT_TRUE(program->Configure(19200, 8, ProgramParity::kOdd, 1));
    ASSERT_TRUE(sink_->WaitFor(kEventSettingsChanged, 3));
    EXPECT_EQ(port_->GetParity(), kParityOdd);
}

// Speed 0 asks for a hang-up; the port goes on reporting the speed the line had.
TEST_F(PtyPortTest, HangUpSpeedIsNotReportedAsASpeed) {
    auto program = CreateAndOpen();
    ASSERT_TRUE(program->Configure(4800, 8, ProgramParity::kNone, 1));
    ASSERT_TRUE(sink_->WaitFor(kEventSettingsChanged));
    struct termios t {};
    ASSERT_EQ(::tcgetattr(program->Fd(), &t), 0);
    ASSERT_EQ(::cfsetspeed(&t, B0), 0);
    ASSERT_EQ(::tcsetattr(program->Fd(), TCSANOW, &t), 0);
    ASSERT_TRUE(sink_->WaitFor(kEventSettingsChanged, 2));
    EXPECT_EQ(port_->GetBaudRate(), 4800);
    ASSERT_TRUE(program->Configure(1200, 8, ProgramParity::kNone, 1));
    ASSERT_TRUE(sink_->WaitFor(kEventSettingsChanged, 3));
    EXPECT_EQ(port_->GetBaudRate(), 1200);
}

TEST_F(PtyPortTest, BytesPassUnchangedBothWays) {
    auto program = CreateAndOpen();
    // Control characters a cooked terminal would echo, translate or act on.
    const std::vector<uint8_t> awkward = {0x00, '\r', '\n', 0x03, 0x04, 0x11, 0x13,
                                          0x1a, 0x7f, 0xff, 'F',  'A',  ';'};

    ASSERT_EQ(program->Write(awkward), awkward.size());
    ASSERT_TRUE(test::PollUntil(
        [&] { return port_->BytesWaiting() == static_cast<int>(awkward.size()); }, kWaitBound));
    uint8_t buffer[62];
    EXPECT_EQ(port_->ReadFromPort(buffer, 4), 4);
    EXPECT_EQ(port_->BytesWaiting(), static_cast<int>(awkward.size()) - 4);
    EXPECT_EQ(port_->ReadFromPort(buffer + 4, 62), static_cast<int>(awkward.size()) - 4);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + awkward.size()), awkward);
    EXPECT_EQ(port_->ReadFromPort(buffer, 62), 0);

    for (uint8_t byte : awkward) EXPECT_TRUE(port_->WriteToPort(&byte, 1));
    EXPECT_EQ(program->Read(awkward.size()), awkward);
    EXPECT_EQ(program->Read(1, 50ms).size(), 0u) << "nothing echoed back";
}

// A reader sleeping until bytes arrive hears of them once per arrival into an empty buffer.
TEST_F(PtyPortTest, BytesWrittenEventWhenBytesArriveWhileNoneWait) {
    auto program = CreateAndOpen();
    const auto written = [&] {
        const auto events = sink_->Events();
        return std::count(events.begin(), events.end(), kEventBytesWritten);
    };
    ASSERT_EQ(program->Write({'F', 'A', ';'}), 3u);
    ASSERT_TRUE(sink_->WaitFor(kEventBytesWritten));
    ASSERT_EQ(program->Write({'I', 'F', ';'}), 3u);
    ASSERT_TRUE(test::PollUntil([&] { return port_->BytesWaiting() == 6; }, kWaitBound));
    EXPECT_EQ(written(), 1) << "bytes were still waiting";

    uint8_t buffer[62];
    EXPECT_EQ(port_->ReadFromPort(buffer, 62), 6);
    ASSERT_EQ(program->Write({'F', 'B', ';'}), 3u);
    EXPECT_TRUE(sink_->WaitFor(kEventBytesWritten, 2));
}

TEST_F(PtyPortTest, BulkDataArrivesCompleteAndInOrderWhileAnotherThreadPolls) {
    auto program = CreateAndOpen();
    // More than the receive buffer holds: the program is held back, never loses bytes.
    const auto sent = Pattern(200 * 1024);
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::vector<uint8_t> received;
    std::thread worker([&] {
        uint8_t buffer[62];
        while (!stop.load() && received.size() < sent.size()) {
            if (port_->IsOpen() == true && port_->BytesWaiting().value_or(0) > 0) {
                const auto n = port_->ReadFromPort(buffer, sizeof buffer);
                if (n) received.insert(received.end(), buffer, buffer + *n);
            } else {
                std::this_thread::yield();
            }
        }
        finished.store(true);
    });
    EXPECT_EQ(program->Write(sent, 10s), sent.size());
    // What the program wrote last may still be in the pty when the write returns: the port is
    // empty for a moment before it reads the rest, so wait for the worker to have it all.
    EXPECT_TRUE(test::PollUntil([&] { return finished.load(); }, kWaitBound));
    stop.store(true);
    worker.join();
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

TEST_F(PtyPortTest, WritesNeverBlockAndOverflowIsCounted) {
    auto program = CreateAndOpen();
    const auto sent = Pattern(300 * 1000);  // the program reads nothing meanwhile
    // Written from another thread, so that a write which blocks on the full pty fails the test
    // instead of hanging it; the bound is for a loaded machine, each write should take
    // microseconds.
    auto writes = std::async(std::launch::async, [&] {
        size_t refused = 0;
        for (size_t i = 0; i < sent.size(); i += 1000)
            refused += port_->WriteToPort(&sent[i], 1000) ? 0 : 1;
        return refused;
    });
    if (writes.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "a write to the port blocked while the program read nothing";
        while (writes.wait_for(0s) != std::future_status::ready) program->Read(4096, 100ms);
        return;
    }
    const size_t refused = writes.get();
    EXPECT_GT(refused, 0u);
    const auto overflow = TransmitOverflowCount(*port_);
    ASSERT_TRUE(overflow.has_value());
    ASSERT_GT(*overflow, 0u);
    EXPECT_EQ(*overflow, refused * 1000) << "whole writes are dropped, never part of one";

    // Everything accepted reaches the program; what was dropped is only ever the newest part.
    const size_t accepted = sent.size() - *overflow;
    const auto got = program->Read(accepted, 10s);
    ASSERT_EQ(got.size(), accepted);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 1000, sent.begin()));
    EXPECT_EQ(program->Read(1, 50ms).size(), 0u);
}

TEST_F(PtyPortTest, NextProgramStartsCleanAndBriefOpeningsAreSeen) {
    auto program = CreateAndOpen();
    const uint8_t reply[] = {'I', 'D', '0', '1', '9', ';'};
    ASSERT_TRUE(port_->WriteToPort(reply, sizeof reply));
    ASSERT_EQ(program->Write({'F', 'A', ';'}), 3u);
    ASSERT_TRUE(test::PollUntil([&] { return port_->BytesWaiting() == 3; }, kWaitBound));
    program->Close();
    ASSERT_TRUE(sink_->WaitFor(kEventClosed));
    EXPECT_EQ(port_->BytesWaiting(), 0);
    uint8_t byte = 'x';
    EXPECT_FALSE(port_->WriteToPort(&byte, 1)) << "nobody holds the port";

    // Opened and closed before the watch looks: both are still reported.
    { RadioProgram brief(PathOf("COM5")); }
    ASSERT_TRUE(sink_->WaitFor(kEventOpened, 2));
    ASSERT_TRUE(sink_->WaitFor(kEventClosed, 2));
    EXPECT_EQ(port_->IsOpen(), false);

    RadioProgram next(PathOf("COM5"));
    ASSERT_TRUE(sink_->WaitFor(kEventOpened, 3));
    EXPECT_EQ(next.Read(1, 50ms).size(), 0u) << "the reply to the previous program is gone";
    EXPECT_EQ(port_->BytesWaiting(), 0);
}

// Rig-control programs probing a port close it and open it again at once, often before the
// close has been seen. The program that holds the port then must keep every byte it writes and
// the settings it makes; only a port nobody holds is reset and flushed.
TEST_F(PtyPortTest, ProgramReopeningAtOnceKeepsItsBytesAndSettings) {
    auto program = CreateAndOpen();
    const auto sent = Pattern(60 * 1000);
    for (int round = 0; round < 4; ++round) {
        program.reset();
        program = std::make_unique<RadioProgram>(PathOf("COM5"));
        ASSERT_TRUE(program->Configure(4800, 8, ProgramParity::kNone, 1));
        std::vector<uint8_t> received;
        std::thread worker([&] {
            uint8_t buffer[62];
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (received.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
                const auto n =
                    port_->IsOpen() == true ? port_->ReadFromPort(buffer, sizeof buffer) : 0;
                if (n && *n > 0)
                    received.insert(received.end(), buffer, buffer + *n);
                else
                    std::this_thread::sleep_for(100us);
            }
        });
        EXPECT_EQ(program->Write(sent, 10s), sent.size());
        worker.join();
        ASSERT_EQ(received.size(), sent.size()) << "round " << round;
        EXPECT_TRUE(received == sent) << "round " << round;
        EXPECT_EQ(port_->GetBaudRate(), 4800) << "round " << round;
    }
}

TEST_F(PtyPortTest, SinksMayCallThePortAndUnadvisedSinksHearNothing) {
    struct CallingSink : IVSPortAxEvents {
        IVSPortAx* port = nullptr;
        std::atomic<int> calls{0};
        void Invoke(int) override {
            port->IsOpen();
            port->GetBaudRate();
            port->BytesWaiting();
            calls.fetch_add(1);
        }
    };
    auto calling = std::make_shared<CallingSink>();
    calling->port = port_.get();
    uint32_t cookie = 0;
    ASSERT_TRUE(port_->Advise(calling, cookie));
    EXPECT_FALSE(port_->Advise(nullptr, cookie));
    port_->Unadvise(cookie_);

    ASSERT_TRUE(port_->CreatePort("COM5"));
    RadioProgram program(PathOf("COM5"));
    ASSERT_TRUE(test::PollUntil([&] { return calling->calls.load() >= 1; }, kWaitBound));
    program.Close();
    ASSERT_TRUE(test::PollUntil([&] { return calling->calls.load() >= 2; }, kWaitBound));
    EXPECT_TRUE(sink_->Events().empty());
}

// What making a port came to: "made", or the cause it gave.
std::string Outcome(const Expected<void>& made) { return made ? "made" : made.error().message; }

TEST_F(PtyPortTest, NamesAreTakenOnlyWhenFreeOrLetGo) {
    using testing::HasSubstr;
    for (const char* bad : {"COM0", "COM256", "COM05", "COM", "com5", "COM5/../x", "../COM5"})
        EXPECT_THAT(Outcome(port_->CreatePort(bad)), HasSubstr("is not a port's name")) << bad;
    EXPECT_TRUE(fs::is_empty(dir_.Root()));

    ASSERT_TRUE(port_->CreatePort("COM5"));
    auto other = NewPort();
    const Expected<void> taken = other->CreatePort("COM5");
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().code, EEXIST) << taken.error().message;
    EXPECT_THAT(taken.error().message, HasSubstr(PathOf("COM5")));
    EXPECT_THAT(Outcome(other->ReusePort("COM5")), HasSubstr("held by another port"))
        << "a live port is not taken from its owner";
    EXPECT_THAT(Outcome(port_->CreatePort("COM6")), HasSubstr("published as"))
        << "one port per instance";

    // An instance let go without DeletePort leaves its name, which no program can open.
    port_.reset();
    ASSERT_TRUE(fs::is_symlink(PathOf("COM5")));
    EXPECT_FALSE(RadioProgram(PathOf("COM5")).Valid());
    EXPECT_FALSE(other->CreatePort("COM5"));
    ASSERT_TRUE(other->ReusePort("COM5"));
    EXPECT_TRUE(RadioProgram(PathOf("COM5")).Valid());

    std::ofstream(PathOf("COM7")) << "not a port";
    auto third = NewPort();
    EXPECT_FALSE(third->CreatePort("COM7"));
    EXPECT_THAT(Outcome(third->ReusePort("COM7")), HasSubstr("not a symbolic link"))
        << "a file that is not ours stays";

    other->DeletePort();
    EXPECT_FALSE(fs::exists(fs::symlink_status(PathOf("COM5"))));
    EXPECT_EQ(other->BytesWaiting(), std::nullopt);
    other->DeletePort();  // a second time, or on an instance without a port, does nothing
}

// After a crash the old names point at /dev/pts numbers the kernel may already have given to
// this run's own ports. Each name must lead to the port holding it, and only there.
TEST_F(PtyPortTest, StaleNameIsTakenOverEvenWhereItPointsAtAnotherPort) {
    ASSERT_TRUE(port_->CreatePort("COM1"));
    fs::create_symlink(fs::canonical(PathOf("COM1")), PathOf("COM3"));
    auto other = NewPort();
    EXPECT_FALSE(other->CreatePort("COM3"));
    ASSERT_TRUE(other->ReusePort("COM3"));

    RadioProgram one(PathOf("COM1"));
    RadioProgram three(PathOf("COM3"));
    ASSERT_TRUE(one.Valid() && three.Valid());
    ASSERT_EQ(three.Write({'K'}), 1u);
    ASSERT_TRUE(test::PollUntil([&] { return other->BytesWaiting() == 1; }, kWaitBound));
    EXPECT_EQ(port_->BytesWaiting(), 0);
    EXPECT_NE(fs::canonical(PathOf("COM1")), fs::canonical(PathOf("COM3")));
}

TEST_F(PtyPortTest, DeleteAllPortsEmptiesTheDirectoryOfPorts) {
    ASSERT_TRUE(port_->CreatePort("COM5"));
    auto other = NewPort();
    ASSERT_TRUE(other->CreatePort("COM6"));
    fs::create_symlink("/dev/pts/let-go", PathOf("COM9"));  // left by an earlier run
    std::ofstream(PathOf("notes.txt")) << "kept";

    auto temporary = NewPort();
    temporary->DeleteAllPorts();
    temporary->DeletePort();

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_.Root()))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"notes.txt"});
    EXPECT_EQ(port_->IsOpen(), false);
    EXPECT_EQ(other->BytesWaiting(), std::nullopt) << "ports of this process are closed too";
    EXPECT_TRUE(port_->CreatePort("COM5"));
}

// A real serial port forgets exclusive mode (TIOCEXCL) at its last close; a program that ends
// without clearing it must not lock the port for every later one.
TEST(PtyPortExclusiveTest, ExclusiveModeEndsWithTheLastClose) {
    test::TempHome dir;
    ASSERT_EQ(::chown(dir.Root().c_str(), 65534, 65534), 0);
    const std::string name = dir.Root() + "/COM5";
    const int result = RunAsNobody([&] {
        auto portClass = MakePtyPortClass(dir.Root());
        auto port = portClass ? (*portClass)->CreateInstance() : nullptr;
        auto sink = std::make_shared<RecordingSink>();
        uint32_t cookie = 0;
        if (!port || !port->Advise(sink, cookie) || !port->CreatePort("COM5")) return 1;
        const pid_t program = ::fork();
        if (program == 0) {
            const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ::_exit(fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0 ? 0 : 1);
        }
        int status = 0;
        if (::waitpid(program, &status, 0) != program || status != 0) return 2;
        if (!sink->WaitFor(kEventClosed)) return 3;
        if (!RadioProgram(name).Valid()) return 4;
        return sink->WaitFor(kEventOpened, 2) ? 0 : 5;
    });
    EXPECT_EQ(result, 0)
        << "1 no port, 2 program failed, 3 close unseen, 4 refused, 5 opening unseen";
}

// The same when the port's owner is root, who can still open the slave and end the mode.
TEST_F(PtyPortTest, ExclusiveModeEndsWithTheLastCloseOfAnUnprivilegedProgram) {
    ASSERT_TRUE(port_->CreatePort("COM5"));
    const std::string slave = fs::canonical(PathOf("COM5"));
    ASSERT_EQ(::chown(slave.c_str(), 65534, 65534), 0);
    const auto openAsNobody = [&](bool exclusive) {
        return RunAsNobody([&] {
            const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0) return errno;
            return exclusive && ::ioctl(fd, TIOCEXCL) != 0 ? errno : 0;
        });
    };
    ASSERT_EQ(openAsNobody(true), 0);
    ASSERT_TRUE(sink_->WaitFor(kEventClosed));
    EXPECT_EQ(openAsNobody(false), 0) << "16 is EBUSY";
}

// While the program is not running, a name it left must open nothing, not the terminal of
// another program that the kernel has given the old /dev/pts number.
TEST(PtyPortCrashTest, NameLeftByAKilledProgramOpensNothing) {
    test::TempHome dir;
    const std::string name = dir.Root() + "/COM5";
    const pid_t manager = ::fork();
    if (manager == 0) {
        auto portClass = MakePtyPortClass(dir.Root());
        auto port = portClass ? (*portClass)->CreateInstance() : nullptr;
        if (port && port->CreatePort("COM5")) ::kill(::getpid(), SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(manager, &status, 0), manager);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ASSERT_TRUE(fs::is_symlink(name));

    // The kernel hands out the lowest free numbers: one of these gets the number the port had.
    std::vector<UniqueFd> otherTerminals;
    for (int i = 0; i < 8; ++i) {
        otherTerminals.emplace_back(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(otherTerminals.back().Valid());
        ASSERT_EQ(::unlockpt(otherTerminals.back().Get()), 0);
    }
    EXPECT_FALSE(RadioProgram(name).Valid());
}

TEST(PtyPortClassTest, RefusesADirectoryItCannotUse) {
    for (const std::string unusable : {"", "/nonexistent/qx-ports"}) {
        const auto refused = MakePtyPortClass(unusable);
        ASSERT_FALSE(refused) << unusable;
        EXPECT_NE(refused.error().message.find("\"" + unusable + "\" is not a writable directory"),
                  std::string::npos)
            << refused.error().message;
    }
    test::TempHome dir;
    auto portClass = MakePtyPortClass(dir.Root());
    ASSERT_TRUE(portClass) << portClass.error().message;
    EXPECT_EQ((*portClass)->PortsDirectory(), dir.Root());
    EXPECT_EQ((*portClass)->Kind(), "pseudo-terminal");
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(PortsDirectoryTest, ChosenOrPrivateDirectoryIsMade) {
    test::TempHome root;
    {
        ScopedEnv chosen("QXM_PORTS_DIR", (root.Root() + "/chosen").c_str());
        EXPECT_EQ(*ResolvePortsDirectory(), root.Root() + "/chosen");
        EXPECT_TRUE(fs::is_directory(root.Root() + "/chosen"));
    }
    ScopedEnv chosen("QXM_PORTS_DIR", nullptr);
    ScopedEnv runtime("XDG_RUNTIME_DIR", root.Root().c_str());
    EXPECT_EQ(*ResolvePortsDirectory(), root.Root() + "/qx-manager");
    struct stat st {};
    ASSERT_EQ(::stat((root.Root() + "/qx-manager").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST(PortsDirectoryTest, PrivateDirectoryRefusesWhatOthersCouldControl) {
    test::TempHome root;
    const std::string loose = root.Root() + "/loose";
    ASSERT_EQ(::mkdir(loose.c_str(), 0755), 0);
    EXPECT_TRUE(PreparePrivateDirectory(loose));
    struct stat st {};
    ASSERT_EQ(::stat(loose.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "tightened";

    const std::string link = root.Root() + "/link";
    fs::create_directory_symlink(loose, link);
    const auto linkRefused = PreparePrivateDirectory(link);
    ASSERT_FALSE(linkRefused);
    EXPECT_NE(linkRefused.error().message.find("symlink"), std::string::npos);

    const std::string file = root.Root() + "/file";
    std::ofstream(file) << "x";
    EXPECT_FALSE(PreparePrivateDirectory(file));
    const auto missing = PreparePrivateDirectory(root.Root() + "/missing/deeper");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT) << "the cause is kept";

    if (::geteuid() == 0) {
        const std::string foreign = root.Root() + "/foreign";
        ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(::chown(foreign.c_str(), 12345, 12345), 0);
        const auto foreignRefused = PreparePrivateDirectory(foreign);
        ASSERT_FALSE(foreignRefused);
        EXPECT_NE(foreignRefused.error().message.find("another user"), std::string::npos);
    }
}

TEST(PortsDirectoryTest, OnlyComNamesOneTo255AreAccepted) {
    EXPECT_EQ(PortNumberFromName("COM1"), 1);
    EXPECT_EQ(PortNumberFromName("COM255"), 255);
    for (const char* bad : {"COM0", "COM256", "COM007", "COM1a", "COM-1", "COM", "LPT1", "COM1 "})
        EXPECT_EQ(PortNumberFromName(bad), 0) << bad;
}

}  // namespace
}  // namespace qx
