// The CUSE helper's decisions and its conversation with clients, without /dev/cuse: the system
// it acts on is replaced, the socket, the peer's credentials and the hand-over are real.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "helper/port_request.h"
#include "helper/serve_request.h"
#include "platform/cuse_helper_client.h"
#include "tests/support/temp_home.h"

namespace qx::helper {
namespace {

constexpr uid_t kUser = 1000, kOtherUser = 1001, kNobody = 65534;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

int Decide(const std::string& request, uid_t peer, const std::vector<HeldPort>& held,
           std::string* why) {
    return DecidePortRequest(Bytes(request), peer, held, why);
}

TEST(HelperRequest, OnlyPortDeviceNamesInRange) {
    std::string why;
    EXPECT_EQ(Decide("qx-COM1", kUser, {}, &why), 1);
    EXPECT_EQ(Decide("qx-COM255", kUser, {}, &why), 255);
    for (const char* other :
         {"COM5", "qx-com5", "qx-COM", "qx-COM5 ", "qx-COM5\n", " qx-COM5", "../qx-COM5",
          "qx-COM5/..", "ttyUSB0", "qx-COM-1", "qx-COM+5", "", "qx-COMx"}) {
        why.clear();
        EXPECT_EQ(Decide(other, kUser, {}, &why), 0) << other;
        EXPECT_NE(why.find("not a port device name"), std::string::npos) << other << ": " << why;
    }
    for (const char* outOfRange :
         {"qx-COM0", "qx-COM256", "qx-COM05", "qx-COM1000", "qx-COM99999999999999999999"}) {
        why.clear();
        EXPECT_EQ(Decide(outOfRange, kUser, {}, &why), 0) << outOfRange;
        EXPECT_NE(why.find("out of range"), std::string::npos) << outOfRange << ": " << why;
    }
    // A NUL inside the name, a request longer than any name.
    EXPECT_EQ(DecidePortRequest(std::vector<uint8_t>{'q', 'x', '-', 'C', 'O', 'M', '5', 0}, kUser,
                                {}, &why),
              0);
    EXPECT_EQ(Decide("qx-COM" + std::string(100, '1'), kUser, {}, &why), 0);
}

TEST(HelperRequest, PortsInUseAndThePerUserLimit) {
    std::string why;
    const std::vector<HeldPort> held = {{5, kUser}, {6, kOtherUser}};
    EXPECT_EQ(Decide("qx-COM5", kUser, held, &why), 0);
    EXPECT_NE(why.find("qx-COM5 is in use"), std::string::npos) << why;
    EXPECT_EQ(Decide("qx-COM6", kUser, held, &why), 0);
    EXPECT_NE(why.find("held by another user"), std::string::npos) << why;
    EXPECT_EQ(Decide("qx-COM7", kUser, held, &why), 7);

    std::vector<HeldPort> many;
    for (int n = 1; n <= kMaxPortsPerUser; ++n) many.push_back({n, kUser});
    EXPECT_EQ(Decide("qx-COM200", kUser, many, &why), 0);
    EXPECT_NE(why.find("ports per user"), std::string::npos) << why;
    // The limit is per user: another user still gets a port.
    EXPECT_EQ(Decide("qx-COM200", kOtherUser, many, &why), 200);
}

TEST(HelperRequest, HeldPortsAreTheNodesUnderPortNames) {
    test::TempHome home;
    for (const char* name : {"qx-COM3", "qx-COM12", "qx-COM0", "qx-COM05", "qx-COMx", "hidraw0"})
        ::close(::open((home.Root() + "/" + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    ASSERT_EQ(::chown((home.Root() + "/qx-COM12").c_str(), kOtherUser, 0), 0);
    std::vector<HeldPort> held = ScanHeldPorts(home.Root());
    std::sort(held.begin(), held.end(),
              [](const HeldPort& a, const HeldPort& b) { return a.number < b.number; });
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].number, 3);
    EXPECT_EQ(held[0].owner, ::getuid());
    EXPECT_EQ(held[1].number, 12);
    EXPECT_EQ(held[1].owner, kOtherUser);
}

// A helper on a socket in a temporary directory whose system is recorded, not acted on.
class HelperConversation : public ::testing::Test {
protected:
    void SetUp() override {
        socketPath_ = home_.Root() + "/helper.sock";
        listener_.Reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0);
        ASSERT_EQ(::chmod(socketPath_.c_str(), 0666), 0);
        ASSERT_EQ(::chmod(home_.Root().c_str(), 0755), 0);
        ASSERT_EQ(::listen(listener_.Get(), 4), 0);
        system_.heldPorts = [this] { return held_; };
        system_.openConnection = [this](const std::string& name, std::string*) {
            opened_.push_back(name);
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) return UniqueFd();
            ::close(fds[0]);
            return UniqueFd(fds[1]);
        };
        system_.giveNode = [this](const std::string& name, uid_t owner, std::string*) {
            given_.push_back(name + " to " + std::to_string(owner));
            return true;
        };
        system_.startRelay = [](UniqueFd, const std::string&, std::string*) {
            int pair[2];
            if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
                return UniqueFd();
            ::close(pair[1]);
            return UniqueFd(pair[0]);
        };
    }

