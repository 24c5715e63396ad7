// The built program as a process: second starts, one-shot switches and a missing port
// component, each in its own temporary home, run directory and ports directory.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/private_profile.h"
#include "tests/support/poll_until.h"
#include "tests/support/program_process.h"
#include "tests/support/temp_environment.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::ProgramPath;
using test::ProgramProcess;
using test::ReadFile;

class ProgramProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(ProgramPath())) GTEST_SKIP() << "qx-manager is not built";
        ::setenv("QXM_SIMULATED_DEVICES", "0", 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    void TearDown() override { ::unsetenv("QXM_SIMULATED_DEVICES"); }

    std::optional<int> RunToEnd(const std::vector<std::string>& args) {
        ProgramProcess process(args, Output());
        return process.Wait();
    }
    std::string Output() { return env_.Root() + "/process" + std::to_string(++runs_); }
    int HideInTray() const {
        return GetPrivateProfileInt("Appearance", "HideInTray", -1, env_.IniPath());
    }

    test::TempEnvironment env_;
    int runs_ = 0;
};

TEST_F(ProgramProcessTest, ASecondStartForwardsShowHideAndExitAndEnds) {
    {
        ProgramProcess first({"-s"}, Output());
        ASSERT_TRUE(first.WaitUntilRunning()) << first.Err();
        ProgramProcess second({"-m"}, Output());
        EXPECT_EQ(second.Wait(), 0);
        // Never became an instance of its own, and says what became of its request.
        EXPECT_EQ(
            second.Out(),
            "QX Manager is already running; its window is hidden in the notification area.\n");
        EXPECT_EQ(RunToEnd({"-x"}), 0);
        EXPECT_EQ(first.Wait(), 0);
    }
    EXPECT_EQ(HideInTray(), 1);  // the hide request reached the first instance

    ProgramProcess first({}, Output());
    ASSERT_TRUE(first.WaitUntilRunning()) << first.Err();
    EXPECT_EQ(RunToEnd({}), 0);  // a plain second start asks to show
    EXPECT_EQ(RunToEnd({"-x"}), 0);
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_EQ(HideInTray(), 0);
}

// "-x" returns only once the running program has released its ports and saved its settings,
// so a start right after it runs instead of handing its request to the ending program.
TEST_F(ProgramProcessTest, ExitReturnsOnceTheProgramHasEndedAndAStartRightAfterItRuns) {
    ::setenv("QXM_SIMULATED_DEVICES", "2", 1);
    const auto ports = [&] {
        int count = 0;
        if (fs::exists(env_.PortsDir())) {
            for (const auto& entry : fs::directory_iterator(env_.PortsDir()))
                count += entry.path().filename().string().rfind("COM", 0) == 0;
        }
        return count;
    };
    ProgramProcess first({"-m"}, Output());
    ASSERT_TRUE(first.WaitUntilRunning()) << first.Err();
    ASSERT_TRUE(test::PollUntil([&] { return ports() == 8; },
                                std::chrono::seconds(20),  // first scan: ~5 s
                                std::chrono::milliseconds(20)))
        << ports() << " ports; " << first.Err();

    EXPECT_EQ(RunToEnd({"-x"}), 0);
    EXPECT_TRUE(first.Wait(std::chrono::milliseconds(0))) << "still running when -x returned";
    EXPECT_EQ(ports(), 0) << "ports still there when -x returned";
    EXPECT_EQ(HideInTray(), 1) << "settings not saved when -x returned";
    EXPECT_EQ(first.Wait(), 0);

    ProgramProcess second({"-s"}, Output());
    ASSERT_TRUE(second.WaitUntilRunning()) << second.Err();
    EXPECT_EQ(RunToEnd({"-x"}), 0);
    EXPECT_EQ(second.Wait(), 0);
}

// Over ssh: the window cannot be had, and Qt would abort with a core. -h needs no display.
TEST_F(ProgramProcessTest, WithoutADisplayTheWindowStartSaysWhyAndHelpStillPrints) {
    // No display at all, or one that no server answers (a stale DISPLAY).
    const auto withEnvironment = [](std::vector<std::string> settings,
                                    const std::vector<std::string>& args) {
        const std::vector<std::string> command = test::ProgramCommand(args);
        settings.insert(settings.end(), command.begin(), command.end());
        return settings;
    };
    for (const char* display : {"-uDISPLAY", "DISPLAY=:99"}) {
        ProgramProcess start(
            "env", withEnvironment({"-uWAYLAND_DISPLAY", "-uQT_QPA_PLATFORM", display}, {"-s"}),
            Output());
        EXPECT_EQ(start.Wait(), 4) << start.Err();
        EXPECT_NE(start.Err().find("No display: start it with --headless, or set DISPLAY\n"),
                  std::string::npos)
            << start.Err();
    }
    ProgramProcess help("env", withEnvironment({"-uDISPLAY", "-uQT_QPA_PLATFORM"}, {"-h"}),
                        Output());
    EXPECT_EQ(help.Wait(), 0) << help.Err();
    EXPECT_EQ(help.Out().rfind("Usage: qx-manager", 0), 0u) << help.Out();
}

