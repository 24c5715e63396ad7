// On a kernel with cuse (the virtual machine of tests/vm/run.sh): the CUSE port component as
// radio programs meet it, through the C library's termios and the tty ioctls they use.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "tests/support/radio_program.h"
#include "tests/vm/uhid_process.h"
#include "vsp/cuse_port_class.h"

namespace qx::vm {
namespace {

using namespace std::chrono_literals;

class EventLog final : public IVSPortAxEvents {
public:
    void Invoke(int dispatchId) override {
        std::lock_guard lock(mutex_);
        ids_.push_back(dispatchId);
    }
    bool Has(int id) {
        std::lock_guard lock(mutex_);
        return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        ids_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<int> ids_;
};

// A request that should block: it has not finished after a while, and then finishes once woken.
template <class T>
bool StillWaiting(std::future<T>& f) {
    return f.wait_for(300ms) == std::future_status::timeout;
}
template <class T>
bool Finishes(std::future<T>& f) {
    return f.wait_for(20s) == std::future_status::ready;
}

class CuseGuestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(access("/dev/cuse", R_OK | W_OK), 0)
            << "needs /dev/cuse: run it through tests/vm/run.sh";
        dir_ = std::filesystem::temp_directory_path() / ("qx-cuse-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        auto made = MakeCusePortClass(dir_.string());
        ASSERT_TRUE(made) << made.error().message;
        portClass_ = std::move(*made);
        port_ = portClass_->CreateInstance();
        ASSERT_TRUE(port_);
        uint32_t cookie = 0;
        ASSERT_TRUE(port_->Advise(events_, cookie));
        ASSERT_TRUE(port_->CreatePort("COM7"));
    }
    void TearDown() override {
        if (port_) port_->DeletePort();
        // The kernel removes the node on its own time; the next test makes the same name.
        EXPECT_TRUE(test::PollUntil([] { return ::access("/dev/qx-COM7", F_OK) != 0; }, kWaitBound,
                                    kWaitStep));
        std::filesystem::remove_all(dir_);
    }

    std::string LinkPath() const { return (dir_ / "COM7").string(); }
    UniqueFd OpenPort(int flags = O_NONBLOCK) const {
        return UniqueFd(::open(LinkPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | flags));
    }
    int ModemBits(int fd) const {
        int bits = -1;
        return ::ioctl(fd, TIOCMGET, &bits) == 0 ? bits : -1;
    }

    std::filesystem::path dir_;
    std::unique_ptr<IVSPortAxClass> portClass_;
    std::unique_ptr<IVSPortAx> port_;
    std::shared_ptr<EventLog> events_ = std::make_shared<EventLog>();
};

TEST_F(CuseGuestTest, PortIsACharacterDeviceBehindItsNameUntilDeleted) {
    struct stat st {};
    ASSERT_EQ(::stat("/dev/qx-COM7", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(std::filesystem::read_symlink(LinkPath()), "/dev/qx-COM7");
    // A second port under the same name is refused while the first lives.
    auto other = portClass_->CreateInstance();
    EXPECT_FALSE(other->CreatePort("COM7"));
    EXPECT_FALSE(other->ReusePort("COM7"));

    port_->DeletePort();
    EXPECT_TRUE(
        test::PollUntil([] { return ::access("/dev/qx-COM7", F_OK) != 0; }, kWaitBound, kWaitStep));
    EXPECT_FALSE(std::filesystem::is_symlink(LinkPath()));
    // The name is free again.
    EXPECT_TRUE(other->CreatePort("COM7"));
    other->DeletePort();
}

TEST_F(CuseGuestTest, ProgramSettingsArriveWhole) {
    UniqueFd fd = OpenPort();
    ASSERT_TRUE(fd.Valid()) << strerror(errno);
    EXPECT_TRUE(
        test::PollUntil([&] { return port_->IsOpen() == true && events_->Has(kEventOpened); },
                        kWaitBound, kWaitStep));

    termios t{};
    ASSERT_EQ(tcgetattr(fd.Get(), &t), 0) << strerror(errno);
    cfmakeraw(&t);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARODD)) | CS7 | PARENB | CSTOPB;
    ASSERT_EQ(cfsetspeed(&t, B4800), 0);
    ASSERT_EQ(tcsetattr(fd.Get(), TCSANOW, &t), 0) << strerror(errno);
    EXPECT_EQ(port_->GetBaudRate(), 4800);
    EXPECT_EQ(port_->GetDataBits(), 7);
    EXPECT_EQ(port_->GetParity(), kParityEven);
    EXPECT_EQ(port_->GetStopBits(), kStopBitsTwo);
    EXPECT_TRUE(test::PollUntil([&] { return events_->Has(kEventSettingsChanged); }, kWaitBound,
                                kWaitStep));
    // What the program set is what it reads back.
    termios back{};
    ASSERT_EQ(tcgetattr(fd.Get(), &back), 0);
    EXPECT_EQ(back.c_cflag, t.c_cflag);
    EXPECT_EQ(cfgetospeed(&back), static_cast<speed_t>(B4800));

    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB)) | CS5 | CSTOPB;
    ASSERT_EQ(tcsetattr(fd.Get(), TCSADRAIN, &t), 0) << strerror(errno);
    EXPECT_EQ(port_->GetDataBits(), 5);
    EXPECT_EQ(port_->GetParity(), kParityNone);
    EXPECT_EQ(port_->GetStopBits(), kStopBitsOnePointFive);

