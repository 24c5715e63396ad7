#include "platform/single_instance.h"
#include "tests/support/temp_home.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

namespace qx {
namespace {

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = home_.Root(); }

    // Waits (bounded) until the owner's socket has a connection waiting.
    static bool Readable(const SingleInstance& owner) {
        pollfd watch{owner.Fd(), POLLIN, 0};
        return ::poll(&watch, 1, 2000) == 1;
    }

    // The codes the owner is handed now, in order.
    static std::vector<int> Serve(SingleInstance& owner) {
        std::vector<int> codes;
        owner.ServeRequests([&codes](int code) { codes.push_back(code); });
        return codes;
    }

    // Connects to the owner and writes raw bytes, as a confused or hostile client would.
    void SendRaw(const void* bytes, std::size_t size) {
        UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, (dir_ + "/qx-manager.sock").c_str());
        ASSERT_EQ(::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)),
                  0);
        if (size > 0) {
            ASSERT_EQ(::write(client.Get(), bytes, size), static_cast<ssize_t>(size));
        }
    }

    test::TempHome home_;
    std::string dir_;
};

TEST_F(SingleInstanceTest, OnlyOneOwnerAtATimeAndTheNextOneAfterItEnds) {
    auto first = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(first);
    EXPECT_FALSE(SingleInstance::Acquire(dir_));
    first.reset();
    EXPECT_TRUE(SingleInstance::Acquire(dir_));
}

TEST_F(SingleInstanceTest, RequestsReachTheOwnerInOrderAndAreAnsweredOnceHandled) {
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    EXPECT_TRUE(Serve(*owner).empty());  // nothing waiting: returns at once
    std::vector<int> handled;
    std::vector<bool> answered;
    std::thread sender([&] {
        for (int code : {kRequestHide, kRequestShow, kRequestExit})
            answered.push_back(SendRequest(dir_, code));
    });
    // Each sender waits for its answer, so the next request comes only after this one.
    while (handled.size() < 3 && Readable(*owner)) {
        owner->ServeRequests([&](int code) { handled.push_back(code); });
    }
    sender.join();
    EXPECT_EQ(handled, (std::vector<int>{2, 1, 3}));
    EXPECT_EQ(answered, (std::vector<bool>{true, true, true}));
}

TEST_F(SingleInstanceTest, CodesOutsideTheRangeAndGarbageAreDroppedUnanswered) {
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    EXPECT_FALSE(SendRequest(dir_, 1000));
    auto outOfRange = std::async(std::launch::async, [&] { return SendRequest(dir_, 7); });
    auto zero = std::async(std::launch::async, [&] { return SendRequest(dir_, 0); });
    SendRaw("\x01\x01", 2);
    SendRaw("garbage that goes on and on", 27);
    SendRaw(nullptr, 0);  // connects and says nothing
    auto show = std::async(std::launch::async, [&] { return SendRequest(dir_, kRequestShow); });
    std::vector<int> handled;
    while (handled.empty() && Readable(*owner)) {
        owner->ServeRequests([&](int code) { handled.push_back(code); });
    }
    EXPECT_EQ(handled, (std::vector<int>{1}));
    EXPECT_TRUE(show.get());
    // A sender whose connection was dropped may still be on its way out: serve until both
    // are done rather than expect a connection each time.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (outOfRange.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready ||
           zero.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        EXPECT_TRUE(Serve(*owner).empty());
    }
    EXPECT_FALSE(outOfRange.get());
    EXPECT_FALSE(zero.get());
}