    // Serves one client that runs `client` in a child process (as uid, when not root's).
    // The child's exit code: 0 when it got a connection, 1 when refused with the expected text.
    int Converse(uid_t uid, const std::string& request, const std::string& expectedRefusal = "") {
        const pid_t child = ::fork();
        if (child == 0) {
            if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
                             ::setresuid(uid, uid, uid) != 0))
                ::_exit(3);
            std::string error;
            UniqueFd got = RequestCuseConnection(socketPath_, request, &error);
            if (got.Valid()) ::_exit(0);
            ::_exit(error.find(expectedRefusal) != std::string::npos && !expectedRefusal.empty()
                        ? 1
                        : 2);
        }
        UniqueFd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        outcome_ = client.Valid() ? ServeClient(client.Get(), system_) : "accept failed";
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    test::TempHome home_;
    std::string socketPath_;
    UniqueFd listener_;
    HelperSystem system_;
    std::vector<HeldPort> held_;
    std::vector<std::string> opened_, given_;
    std::string outcome_;
};

TEST_F(HelperConversation, GrantsThePortToTheCallingUserAndHandsTheConnectionOver) {
    EXPECT_EQ(Converse(kNobody, "qx-COM4"), 0) << outcome_;
    EXPECT_EQ(opened_, (std::vector<std::string>{"qx-COM4"}));
    EXPECT_EQ(given_, (std::vector<std::string>{"qx-COM4 to 65534"}));
    EXPECT_NE(outcome_.find("uid 65534"), std::string::npos) << outcome_;
}

TEST_F(HelperConversation, RefusalsNeverOpenADevice) {
    held_ = {{5, kUser}};
    EXPECT_EQ(Converse(kNobody, "qx-COM5", "held by another user"), 1) << outcome_;
    EXPECT_EQ(Converse(kNobody, "ttyUSB0", "not a port device name"), 1) << outcome_;
    EXPECT_EQ(Converse(kNobody, "qx-COM0", "out of range"), 1) << outcome_;
    EXPECT_EQ(Converse(kNobody, "qx-COM256", "out of range"), 1) << outcome_;
    EXPECT_TRUE(opened_.empty());
    EXPECT_TRUE(given_.empty());
}

TEST_F(HelperConversation, AFailureToOpenOrToGiveTheNodeIsReportedAndNothingHandedOver) {
    system_.giveNode = [](const std::string&, uid_t, std::string* error) {
        *error = "giving /dev/qx-COM7 to uid 65534: Operation not permitted";
        return false;
    };
    EXPECT_EQ(Converse(kNobody, "qx-COM7", "Operation not permitted"), 1) << outcome_;
    system_.openConnection = [](const std::string&, std::string* error) {
        *error = "opening /dev/cuse: No such device";
        return UniqueFd();
    };
    EXPECT_EQ(Converse(kNobody, "qx-COM7", "No such device"), 1) << outcome_;
}

TEST(HelperClient, NoHelperIsAReasonNotACrash) {
    std::string error;
    EXPECT_FALSE(CuseHelperAnswers("/nonexistent/helper.sock", &error));
    EXPECT_NE(error.find("/nonexistent/helper.sock"), std::string::npos) << error;
    EXPECT_FALSE(RequestCuseConnection(std::string(200, 'x'), "qx-COM1", &error).Valid());
}

}  // namespace
}  // namespace qx::helper
