#include "app/instance_start.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/support/poll_until.h"
#include "tests/support/temp_home.h"

namespace qx {
namespace {

using namespace std::chrono_literals;

class InstanceStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* language = std::getenv("LC_ALL")) savedLanguage_ = language;
        ::setenv("LC_ALL", "C", 1);  // the English texts
    }
    void TearDown() override {
        if (savedLanguage_.empty())
            ::unsetenv("LC_ALL");
        else
            ::setenv("LC_ALL", savedLanguage_.c_str(), 1);
    }

    std::unique_ptr<SingleInstance> Own() const {
        auto owner = SingleInstance::Acquire(dir_);
        return owner ? std::move(*owner) : nullptr;
    }

    // The running instance's side on a thread of its own, as the program does it: it serves
    // requests; an exit request stops the listening, then the settings are saved and the run
    // (the lock) is let go.
    void RunOwner() {
        owner_ = std::thread([this] {
            while (instance_) {
                pollfd watch{instance_->Fd(), POLLIN, 0};
                if (::poll(&watch, 1, 5000) != 1) return;
                instance_->ServeRequests([this](int code) {
                    handled_ = code;
                    if (code == kRequestExit) instance_->StopListening();
                });
                if (handled_ == kRequestExit) {
                    saved_ = true;
                    instance_.reset();
                }
            }
        });
    }

    test::TempHome home_;
    const std::string dir_ = home_.Root();
    std::string savedLanguage_;
    std::unique_ptr<SingleInstance> instance_;
    std::thread owner_;
    std::atomic<int> handled_{0};
    std::atomic<bool> saved_{false};
    const InstanceWaits quick_{100ms, 1s};
};

TEST_F(InstanceStartTest, ExitReturnsOnlyAfterTheRunningInstanceHasEnded) {
    instance_ = Own();
    ASSERT_TRUE(instance_);
    RunOwner();
    const Expected<void> ended = EndRunningInstance(dir_, InstanceWaits{});
    EXPECT_TRUE(ended);
    EXPECT_TRUE(saved_) << "returned before the settings were saved";
    EXPECT_FALSE(IsRunHeld(dir_));
    EXPECT_EQ(ended.error().message, "");
    owner_.join();
}

// The program lets go of the run before its windows and threads are gone; -x waits for the
// process itself, so a start or an unplug right after it meets no remains.
TEST_F(InstanceStartTest, ExitReturnsOnlyAfterTheRunningProcessHasExited) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto acquired = SingleInstance::Acquire(dir_);
        auto instance = acquired ? std::move(*acquired) : nullptr;
        bool exit = false;
        pollfd watch{instance ? instance->Fd() : -1, POLLIN, 0};
        while (instance && !exit && ::poll(&watch, 1, 5000) == 1) {
            instance->ServeRequests([&](int code) {
                exit = code == kRequestExit;
                if (exit) instance->StopListening();
            });
        }
        instance.reset();
        ::usleep(300'000);  // the rest of the shutdown, after the run was let go
        ::_exit(0);
    }
    ASSERT_TRUE(test::PollUntil([&] { return IsRunHeld(dir_); }, 5s));
    const Expected<void> exited = EndRunningInstance(dir_, InstanceWaits{});
    EXPECT_TRUE(exited) << exited.error().message;
    int status = 0;
    const pid_t ended = ::waitpid(child, &status, WNOHANG);
    EXPECT_EQ(ended, child) << "returned while the process ran on";
    if (ended != child) ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << "the owner did not serve the exit request";
}

