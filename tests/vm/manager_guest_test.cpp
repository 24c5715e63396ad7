// On a kernel with uhid and cuse (the virtual machine of tests/vm/run.sh): the real qx-manager
// with its hidraw backend and CUSE ports against a qx_uhid device, checked from the outside the
// way radio programs and the user meet it.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ports_directory.h"
#include "tests/support/radio_program.h"
#include "tests/support/temp_environment.h"
#include "tests/vm/manager_process.h"

namespace qx::vm {
namespace {

using namespace std::chrono_literals;
using test::ProgramParity;
using test::RadioProgram;

constexpr auto kStartBound =
    120s;  // the first scan comes about five seconds after start, slower here
constexpr const char* kSerial = "QX4SIM0001";
constexpr int kPorts[] = {3, 4, 5, 6};  // CAT, PTT/CW, FSK, WinKey
constexpr int kCatPort = 3, kPttPort = 4, kFskPort = 5;

class ManagerGuestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(access("/dev/cuse", R_OK | W_OK), 0)
            << "needs /dev/cuse: run it through tests/vm/run.sh";
        ASSERT_EQ(access("/dev/uhid", R_OK | W_OK), 0) << "needs /dev/uhid";
        logs_ = env_.Root() + "/logs";
        std::filesystem::create_directories(logs_);
        // The user's earlier choice of port numbers for this interface.
        std::filesystem::create_directories(std::filesystem::path(env_.IniPath()).parent_path());
        test::WriteBytes(env_.IniPath(),
                         test::Utf16("[Interface-QX4SIM0001]\r\nPortCat=3\r\nPortPttCw=4\r\n"
                                     "PortFsk=5\r\nPortWinkey=6\r\n"));
    }
    void TearDown() override {
        if (!HasFailure()) return;
        for (const auto& entry : std::filesystem::directory_iterator(logs_))
            std::printf("--- %s\n%s\n", entry.path().filename().c_str(),
                        ReadText(entry.path()).c_str());
    }

    std::string PortPath(int number) const { return qx::PortPath(env_.PortsDir(), number); }
    // The port's name leads to a live character device.
    bool PortServed(int number) const {
        struct stat st {};
        return ::stat(PortPath(number).c_str(), &st) == 0 && S_ISCHR(st.st_mode);
    }
    bool AllPortsServed() const {
        return std::all_of(std::begin(kPorts), std::end(kPorts),
                           [&](int n) { return PortServed(n); });
    }
    bool NoPortServed() const {
        return std::none_of(std::begin(kPorts), std::end(kPorts),
                            [&](int n) { return PortServed(n); });
    }

    // The program raises RTS and DTR; then end() runs, after which the device must have been
    // told CW off, then PTT off (the keyed state's own repeat may still go out first).
    static void ExpectUnkeyedBy(const RadioProgram& ptt, const UhidProcess& device,
                                const std::function<void()>& end) {
        const int both = TIOCM_RTS | TIOCM_DTR;
        const long long keyed = MonotonicMicroseconds();
        ASSERT_EQ(::ioctl(ptt.Fd(), TIOCMBIS, &both), 0);
        ASSERT_TRUE(
            test::PollUntil([&] { return LineReportAfter(device, "03", keyed).has_value(); },
                            kWaitBound, kWaitStep));
        const long long ending = MonotonicMicroseconds();
        end();
        ASSERT_TRUE(
            test::PollUntil([&] { return LineReportAfter(device, "00", ending).has_value(); },
                            kWaitBound, kWaitStep));
        std::vector<std::string> lines = LineReportsAfter(device, ending);
        std::erase(lines, "03");
        EXPECT_EQ(lines.front(), "01");
        EXPECT_EQ(lines.back(), "00");
    }

    test::TempEnvironment env_;
    std::filesystem::path logs_;
};