TEST_F(SingleInstanceTest, TextQueriesGetTextAnswersAndShowHideExitKeepTheirEcho) {
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    const std::string large(100'000, 'x');  // more than one socket read, less than the limit
    auto query =
        std::async(std::launch::async, [&] { return SendTextRequest(dir_, "status\njson"); });
    auto big = std::async(std::launch::async, [&] { return SendTextRequest(dir_, "big"); });
    auto show = std::async(std::launch::async, [&] { return SendRequest(dir_, kRequestShow); });
    std::vector<std::string> queries;
    std::vector<int> codes;
    while ((queries.size() < 2 || codes.empty()) && Readable(*owner)) {
        owner->ServeRequests([&](int code) { codes.push_back(code); },
                             [&](const std::string& text) {
                                 queries.push_back(text);
                                 return text == "big" ? large : "answer to " + text;
                             });
    }
    EXPECT_EQ(query.get(), "answer to status\njson");
    EXPECT_EQ(big.get(), large);
    EXPECT_TRUE(show.get());
    EXPECT_EQ(codes, (std::vector<int>{kRequestShow}));
    std::sort(queries.begin(), queries.end());
    EXPECT_EQ(queries, (std::vector<std::string>{"big", "status\njson"}));
}

TEST_F(SingleInstanceTest, TextQueriesTooLongOrUnservedOrToAnEndingOwnerGetNoAnswer) {
    EXPECT_FALSE(SendTextRequest(dir_, "status"));  // nobody runs
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    EXPECT_FALSE(SendTextRequest(dir_, std::string(kMaxRequestText + 1, 'q')));
    // An owner without a text handler (and one whose handler says nothing) leaves it unanswered.
    auto unserved = std::async(std::launch::async, [&] { return SendTextRequest(dir_, "status"); });
    ASSERT_TRUE(Readable(*owner));
    EXPECT_TRUE(Serve(*owner).empty());
    EXPECT_FALSE(unserved.get());
    auto pending = std::async(std::launch::async, [&] { return SendTextRequest(dir_, "status"); });
    ASSERT_TRUE(Readable(*owner));
    owner->StopListening();
    EXPECT_FALSE(pending.get());
}

// An owner that is ending answers nothing more: its senders learn it at once (not after the
// answer bound) and then wait for the run to end instead of handing it their request.
TEST_F(SingleInstanceTest, AnEndingOwnerAnswersNothingAndIsHeldUntilItEnds) {
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    auto pending = std::async(std::launch::async, [&] {
        return SendRequest(dir_, kRequestShow, std::chrono::seconds(30));
    });
    ASSERT_TRUE(Readable(*owner));
    owner->StopListening();
    EXPECT_EQ(owner->Fd(), -1);
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(pending.get());
    EXPECT_FALSE(SendRequest(dir_, kRequestExit));
    EXPECT_TRUE(IsRunHeld(dir_));
    EXPECT_FALSE(WaitUntilRunEnds(dir_, std::chrono::milliseconds(30)));
    std::thread ending([&] { owner.reset(); });
    EXPECT_TRUE(WaitUntilRunEnds(dir_, std::chrono::seconds(10)));
    ending.join();
    EXPECT_FALSE(IsRunHeld(dir_));
    EXPECT_TRUE(SingleInstance::Acquire(dir_));
}

TEST_F(SingleInstanceTest, AHandlerThatStopsTheListeningEndsTheServingButIsAnswered) {
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    auto exit = std::async(std::launch::async, [&] { return SendRequest(dir_, kRequestExit); });
    std::vector<int> handled;
    while (handled.empty() && Readable(*owner)) {
        owner->ServeRequests([&](int code) {
            handled.push_back(code);
            owner->StopListening();
        });
    }
    EXPECT_EQ(handled, (std::vector<int>{3}));
    EXPECT_TRUE(exit.get());
}

TEST_F(SingleInstanceTest, NoOwnerMeansNotDelivered) {
    EXPECT_FALSE(SendRequest(dir_, kRequestShow));
    EXPECT_FALSE(SendRequest(dir_ + "/missing", kRequestShow));
    auto owner = SingleInstance::Acquire(dir_);
    owner.reset();
    EXPECT_FALSE(SendRequest(dir_, kRequestShow));
}

TEST_F(SingleInstanceTest, StaleSocketFileOfACrashedRunIsReplaced) {
    {
        // A socket file nobody listens on, as a crashed owner leaves it.
        UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, (dir_ + "/qx-manager.sock").c_str());
        ASSERT_EQ(::bind(stale.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    }
    EXPECT_FALSE(SendRequest(dir_, kRequestShow));
    EXPECT_FALSE(IsRunHeld(dir_));
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    auto exit = std::async(std::launch::async, [&] { return SendRequest(dir_, kRequestExit); });
    ASSERT_TRUE(Readable(*owner));
    EXPECT_EQ(Serve(*owner), (std::vector<int>{3}));
    EXPECT_TRUE(exit.get());
}

TEST_F(SingleInstanceTest, MissingDirectoryIsMadePrivateAndAnOpenOneIsRefusedWithTheReason) {
    const std::string made = dir_ + "/run";
    LockFailure failure;
    auto owner = SingleInstance::Acquire(made, &failure);
    ASSERT_TRUE(owner);
    EXPECT_EQ(failure.kind, LockFailure::kNone);
    struct stat info {};
    ASSERT_EQ(::stat(made.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_FALSE(SingleInstance::Acquire(made, &failure));
    EXPECT_EQ(failure.kind, LockFailure::kHeld);
    EXPECT_EQ(failure.path, RunLockPath(made));

    const std::string open = dir_ + "/open";
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0775), 0);
    EXPECT_FALSE(SingleInstance::Acquire(open, &failure));
    EXPECT_EQ(failure.kind, LockFailure::kNotPrivate);
    EXPECT_EQ(failure.path, open);
    EXPECT_EQ(failure.mode, 0775u);

    // Another user's folder, as after "sudo -E" or one planted in /tmp first.
    const std::string foreign = dir_ + "/foreign";
    ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
    if (::chown(foreign.c_str(), ::getuid() + 1, static_cast<gid_t>(-1)) == 0) {  // as root
        EXPECT_FALSE(SingleInstance::Acquire(foreign, &failure));
        EXPECT_EQ(failure.kind, LockFailure::kNotPrivate);
        EXPECT_EQ(failure.owner, ::getuid() + 1);
    }

    const std::string link = dir_ + "/link";
    ASSERT_EQ(::symlink(made.c_str(), link.c_str()), 0);
    EXPECT_FALSE(SingleInstance::Acquire(link, &failure));
    EXPECT_EQ(failure.kind, LockFailure::kNotPrivate);
    EXPECT_FALSE(failure.isDirectory);

    EXPECT_FALSE(SingleInstance::Acquire(dir_ + "/no/such/parent", &failure));
    EXPECT_EQ(failure.kind, LockFailure::kSystem);
    EXPECT_EQ(failure.attempt, "mkdir");
    EXPECT_EQ(failure.error, ENOENT);
}

TEST_F(SingleInstanceTest, DescriptorsAreClosedOnExec) {
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    EXPECT_TRUE(::fcntl(owner->Fd(), F_GETFD) & FD_CLOEXEC);
}

TEST(DefaultRuntimeDir, FollowsXdgRuntimeDirElseAPerUserTmpDirectory) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(DefaultRuntimeDir(), "/run/user/4242");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(DefaultRuntimeDir(), "/tmp/qx-manager-" + std::to_string(::getuid()));
    if (old) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

}  // namespace
}  // namespace qx