TEST_F(ProgramProcessTest, ExitWithNothingRunningSaysSoAndFails) {
    ProgramProcess exit({"-x"}, Output());
    const std::optional<int> code = exit.Wait();
    ASSERT_TRUE(code);
    EXPECT_NE(*code, 0);
    EXPECT_NE(exit.Err().find("No QX Manager is running."), std::string::npos) << exit.Err();
}

// A runtime folder others may write in (or another user's, after "sudo -E") is refused, and
// the user is told what is wrong and where instead of a silent status 0.
TEST_F(ProgramProcessTest, ARuntimeFolderThatIsNotPrivateStopsTheStartWithTheReason) {
    ASSERT_EQ(::chmod(env_.RuntimeDir().c_str(), 0775), 0);
    ProgramProcess process({}, Output());
    const std::optional<int> code = process.Wait();
    ASSERT_TRUE(code);
    EXPECT_NE(*code, 0);
    EXPECT_NE(process.Err().find(env_.RuntimeDir()), std::string::npos) << process.Err();
    EXPECT_NE(process.Err().find("mode 0775"), std::string::npos) << process.Err();
    EXPECT_EQ(process.Out().find("Virtual ports"), std::string::npos);
}

TEST_F(ProgramProcessTest, ASettingsFileThatCannotBeWrittenIsToldOnceAndTheRunGoesOn) {
    fs::create_directories(env_.IniPath());  // a directory in the file's place
    ProgramProcess first({"-m"}, Output());
    ASSERT_TRUE(first.WaitUntilRunning()) << first.Err();
    EXPECT_EQ(RunToEnd({"-x"}), 0);
    EXPECT_EQ(first.Wait(), 0);
    const std::string told =
        "The settings cannot be saved to " + env_.IniPath() + ": Is a directory.";
    const std::string err = first.Err();
    ASSERT_NE(err.find(told), std::string::npos) << err;
    EXPECT_EQ(err.find(told, err.find(told) + 1), std::string::npos) << "told more than once";
}

TEST_F(ProgramProcessTest, TerminationSignalEndsTheRunWithSettingsWritten) {
    ProgramProcess first({"-m"}, Output());
    ASSERT_TRUE(first.WaitUntilRunning()) << first.Err();
    first.Signal(SIGTERM);  // as Ctrl+C or a session's end would
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_EQ(HideInTray(), 1);
}

TEST_F(ProgramProcessTest, AutostartSwitchesWriteAndDeleteTheEntry) {
    const fs::path autostart = env_.Root() + "/config/autostart";
    EXPECT_EQ(RunToEnd({"-a"}), 0);
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(autostart)) entries.push_back(entry.path());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(ReadFile(entries[0]).find(ProgramPath() + " -m"), std::string::npos);

    EXPECT_EQ(RunToEnd({"-n"}), 0);
    EXPECT_FALSE(fs::exists(entries[0]));
}

TEST_F(ProgramProcessTest, WithoutThePortComponentItSaysSoAndEnds) {
    const std::string notADirectory = env_.Root() + "/ports-file";
    std::ofstream(notADirectory) << "x";
    ::setenv("QXM_PORTS_DIR", notADirectory.c_str(), 1);
    ProgramProcess process({}, Output());
    const std::optional<int> code = process.Wait();
    ASSERT_TRUE(code);
    EXPECT_NE(*code, 0);
    EXPECT_NE(process.Err().find("The virtual serial ports cannot be made"), std::string::npos)
        << process.Err();
    EXPECT_NE(process.Err().find(notADirectory), std::string::npos) << process.Err();
    EXPECT_EQ(process.Out().find("Virtual ports"), std::string::npos);
    EXPECT_TRUE(fs::exists(env_.IniPath()));  // created all the same
}

}  // namespace
}  // namespace qx