TEST_F(ManagerGuestTest, RadioProgramsDriveTheDeviceThroughTheRunningProgram) {
    auto device = std::make_unique<UhidProcess>(kSerial, logs_ / "device.log");
    ASSERT_TRUE(device->Started());
    ManagerProcess manager({}, logs_ / "qx-manager.log");
    ASSERT_TRUE(manager.Started());

    // The saved port numbers come back as ports once the program has found the device.
    ASSERT_TRUE(test::PollUntil([&] { return AllPortsServed(); }, kStartBound, kWaitStep))
        << "no ports in " << env_.PortsDir();
    EXPECT_NE(ReadText(logs_ / "qx-manager.log")
                  .find("Virtual ports (CUSE) are published in " + env_.PortsDir()),
              std::string::npos);
    EXPECT_EQ(std::filesystem::read_symlink(PortPath(kPttPort)), "/dev/qx-COM4");

    {
        // PTT on RTS, CW on DTR, as a rig-control program keys them; several rounds for figures.
        RadioProgram ptt(PortPath(kPttPort));
        ASSERT_TRUE(ptt.Valid());
        CheckKeyingRounds(ptt, *device, "", "");

        // The radio's own keying input reaches the program as CTS.
        auto cts = [&] {
            int bits = 0;
            return ::ioctl(ptt.Fd(), TIOCMGET, &bits) == 0 && (bits & TIOCM_CTS);
        };
        EXPECT_FALSE(cts());
        ASSERT_TRUE(device->SendLine("input-state 1"));
        EXPECT_TRUE(test::PollUntil(cts, kWaitBound, kWaitStep));
        ASSERT_TRUE(device->SendLine("input-state 0"));
        EXPECT_TRUE(test::PollUntil([&] { return !cts(); }, kWaitBound, kWaitStep));

        // A program that ends while keyed: both lines go off, CW first.
        const int both = TIOCM_RTS | TIOCM_DTR;
        const long long keyed = MonotonicMicroseconds();
        ASSERT_EQ(::ioctl(ptt.Fd(), TIOCMBIS, &both), 0);
        ASSERT_TRUE(
            test::PollUntil([&] { return LineReportAfter(*device, "03", keyed).has_value(); },
                            kWaitBound, kWaitStep));
        const long long closed = MonotonicMicroseconds();
        ptt.Close();
        ASSERT_TRUE(
            test::PollUntil([&] { return LineReportAfter(*device, "00", closed).has_value(); },
                            kWaitBound, kWaitStep));
        // Before the link notices, the keyed state's own repeat may still go out.
        std::vector<std::string> afterClose = LineReportsAfter(*device, closed);
        std::erase(afterClose, "03");
        EXPECT_EQ(afterClose, (std::vector<std::string>{"01", "00"}));
    }
    {
        // A rig-control program sets up the CAT port; a teletype program the FSK port.
        RadioProgram cat(PortPath(kCatPort));
        RadioProgram fsk(PortPath(kFskPort));
        ASSERT_TRUE(cat.Valid() && fsk.Valid());
        ASSERT_TRUE(cat.Configure(4800, 7, ProgramParity::kEven, 2));
        ASSERT_TRUE(fsk.Configure(45, 5, ProgramParity::kNone, 2));
        auto sent = [&](const std::string& text) {
            const auto commands = device->Commands();
            return std::find(commands.begin(), commands.end(), text) - commands.begin();
        };
        auto wasSent = [&](const std::string& text) {
            return sent(text) < std::ssize(device->Commands());
        };
        ASSERT_TRUE(test::PollUntil(
            [&] { return wasSent("SET CAT;MODE=7E2") && wasSent("SET FSK;MODE=5N1.5"); },
            kWaitBound, kWaitStep));
        ASSERT_TRUE(wasSent("SET CAT;SPEED=4800"));
        EXPECT_LT(sent("SET CAT;SPEED=4800"), sent("SET CAT;MODE=7E2"));
        // 45 baud is what the device runs FSK at already: no speed command.
        for (const std::string& command : device->Commands())
            EXPECT_EQ(command.rfind("SET FSK;SPEED", 0), std::string::npos);
    }

    // Unplugged: the ports leave with the device; plugged in again: back under the same names.
    ASSERT_EQ(device->Destroy(), 0);
    EXPECT_TRUE(test::PollUntil([&] { return NoPortServed(); }, 60s, kWaitStep))
        << "ports still served after the unplug";
    device = std::make_unique<UhidProcess>(kSerial, logs_ / "device-again.log");
    ASSERT_TRUE(device->Started());
    EXPECT_TRUE(test::PollUntil([&] { return AllPortsServed(); }, kStartBound, kWaitStep))
        << "ports not back after the replug";
    EXPECT_TRUE(test::PollUntil([&] { return device->Logged("CMD VER"); }, 60s, kWaitStep));

    // A second start with -x ends the running one, which saves the interface's settings; a
    // program holding the keying lines on meanwhile leaves the device unkeyed.
    RadioProgram ptt(PortPath(kPttPort));
    ASSERT_TRUE(ptt.Valid());
    ExpectUnkeyedBy(ptt, *device, [&] {
        ManagerProcess exitRequest({"-x"}, logs_ / "qx-manager-x.log");
        EXPECT_EQ(exitRequest.Wait(60s), 0);
        EXPECT_EQ(manager.Wait(60s), 0);
    });
    const std::string ini = ReadText(env_.IniPath());
    for (const char* saved :
         {"PortCat=3", "PortPttCw=4", "PortFsk=5", "PortWinkey=6", "Product=Halvorn QX-4"})
        EXPECT_NE(ini.find(test::Utf16(saved).substr(2)), std::string::npos) << saved;
    EXPECT_TRUE(NoPortServed());
    EXPECT_EQ(device->Destroy(), 0);
}