// Each way -x can fail says which: nobody to ask, an owner that never took the request, one that
// took it and did not end.
TEST_F(InstanceStartTest, ExitWithNoneRunningOrOneThatDoesNotAnswerOrEndFailsAndSaysWhich) {
    const Expected<void> noneRunning = EndRunningInstance(dir_, quick_);
    EXPECT_FALSE(noneRunning);
    EXPECT_EQ(noneRunning.error().message, "No QX Manager is running.");

    auto hanging = Own();  // holds the run, never reads a request
    ASSERT_TRUE(hanging);
    const Expected<void> notAnswered = EndRunningInstance(dir_, quick_);
    EXPECT_FALSE(notAnswered);
    EXPECT_EQ(notAnswered.error().message,
              "The running QX Manager did not answer within 1 seconds.");

    // Takes the request and stops listening, but keeps the run.
    std::thread taking([&] {
        pollfd watch{hanging->Fd(), POLLIN, 0};
        for (bool taken = false; !taken && ::poll(&watch, 1, 5000) == 1;)
            hanging->ServeRequests([&](int) { taken = true; });
        hanging->StopListening();
    });
    const Expected<void> notEnded = EndRunningInstance(dir_, quick_);
    taking.join();
    EXPECT_FALSE(notEnded);
    EXPECT_EQ(notEnded.error().message, "The running QX Manager did not end within 1 seconds.");
}

TEST_F(InstanceStartTest, ASecondStartHandsItsRequestOverAndEndsQuietly) {
    instance_ = Own();
    ASSERT_TRUE(instance_);
    RunOwner();
    const InstanceStart start = TakeRunOrForward(dir_, kRequestHide, InstanceWaits{});
    EXPECT_FALSE(start.run);
    EXPECT_TRUE(start.forwarded);
    EXPECT_EQ(start.error.message, "");
    EXPECT_EQ(handled_, kRequestHide);
    EXPECT_TRUE(EndRunningInstance(dir_, InstanceWaits{}));
    owner_.join();
}

TEST_F(InstanceStartTest, AStartDuringAShutdownWaitsForItAndThenRuns) {
    instance_ = Own();
    ASSERT_TRUE(instance_);
    instance_->StopListening();  // ending: ports and settings still to go
    std::thread ending([this] { instance_.reset(); });
    const InstanceStart started = TakeRunOrForward(dir_, kRequestShow, InstanceWaits{});
    ending.join();
    EXPECT_TRUE(started.run);
    EXPECT_FALSE(started.forwarded);
    EXPECT_EQ(started.error.message, "");
}

TEST_F(InstanceStartTest, ALockHeldWithoutAnswerIsToldWithItsPath) {
    const auto silent = Own();
    ASSERT_TRUE(silent);
    silent->StopListening();
    const InstanceStart start = TakeRunOrForward(dir_, kRequestShow, quick_);
    EXPECT_FALSE(start.run || start.forwarded);
    const std::string& message = start.error.message;
    EXPECT_NE(message.find(RunLockPath(dir_)), std::string::npos) << message;
    EXPECT_NE(message.find("does not answer"), std::string::npos) << message;
}

TEST_F(InstanceStartTest, AFolderThatIsNotPrivateIsToldWithWhatIsWrongAndWhere) {
    ASSERT_EQ(::chmod(dir_.c_str(), 0775), 0);
    const InstanceStart notPrivate = TakeRunOrForward(dir_, kRequestShow, quick_);
    EXPECT_FALSE(notPrivate.run || notPrivate.forwarded);
    EXPECT_NE(notPrivate.error.message.find(dir_), std::string::npos) << notPrivate.error.message;
    EXPECT_NE(notPrivate.error.message.find("mode 0775"), std::string::npos)
        << notPrivate.error.message;

    const InstanceStart noFolder = TakeRunOrForward("/proc/no-such-run", kRequestShow, quick_);
    EXPECT_FALSE(noFolder.run || noFolder.forwarded);
    EXPECT_NE(noFolder.error.message.find("mkdir failed for /proc/no-such-run"), std::string::npos)
        << noFolder.error.message;
    EXPECT_NE(noFolder.error.code, 0) << "the failed call's errno is kept";
}

}  // namespace
}  // namespace qx