    // An FSK program's 45 baud exists only as an exact rate (BOTHER).
    test::RadioProgram fsk(LinkPath());
    ASSERT_TRUE(fsk.Valid());
    ASSERT_TRUE(fsk.Configure(45, 5, test::ProgramParity::kNone, 2));
    EXPECT_EQ(port_->GetBaudRate(), 45);
    EXPECT_EQ(port_->GetStopBits(), kStopBitsOnePointFive);
}

// stty sets, then reads back and complains unless everything it asked for took effect.
TEST_F(CuseGuestTest, SttySetsAndReadsBackTheFraming) {
    const std::string command =
        "stty -F " + LinkPath() + " 4800 cs7 parenb -parodd cstopb raw -echo 2>&1";
    FILE* out = ::popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char text[512] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, out);
    EXPECT_EQ(::pclose(out), 0) << std::string(text, n);
    EXPECT_EQ(port_->GetBaudRate(), 4800);
    EXPECT_EQ(port_->GetDataBits(), 7);
    EXPECT_EQ(port_->GetParity(), kParityEven);
    EXPECT_EQ(port_->GetStopBits(), kStopBitsTwo);
    EXPECT_TRUE(test::PollUntil([&] { return port_->IsOpen() == false; }, kWaitBound, kWaitStep))
        << "stty has ended";
    // Everything stty knows of a tty, the window size included (a serial port's is zero).
    FILE* all = ::popen(("stty -a -F " + LinkPath() + " 2>&1").c_str(), "r");
    ASSERT_NE(all, nullptr);
    const size_t m = std::fread(text, 1, sizeof text - 1, all);
    const std::string shown(text, m);
    EXPECT_EQ(::pclose(all), 0) << shown;
    EXPECT_NE(shown.find("speed 4800 baud; rows 0; columns 0;"), std::string::npos) << shown;
}

#if defined(__x86_64__)
// An ioctl as a 32-bit program makes it: the kernel's 32-bit system-call entry, taken from this
// 64-bit process, runs the same compat path as an i386 program's (one under 32-bit Wine, say).
// The result, or -errno.
long Ioctl32(int fd, unsigned int command, uint32_t argument) {
    long result = 54;  // ioctl in the i386 system-call table
    asm volatile("int $0x80"
                 : "+a"(result)
                 : "b"(fd), "c"(command), "d"(argument)
                 : "memory", "cc", "r8", "r9", "r10", "r11");
    return result;
}

// A 32-bit program gets its answers in its own layouts, never written past its argument.
TEST_F(CuseGuestTest, A32BitProgramsIoctlsFillItsArgumentAndNothingPast) {
    UniqueFd fd = OpenPort();
    ASSERT_TRUE(fd.Valid()) << strerror(errno);
    constexpr size_t kArea = 4096;
    constexpr uint8_t kMark = 0xA5;
    // Memory a 32-bit program can address.
    void* low = ::mmap(nullptr, kArea, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    ASSERT_NE(low, MAP_FAILED);
    auto* area = static_cast<uint8_t*>(low);
    const uint32_t argument = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(low));
    const struct {
        const char* what;
        unsigned int command;
        size_t size;  // of the 32-bit program's argument
    } cases[] = {
        {"TIOCGSERIAL", TIOCGSERIAL, 60}, {"TCGETS", TCGETS, 36},        {"TIOCMGET", TIOCMGET, 4},
        {"TIOCGICOUNT", TIOCGICOUNT, 80}, {"TIOCGWINSZ", TIOCGWINSZ, 8},
    };
    for (const auto& c : cases) {
        std::memset(area, kMark, kArea);
        EXPECT_EQ(Ioctl32(fd.Get(), c.command, argument), 0) << c.what;
        EXPECT_EQ(std::count(area + c.size, area + kArea, kMark), static_cast<long>(kArea - c.size))
            << c.what << " wrote past its " << c.size << " bytes";
        EXPECT_LT(std::count(area, area + c.size, kMark), static_cast<long>(c.size)) << c.what;
    }
    ::munmap(low, kArea);
}
#endif