// A program holds RTS and DTR on when its keying port is released (--set-port ... 0) and when the
// program gets SIGTERM: each time the device is left unkeyed, CW first.
TEST_F(ManagerGuestTest, ReleasingTheKeyingPortOrSigtermLeavesTheDeviceUnkeyed) {
    UhidProcess device(kSerial, logs_ / "device.log");
    ASSERT_TRUE(device.Started());
    ManagerProcess manager({}, logs_ / "qx-manager.log");
    ASSERT_TRUE(test::PollUntil([&] { return AllPortsServed(); }, kStartBound, kWaitStep));
    const auto setPort = [&](const char* number) {
        return ManagerProcess({"--set-port", kSerial, "PTTCW", number}, logs_ / "set-port.log")
            .Wait(60s);
    };
    {
        RadioProgram ptt(PortPath(kPttPort));
        ASSERT_TRUE(ptt.Valid());
        ExpectUnkeyedBy(ptt, device, [&] { EXPECT_EQ(setPort("0"), 0); });
    }
    ASSERT_EQ(setPort("4"), 0);
    ASSERT_TRUE(test::PollUntil([&] { return PortServed(kPttPort); }, kWaitBound, kWaitStep));
    // The release left the device unkeyed and the link's lines off, so the lines the program on
    // the new port raises reach the device.
    RadioProgram ptt(PortPath(kPttPort));
    ASSERT_TRUE(ptt.Valid());
    ExpectUnkeyedBy(ptt, device, [&] {
        manager.Signal(SIGTERM);
        EXPECT_EQ(manager.Wait(60s), 0);
    });
    EXPECT_EQ(device.Destroy(), 0);
}

// kill -9 while a program holds RTS on the keying port, a few times (QX_VM_KILL_ROUNDS, e.g. 20
// for the figure): each round starts the program anew and plugs the interface in after it; the
// delay from the kill to the device's all-off report is printed for the record.
TEST_F(ManagerGuestTest, KillingTheProgramWhileKeyedUnkeysTheDevice) {
    const char* rounds = std::getenv("QX_VM_KILL_ROUNDS");
    const int kRounds = rounds ? std::max(1, std::atoi(rounds)) : 5;
    std::vector<double> delays;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::filesystem::path log = logs_ / ("qx-manager-" + std::to_string(round) + ".log");
        ManagerProcess manager({"--headless"}, log);
        ASSERT_TRUE(test::PollUntil(
            [&] { return ReadText(log).find("Device notices come from") != std::string::npos; },
            60s, kWaitStep));
        UhidProcess device(kSerial, logs_ / ("device-" + std::to_string(round) + ".log"));
        ASSERT_TRUE(device.Started());
        ASSERT_TRUE(test::PollUntil([&] { return AllPortsServed(); }, kStartBound, kWaitStep));
        {
            RadioProgram ptt(PortPath(kPttPort));
            ASSERT_TRUE(ptt.Valid());
            const std::optional<double> delay = KillWhileKeyedAndMeasure(manager, ptt, device);
            ASSERT_TRUE(delay) << "the device stayed keyed";
            delays.push_back(*delay);
        }
        EXPECT_EQ(device.Destroy(), 0);
        ASSERT_TRUE(test::PollUntil([&] { return NoPortServed(); }, 60s, kWaitStep));
    }
    PrintFigures("kill -9 while keyed", delays);
    std::sort(delays.begin(), delays.end());
    RecordProperty("unkey_after_kill_median_us", static_cast<int>(delays[kRounds / 2] * 1000));
    for (double ms : delays) EXPECT_LT(ms, 1000.0);
}

