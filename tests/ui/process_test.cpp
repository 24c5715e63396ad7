// The built program as a process: second starts, one-shot switches and a missing port
// component, each in its own temporary home, run directory and ports directory.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/private_profile.h"
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
        EXPECT_EQ(second.Out(), "");  // never became an instance of its own
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
    EXPECT_NE(process.Err().find("VSPort Error 1."), std::string::npos) << process.Err();
    EXPECT_EQ(process.Out().find("Virtual ports"), std::string::npos);
    EXPECT_TRUE(fs::exists(env_.IniPath()));  // created all the same
}

}  // namespace
}  // namespace qx