TEST_F(CuseGuestTest, KeyingLinesBothWays) {
    UniqueFd fd = OpenPort();
    ASSERT_TRUE(fd.Valid()) << strerror(errno);
    // Opening raises nothing.
    EXPECT_EQ(port_->GetRts(), false);
    EXPECT_EQ(port_->GetDtr(), false);
    events_->Clear();

    const int rts = TIOCM_RTS, dtr = TIOCM_DTR;
    ASSERT_EQ(::ioctl(fd.Get(), TIOCMBIS, &rts), 0) << strerror(errno);
    EXPECT_EQ(port_->GetRts(), true);
    EXPECT_EQ(port_->GetDtr(), false);
    EXPECT_TRUE(
        test::PollUntil([&] { return events_->Has(kEventLinesChanged); }, kWaitBound, kWaitStep));
    ASSERT_EQ(::ioctl(fd.Get(), TIOCMBIS, &dtr), 0);
    EXPECT_EQ(port_->GetDtr(), true);
    ASSERT_EQ(::ioctl(fd.Get(), TIOCMBIC, &rts), 0);
    EXPECT_EQ(port_->GetRts(), false);
    EXPECT_EQ(port_->GetDtr(), true);
    EXPECT_EQ(ModemBits(fd.Get()) & (TIOCM_RTS | TIOCM_DTR | TIOCM_CTS), TIOCM_DTR);
    const int both = TIOCM_RTS | TIOCM_DTR;
    ASSERT_EQ(::ioctl(fd.Get(), TIOCMSET, &both), 0);
    EXPECT_EQ(port_->GetRts(), true);
    EXPECT_EQ(port_->GetDtr(), true);

    // The device's input reaches the program as CTS, and wakes a program waiting for it.
    ASSERT_TRUE(port_->SetInputLine(true));
    EXPECT_NE(ModemBits(fd.Get()) & TIOCM_CTS, 0);
    auto wait =
        std::async(std::launch::async, [&] { return ::ioctl(fd.Get(), TIOCMIWAIT, TIOCM_CTS); });
    EXPECT_TRUE(StillWaiting(wait));
    ASSERT_TRUE(port_->SetInputLine(false));
    ASSERT_TRUE(Finishes(wait));
    EXPECT_EQ(wait.get(), 0);
    EXPECT_EQ(ModemBits(fd.Get()) & TIOCM_CTS, 0);

    // A program that ends with its lines up must not leave the radio keyed.
    events_->Clear();
    fd.Reset();
    EXPECT_TRUE(test::PollUntil([&] { return port_->IsOpen() == false; }, kWaitBound, kWaitStep));
    EXPECT_EQ(port_->GetRts(), false);
    EXPECT_EQ(port_->GetDtr(), false);
    EXPECT_TRUE(test::PollUntil([&] { return events_->Has(kEventClosed); }, kWaitBound, kWaitStep));
}