// With "RemovePortsOnDeviceRemoval" off, a program holding a pseudo-terminal CAT port goes on
// with the same descriptor across an unplug and a replug: while the interface is away, what it
// writes is taken and reads wait; once it is back, its CAT questions are answered again.
TEST_F(ManagerGuestTest, WithPortsKeptAPseudoTerminalPortOutlivesAnUnplug) {
    test::WriteBytes(env_.IniPath(),
                     test::Utf16("[Interface-QX4SIM0001]\r\nPortCat=3\r\n[Ports]\r\n"
                                 "RemovePortsOnDeviceRemoval=0\r\n"));
    auto device = std::make_unique<UhidProcess>(kSerial, logs_ / "device.log");
    ASSERT_TRUE(device->Started());
    ManagerProcess manager({}, logs_ / "qx-manager.log", {"QXM_PORT_KIND=pty"});
    ASSERT_TRUE(test::PollUntil([&] { return RadioProgram(PortPath(kCatPort)).Valid(); },
                                kStartBound, kWaitStep));
    RadioProgram cat(PortPath(kCatPort));
    ASSERT_TRUE(cat.Valid());
    ASSERT_TRUE(cat.Configure(4800, 8, ProgramParity::kNone, 1));
    const auto answered = [&](std::chrono::milliseconds within) {
        if (cat.Write({'F', 'A', ';'}) != 3) return false;
        const std::vector<uint8_t> answer = cat.Read(14, within);
        return answer.size() == 14 && answer[0] == 'F' && answer[1] == 'A';
    };
    ASSERT_TRUE(answered(5s));

    ASSERT_EQ(device->Destroy(), 0);
    const auto waiting = [&] {
        const std::filesystem::path log = logs_ / "status.log";
        std::filesystem::remove(log);
        ManagerProcess({"--status"}, log, {"QXM_PORT_KIND=pty"}).Wait(60s);
        return ReadText(log).find("Ports waiting for interface QX4SIM0001:") != std::string::npos;
    };
    ASSERT_TRUE(test::PollUntil(waiting, 60s, 200ms));
    EXPECT_EQ(cat.Write({'F', 'A', ';'}, 1s), 3u);
    EXPECT_TRUE(cat.Read(1, 300ms).empty());
    EXPECT_TRUE(RadioProgram(PortPath(kCatPort)).Valid()) << "the name still opens";

    device = std::make_unique<UhidProcess>(kSerial, logs_ / "device-again.log");
    ASSERT_TRUE(device->Started());
    const long long replugged = MonotonicMicroseconds();
    ASSERT_TRUE(test::PollUntil([&] { return answered(200ms); }, kStartBound, kWaitStep));
    const double answeredAfter = (MonotonicMicroseconds() - replugged) / 1000.0;
    std::printf("the held pseudo-terminal CAT port answers again %.1f ms after the replug\n",
                answeredAfter);
    RecordProperty("kept_pty_cat_answers_after_replug_ms", static_cast<int>(answeredAfter));
    EXPECT_TRUE(test::PollUntil(
        [&] {
            const auto commands = device->Commands();
            return std::find(commands.begin(), commands.end(), "SET CAT;SPEED=4800") !=
                   commands.end();
        },
        kWaitBound, kWaitStep));
    manager.Signal(SIGTERM);
    EXPECT_EQ(manager.Wait(60s), 0);
    EXPECT_EQ(device->Destroy(), 0);
}

// A device that answers every command 100 ms late, as a loaded machine meets it: the start-up's
// replies are read under later commands. No report id is taken from them; the program asks each
// description again at its settings polls, a bounded number of times, and the keying input and
// the CAT port work on the device's ids throughout.
TEST_F(ManagerGuestTest, ADeviceAnsweringLateIsAskedAgainAndKeepsItsReportIds) {
    UhidProcess device(kSerial, logs_ / "device.log", 100ms);
    ASSERT_TRUE(device.Started());
    ManagerProcess manager({}, logs_ / "qx-manager.log");
    ASSERT_TRUE(test::PollUntil([&] { return AllPortsServed(); }, kStartBound, kWaitStep));

    RadioProgram ptt(PortPath(kPttPort));
    RadioProgram cat(PortPath(kCatPort));
    ASSERT_TRUE(ptt.Valid() && cat.Valid());
    auto cts = [&] {
        int bits = 0;
        return ::ioctl(ptt.Fd(), TIOCMGET, &bits) == 0 && (bits & TIOCM_CTS);
    };
    ASSERT_TRUE(device.SendLine("input-state 1"));
    EXPECT_TRUE(test::PollUntil(cts, kWaitBound, kWaitStep)) << "keying input not on PTT/CW's id";
    const std::string question = "FA;";
    ASSERT_EQ(cat.Write({question.begin(), question.end()}), question.size());
    const auto answer = cat.Read(14, kWaitBound);
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "FA00014074000;");

    const auto asked = [&](const std::string& text) {
        return std::ranges::count(device.Commands(), text);
    };
    ASSERT_TRUE(
        test::PollUntil([&] { return asked("GET WINKEY;DESC") >= 2; }, kStartBound, kWaitStep))
        << "the descriptions were not asked again";
    for (const char* text : {"GET CAT;DESC", "GET PTTCW;DESC", "GET FSK;DESC", "GET WINKEY;DESC"}) {
        EXPECT_GE(asked(text), 2) << text;
        EXPECT_LE(asked(text), 4) << text;
    }

    manager.Signal(SIGTERM);
    EXPECT_EQ(manager.Wait(60s), 0);
    EXPECT_EQ(device.Destroy(), 0);
}

}  // namespace
}  // namespace qx::vm
