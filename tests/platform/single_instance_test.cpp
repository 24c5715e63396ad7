#include "platform/single_instance.h"
#include "tests/support/temp_home.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

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

TEST_F(SingleInstanceTest, RequestsReachTheOwnerInOrder) {
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    EXPECT_TRUE(owner->ReadRequests().empty());  // nothing waiting: returns at once
    EXPECT_TRUE(SendRequest(dir_, kRequestHide));
    EXPECT_TRUE(SendRequest(dir_, kRequestShow));
    EXPECT_TRUE(SendRequest(dir_, kRequestExit));
    ASSERT_TRUE(Readable(*owner));
    EXPECT_EQ(owner->ReadRequests(), (std::vector<int>{2, 1, 3}));
    EXPECT_TRUE(owner->ReadRequests().empty());
}

TEST_F(SingleInstanceTest, CodesOutsideTheRangeAndGarbageAreIgnored) {
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    EXPECT_TRUE(SendRequest(dir_, 7));
    EXPECT_TRUE(SendRequest(dir_, 0));
    EXPECT_FALSE(SendRequest(dir_, 1000));
    SendRaw("\x01\x01", 2);
    SendRaw("garbage that goes on and on", 27);
    SendRaw(nullptr, 0);  // connects and says nothing
    EXPECT_TRUE(SendRequest(dir_, kRequestShow));
    ASSERT_TRUE(Readable(*owner));
    EXPECT_EQ(owner->ReadRequests(), (std::vector<int>{1}));
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
    auto owner = SingleInstance::Acquire(dir_);
    ASSERT_TRUE(owner);
    EXPECT_TRUE(SendRequest(dir_, kRequestExit));
    ASSERT_TRUE(Readable(*owner));
    EXPECT_EQ(owner->ReadRequests(), (std::vector<int>{3}));
}

TEST_F(SingleInstanceTest, MissingDirectoryIsMadePrivateAndAnOpenOneIsRefused) {
    const std::string made = dir_ + "/run";
    auto owner = SingleInstance::Acquire(made);
    ASSERT_TRUE(owner);
    struct stat info {};
    ASSERT_EQ(::stat(made.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    const std::string open = dir_ + "/open";
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    EXPECT_FALSE(SingleInstance::Acquire(open));

    const std::string link = dir_ + "/link";
    ASSERT_EQ(::symlink(made.c_str(), link.c_str()), 0);
    EXPECT_FALSE(SingleInstance::Acquire(link));
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