TEST_F(CuseGuestTest, ExclusiveUseUnknownIoctlsAndTheHolder) {
    UniqueFd first = OpenPort();
    ASSERT_TRUE(first.Valid());
    EXPECT_TRUE(test::PollUntil(
        [&] {
            return port_->GetOpenerPath().value_or("") ==
                   std::filesystem::read_symlink("/proc/self/exe");
        },
        kWaitBound, kWaitStep));

    ASSERT_EQ(::ioctl(first.Get(), TIOCEXCL), 0) << strerror(errno);
    UniqueFd second = OpenPort();
    EXPECT_FALSE(second.Valid());
    EXPECT_EQ(errno, EBUSY);
    ASSERT_EQ(::ioctl(first.Get(), TIOCNXCL), 0);
    EXPECT_TRUE(OpenPort().Valid());

    // A tty ioctl the port has no use for, and a number no tty knows.
    int value = 0;
    EXPECT_EQ(::ioctl(first.Get(), TIOCGPGRP, &value), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(::ioctl(first.Get(), _IOR('q', 0x42, int), &value), -1);
    EXPECT_EQ(errno, ENOTTY);
    // The value ioctls carry a number, not a pointer.
    EXPECT_EQ(tcflush(first.Get(), TCIOFLUSH), 0) << strerror(errno);
    EXPECT_EQ(tcdrain(first.Get()), 0) << strerror(errno);
}

TEST_F(CuseGuestTest, DataBothWaysBlockingNonBlockingAndPolled) {
    UniqueFd fd = OpenPort();
    ASSERT_TRUE(fd.Valid());
    const std::string command = "FA;";
    ASSERT_EQ(::write(fd.Get(), command.data(), command.size()), 3);
    EXPECT_EQ(port_->BytesWaiting(), 3);
    uint8_t buffer[62] = {};
    ASSERT_EQ(port_->ReadFromPort(buffer, 62), 3);
    EXPECT_EQ(std::string(buffer, buffer + 3), command);
    EXPECT_EQ(port_->BytesWaiting(), 0);

    char got[64] = {};
    EXPECT_EQ(::read(fd.Get(), got, sizeof got), -1);
    EXPECT_EQ(errno, EAGAIN);
    pollfd p{fd.Get(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    EXPECT_TRUE(::poll(&p, 1, 0) == 0 && !(p.revents & POLLIN));

    // A poll that waits is woken by bytes from the device.
    auto polled = std::async(std::launch::async, [&] {
        pollfd q{fd.Get(), POLLIN, 0};
        return ::poll(&q, 1, 20000) == 1 && (q.revents & POLLIN);
    });
    EXPECT_TRUE(StillWaiting(polled));
    const uint8_t answer[] = {'F', 'A', '1', ';'};
    for (uint8_t byte : answer) ASSERT_TRUE(port_->WriteToPort(&byte, 1));
    ASSERT_TRUE(Finishes(polled));
    EXPECT_TRUE(polled.get());
    EXPECT_EQ(::read(fd.Get(), got, sizeof got), 4);
    EXPECT_EQ(std::string(got, 4), "FA1;");

    // A blocking reader sleeps until the device sends; like many programs, it opened the port
    // non-blocking (not to wait for a carrier) and then cleared O_NONBLOCK.
    UniqueFd blocking = OpenPort();
    ASSERT_TRUE(blocking.Valid());
    ASSERT_EQ(::fcntl(blocking.Get(), F_SETFL, 0), 0);
    auto read = std::async(std::launch::async, [&] {
        char b[8] = {};
        const ssize_t n = ::read(blocking.Get(), b, sizeof b);
        return n > 0 ? std::string(b, static_cast<size_t>(n))
                     : std::string("error ") + strerror(errno);
    });
    EXPECT_TRUE(StillWaiting(read));
    const uint8_t semicolon = ';';
    ASSERT_TRUE(port_->WriteToPort(&semicolon, 1));
    ASSERT_TRUE(Finishes(read));
    EXPECT_EQ(read.get(), ";");
}

void NoteSignal(int) {}

// A program blocked on the port must still answer to signals: Ctrl+C style interrupts end the
// wait with EINTR, and a killed program lets go of the port.
TEST_F(CuseGuestTest, WaitingProgramsCanBeInterruptedAndKilled) {
    struct sigaction action {};
    action.sa_handler = NoteSignal;  // no SA_RESTART: the read must come back with EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    UniqueFd fd = OpenPort(0);
    ASSERT_TRUE(fd.Valid());
    std::promise<pthread_t> reader;
    auto read = std::async(std::launch::async, [&] {
        reader.set_value(::pthread_self());
        char b[8];
        const ssize_t n = ::read(fd.Get(), b, sizeof b);
        return n < 0 ? errno : 0;
    });
    const pthread_t thread = reader.get_future().get();
    EXPECT_TRUE(StillWaiting(read));
    ::pthread_kill(thread, SIGUSR1);
    ASSERT_TRUE(Finishes(read));
    EXPECT_EQ(read.get(), EINTR);
    ::sigaction(SIGUSR1, &previous, nullptr);
    fd.Reset();
    ASSERT_TRUE(test::PollUntil([&] { return port_->IsOpen() == false; }, kWaitBound, kWaitStep));

    // A program killed while it waits for CTS.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int held = ::open(LinkPath().c_str(), O_RDWR | O_NOCTTY);
        const int rts = TIOCM_RTS;
        if (held < 0 || ::ioctl(held, TIOCMBIS, &rts) != 0) ::_exit(1);
        ::ioctl(held, TIOCMIWAIT, TIOCM_CTS);
        ::_exit(2);
    }
    ASSERT_TRUE(test::PollUntil([&] { return port_->GetRts() == true; }, kWaitBound, kWaitStep));
    ::kill(child, SIGKILL);
    int status = 0;
    EXPECT_TRUE(test::PollUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; },
                                kWaitBound, kWaitStep));
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(test::PollUntil([&] { return port_->IsOpen() == false; }, kWaitBound, kWaitStep));
    EXPECT_EQ(port_->GetRts(), false);
}

}  // namespace
}  // namespace qx::vm
