#include "platform/autostart.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "tests/support/temp_home.h"

namespace qx {
namespace {

using test::ReadBytes;
using test::WriteBytes;

constexpr const char* kValueName = "Halvorn QX Manager";

class Autostart : public ::testing::Test {
protected:
    test::TempHome home;
    std::string entry = home.ConfigHome() + "/autostart/halvorn-qx-manager.desktop";
};

TEST_F(Autostart, OnQueryOff) {
    EXPECT_FALSE(QueryAutostart(kValueName));
    ASSERT_TRUE(WriteAutostart(ProgramPath() + " -m", kValueName, true));
    EXPECT_TRUE(QueryAutostart(kValueName));
    const std::string text = ReadBytes(entry);
    EXPECT_NE(text.find("\nName=Halvorn QX Manager\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=" + ProgramPath() + " -m\n"), std::string::npos);
    EXPECT_NE(text.find("\nIcon=qx-manager\n"), std::string::npos);

    EXPECT_TRUE(WriteAutostart("", kValueName, false));
    EXPECT_FALSE(QueryAutostart(kValueName));
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_TRUE(WriteAutostart("", kValueName, false));  // already off
}

TEST_F(Autostart, WithoutXdgConfigHomeTheEntryLivesUnderDotConfig) {
    ::unsetenv("XDG_CONFIG_HOME");
    ASSERT_TRUE(WriteAutostart(ProgramPath() + " -m", kValueName, true));
    EXPECT_TRUE(
        std::filesystem::exists(home.Root() + "/.config/autostart/halvorn-qx-manager.desktop"));
}

TEST_F(Autostart, AnEntrySwitchedOffByTheDesktopCountsAsOff) {
    std::filesystem::create_directories(home.ConfigHome() + "/autostart");
    WriteBytes(entry, "[Desktop Entry]\nType=Application\nExec=x -m\nHidden=true\n");
    EXPECT_FALSE(QueryAutostart(kValueName));
}

TEST_F(Autostart, AFailedWriteSaysWhy) {
    WriteBytes(home.ConfigHome(), "a file where the folder should be");
    const Expected<void> written = WriteAutostart(ProgramPath() + " -m", kValueName, true);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, ENOTDIR) << written.error().message;
    EXPECT_NE(written.error().message.find(home.ConfigHome()), std::string::npos)
        << written.error().message;
    EXPECT_FALSE(QueryAutostart(kValueName));
}

TEST(AutostartCommand, PathsAreQuotedForTheExecLine) {
    EXPECT_EQ(QuoteExecArgument("/usr/bin/qx-manager"), "/usr/bin/qx-manager");
    EXPECT_EQ(QuoteExecArgument("/opt/QX Manager/qx-manager"), "\"/opt/QX Manager/qx-manager\"");
    EXPECT_EQ(QuoteExecArgument("/a b/$x\"`\\"), "\"/a b/\\$x\\\"\\`\\\\\"");
    EXPECT_EQ(QuoteExecArgument("/100%/qx"), "/100%%/qx");
}

TEST(AutostartCommand, ProgramPathIsThisExecutable) {
    const std::string path = ProgramPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(std::filesystem::path(path).filename(), "qx_core_tests");
}

}  // namespace
}  // namespace qx
