// The built program as a process: second starts, one-shot switches and a missing port
// component, each in its own temporary home, run directory and ports directory.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/private_profile.h"
#include "tests/support/temp_environment.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The program beside the test binary's folder: build/tests/qx_ui_tests -> build/qx-manager.
std::string ProgramPath() {
    return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "qx-manager").string();
}

class Process {
public:
    Process(const std::vector<std::string>& args, const std::string& outputPrefix)
        : out_(outputPrefix + ".out"), err_(outputPrefix + ".err") {
        std::vector<std::string> argv{ProgramPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            std::vector<char*> raw;
            for (std::string& arg : argv) raw.push_back(arg.data());
            raw.push_back(nullptr);
            ::execv(raw[0], raw.data());
            ::_exit(127);
        }
    }
    ~Process() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The exit code, or nullopt when the process has not ended within the bound.
    std::optional<int> Wait(std::chrono::milliseconds bound = 10s) {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (!status_) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else if (std::chrono::steady_clock::now() > end) {
                return std::nullopt;
            } else {
                std::this_thread::sleep_for(10ms);
            }
        }
        return status_;
    }

    // Waits (bounded) until the running instance says where its ports are.
    bool WaitUntilRunning() {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (Out().find("Virtual ports") == std::string::npos) {
            if (std::chrono::steady_clock::now() > end || Wait(0ms)) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    void Signal(int number) const { ::kill(pid_, number); }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

class ProgramProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(ProgramPath())) GTEST_SKIP() << "qx-manager is not built";
        ::setenv("QXM_SIMULATED_DEVICES", "0", 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    void TearDown() override { ::unsetenv("QXM_SIMULATED_DEVICES"); }

    std::optional<int> RunToEnd(const std::vector<std::string>& args) {
        Process process(args, Output());
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
        Process first({"-s"}, Output());
        ASSERT_TRUE(first.WaitUntilRunning()) << first.Err();
        Process second({"-m"}, Output());
        EXPECT_EQ(second.Wait(), 0);
        EXPECT_EQ(second.Out(), "");  // never became an instance of its own
        EXPECT_EQ(RunToEnd({"-x"}), 0);
        EXPECT_EQ(first.Wait(), 0);
    }
    EXPECT_EQ(HideInTray(), 1);  // the hide request reached the first instance

    Process first({}, Output());
    ASSERT_TRUE(first.WaitUntilRunning()) << first.Err();
    EXPECT_EQ(RunToEnd({}), 0);  // a plain second start asks to show
    EXPECT_EQ(RunToEnd({"-x"}), 0);
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_EQ(HideInTray(), 0);
}

TEST_F(ProgramProcessTest, TerminationSignalEndsTheRunWithSettingsWritten) {
    Process first({"-m"}, Output());
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
    Process process({}, Output());
    const std::optional<int> code = process.Wait();
    ASSERT_TRUE(code);
    EXPECT_NE(*code, 0);
    EXPECT_NE(process.Err().find("VSPort Error 1."), std::string::npos) << process.Err();
    EXPECT_EQ(process.Out().find("Virtual ports"), std::string::npos);
    EXPECT_TRUE(fs::exists(env_.IniPath()));  // created all the same
}

}  // namespace
}  // namespace qx
