// The CUSE helper's decisions and its conversation with clients, without /dev/cuse: the system
// it acts on is replaced, the socket, the peer's credentials and the hand-over are real.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "helper/log_budget.h"
#include "helper/port_request.h"
#include "helper/serve_request.h"
#include "helper/service_loop.h"
#include "platform/cuse_helper_client.h"
#include "tests/support/temp_home.h"

namespace qx::helper {
namespace {

constexpr uid_t kUser = 1000, kOtherUser = 1001, kNobody = 65534;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The helper's decision as the tests read it: the number granted (0 when refused) and why not.
struct Decision {
    int number = 0;
    std::string why;
};

Decision Decide(std::span<const uint8_t> request, uid_t peer, const std::vector<HeldPort>& held) {
    const Expected<int> number = DecidePortRequest(request, peer, held);
    if (!number) return {0, number.error().message};
    return {*number, {}};
}

Decision Decide(const std::string& request, uid_t peer, const std::vector<HeldPort>& held) {
    return Decide(Bytes(request), peer, held);
}

TEST(HelperRequest, OnlyPortDeviceNamesInRange) {
    EXPECT_EQ(Decide("qx-COM1", kUser, {}).number, 1);
    EXPECT_EQ(Decide("qx-COM255", kUser, {}).number, 255);
    for (const char* other :
         {"COM5", "qx-com5", "qx-COM", "qx-COM5 ", "qx-COM5\n", " qx-COM5", "../qx-COM5",
          "qx-COM5/..", "ttyUSB0", "qx-COM-1", "qx-COM+5", "", "qx-COMx"}) {
        const Decision refused = Decide(other, kUser, {});
        EXPECT_EQ(refused.number, 0) << other;
        EXPECT_NE(refused.why.find("not a port device name"), std::string::npos)
            << other << ": " << refused.why;
    }
    for (const char* outOfRange :
         {"qx-COM0", "qx-COM256", "qx-COM05", "qx-COM1000", "qx-COM99999999999999999999"}) {
        const Decision refused = Decide(outOfRange, kUser, {});
        EXPECT_EQ(refused.number, 0) << outOfRange;
        EXPECT_NE(refused.why.find("out of range"), std::string::npos)
            << outOfRange << ": " << refused.why;
    }
    // A NUL inside the name, a request longer than any name.
    EXPECT_EQ(Decide(std::vector<uint8_t>{'q', 'x', '-', 'C', 'O', 'M', '5', 0}, kUser, {}).number,
              0);
    EXPECT_EQ(Decide("qx-COM" + std::string(100, '1'), kUser, {}).number, 0);
}

TEST(HelperRequest, PortsInUseAndThePerUserLimit) {
    const std::vector<HeldPort> held = {{5, kUser}, {6, kOtherUser}};
    const Decision inUse = Decide("qx-COM5", kUser, held);
    EXPECT_EQ(inUse.number, 0);
    EXPECT_NE(inUse.why.find("qx-COM5 is in use"), std::string::npos) << inUse.why;
    const Decision another = Decide("qx-COM6", kUser, held);
    EXPECT_EQ(another.number, 0);
    EXPECT_NE(another.why.find("held by another user"), std::string::npos) << another.why;
    EXPECT_EQ(Decide("qx-COM7", kUser, held).number, 7);

    std::vector<HeldPort> many;
    for (int n = 1; n <= kMaxPortsPerUser; ++n) many.push_back({n, kUser});
    const Decision limited = Decide("qx-COM200", kUser, many);
    EXPECT_EQ(limited.number, 0);
    EXPECT_NE(limited.why.find("ports per user"), std::string::npos) << limited.why;
    // The limit is per user: another user still gets a port.
    EXPECT_EQ(Decide("qx-COM200", kOtherUser, many).number, 200);
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
        ASSERT_EQ(::listen(listener_.Get(), 64), 0);
        system_.heldPorts = [this] { return held_; };
        system_.openConnection = [this](const std::string& name) -> Expected<UniqueFd> {
            opened_.push_back(name);
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) return Error::FromErrno(errno, "pipe2");
            ::close(fds[0]);
            return UniqueFd(fds[1]);
        };
        system_.giveNode = [this](const std::string& name, uid_t owner) {
            given_.push_back(name + " to " + std::to_string(owner));
            return Expected<void>();
        };
        // The relay's end of its report socket stays with the test, which ends the relay.
        system_.startRelay = [this](UniqueFd, const std::string&) -> Expected<StartedRelay> {
            int pair[2], report[2];
            if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0 ||
                ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, report) != 0)
                return Error::FromErrno(errno, "socketpair");
            ::close(pair[1]);
            relays_.emplace_back(report[1]);
            return StartedRelay{UniqueFd(pair[0]), UniqueFd(report[0])};
        };
    }

    ServiceLoop& Loop() {
        if (!loop_) {
            // Follows system_ as a test changes it.
            const HelperSystem current{
                [this] { return system_.heldPorts(); },
                [this](const std::string& name) { return system_.openConnection(name); },
                [this](const std::string& name, uid_t owner) {
                    return system_.giveNode(name, owner);
                },
                [this](UniqueFd connection, const std::string& name) {
                    return system_.startRelay(std::move(connection), name);
                }};
            auto made = ServiceLoop::Make(
                listener_.Get(), current, limits_,
                [this](const std::string& line) { log_.push_back(line); },
                [this] { return now_ += tick_; });
            EXPECT_TRUE(made) << made.error().message;
            loop_.emplace(std::move(*made));
        }
        return *loop_;
    }

    // The service's log lines so far that contain text.
    size_t Logged(const std::string& text) const {
        return std::count_if(log_.begin(), log_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    UniqueFd IdleClient() {
        UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0);
        return socket;
    }

    // Serves a client that runs in a child process (as uid, when not root's) until it is done.
    // The child's exit code: 0 when it got a connection, 1 when refused with the expected text;
    // 4 when either answer was taken for none (late), which would have it asked again.
    int Converse(uid_t uid, const std::string& request, const std::string& expectedRefusal = "") {
        ServiceLoop& loop = Loop();
        const pid_t child = ::fork();
        if (child == 0) {
            if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
                             ::setresuid(uid, uid, uid) != 0))
                ::_exit(3);
            const HelperReply got = RequestCuseConnection(socketPath_, request);
            if (!got && got.error().late) ::_exit(4);
            if (got && got->Valid()) ::_exit(0);
            const std::string& error = got.error().message;
            ::_exit(error.find(expectedRefusal) != std::string::npos && !expectedRefusal.empty()
                        ? 1
                        : 2);
        }
        int status = 0;
        while (::waitpid(child, &status, WNOHANG) == 0) loop.RunOnce(std::chrono::milliseconds(5));
        outcome_ = log_.empty() ? "" : log_.back();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    test::TempHome home_;
    std::string socketPath_;
    UniqueFd listener_;
    HelperSystem system_;
    std::vector<HeldPort> held_;
    std::vector<UniqueFd> relays_;  // the relays' ends of their report sockets
    std::vector<std::string> opened_, given_, log_;
    std::string outcome_;
    ServiceLimits limits_;
    ServiceLoop::Clock::time_point now_ = ServiceLoop::Clock::now();
    ServiceLoop::Clock::duration tick_{0};  // how far the clock moves each time it is read
    std::optional<ServiceLoop> loop_;
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
    // The journal names the holder; the client is told only that another user holds it.
    EXPECT_NE(outcome_.find("qx-COM5 is held by another user (uid 1000)"), std::string::npos)
        << outcome_;
    EXPECT_EQ(Converse(kNobody, "ttyUSB0", "not a port device name"), 1) << outcome_;
    EXPECT_EQ(Converse(kNobody, "qx-COM0", "out of range"), 1) << outcome_;
    EXPECT_EQ(Converse(kNobody, "qx-COM256", "out of range"), 1) << outcome_;
    EXPECT_TRUE(opened_.empty());
    EXPECT_TRUE(given_.empty());
}

TEST_F(HelperConversation, AFailureToOpenOrToGiveTheNodeIsReportedAndNothingHandedOver) {
    system_.giveNode = [](const std::string&, uid_t) -> Expected<void> {
        return Error::FromErrno(EPERM, "giving /dev/qx-COM7 to uid 65534");
    };
    EXPECT_EQ(Converse(kNobody, "qx-COM7", "Operation not permitted"), 1) << outcome_;
    system_.openConnection = [](const std::string&) -> Expected<UniqueFd> {
        return Error::FromErrno(ENODEV, "opening /dev/cuse");
    };
    EXPECT_EQ(Converse(kNobody, "qx-COM7", "No such device"), 1) << outcome_;
}

TEST_F(HelperConversation, AnotherUsersIdleConnectionsNeitherDelayNorCrowdOutARequest) {
    for (const int idle : {1, 5, 20}) {
        std::vector<UniqueFd> held;
        for (int i = 0; i < idle; ++i) held.push_back(IdleClient());
        log_.clear();
        // A request held up fails here: the client gives up when its answer is late.
        EXPECT_EQ(Converse(kNobody, "qx-COM4"), 0) << idle << ": " << outcome_;
        EXPECT_EQ(Logged("granted qx-COM4"), 1u) << idle;
        // Root's connections beyond the cap were closed at once; the rest still wait.
        EXPECT_EQ(Loop().PendingConnections(), static_cast<size_t>(std::min(idle, 8))) << idle;
        EXPECT_EQ(Logged("closed at once"), static_cast<size_t>(std::max(idle - 8, 0))) << idle;
        now_ += limits_.requestDeadline;
        Loop().RunOnce(std::chrono::milliseconds(0));
        EXPECT_EQ(Loop().PendingConnections(), 0u) << idle;
    }
}

TEST_F(HelperConversation, AConnectionWithoutRequestIsClosedAtItsDeadline) {
    UniqueFd idle = IdleClient();
    Loop().RunOnce(std::chrono::milliseconds(100));
    ASSERT_EQ(Loop().PendingConnections(), 1u);
    now_ += limits_.requestDeadline - std::chrono::milliseconds(1);
    Loop().RunOnce(std::chrono::milliseconds(0));
    EXPECT_EQ(Loop().PendingConnections(), 1u);
    now_ += std::chrono::milliseconds(1);
    Loop().RunOnce(std::chrono::milliseconds(0));
    EXPECT_EQ(Loop().PendingConnections(), 0u);
    EXPECT_EQ(Logged("no request within 1000 ms"), 1u);
    char byte = 0;
    EXPECT_EQ(::recv(idle.Get(), &byte, 1, 0), 0);  // the service hung up
}

TEST_F(HelperConversation, OutOfDescriptorsTheServicePausesAcceptingAndCarriesOn) {
    UniqueFd waiting = IdleClient();
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    ServiceLoop& loop = Loop();
    // Every descriptor number below the lowered limit taken: accept fails with EMFILE.
    rlimit lowered = original;
    lowered.rlim_cur = 64;
    std::vector<UniqueFd> filler;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (UniqueFd fd(::dup(0)); fd.Valid(); fd.Reset(::dup(0))) filler.push_back(std::move(fd));
    loop.RunOnce(std::chrono::milliseconds(100));
    filler.clear();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
    EXPECT_EQ(Logged("Too many open files; accepting again in 50 ms"), 1u);
    EXPECT_EQ(loop.PendingConnections(), 0u);

    loop.RunOnce(std::chrono::milliseconds(0));  // still pausing
    EXPECT_EQ(loop.PendingConnections(), 0u);
    now_ += limits_.acceptBackoff;
    loop.RunOnce(std::chrono::milliseconds(0));  // listening again
    loop.RunOnce(std::chrono::milliseconds(100));
    EXPECT_EQ(loop.PendingConnections(), 1u);
}

TEST_F(HelperConversation, TheOutcomeSaysWhenTheClientLeftBeforeItsAnswer) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd served(pair[0]);
    ::close(pair[1]);
    const ucred peer{1, kNobody, kNobody};
    const struct {
        const char* request;
        const char* said;
    } cases[] = {{"qx-COM4", "left before qx-COM4 was handed over"},
                 {"qx-COM0", "refused (port number out of range (1 to 255)), but had left"}};
    for (const auto& c : cases) {
        const Expected<Grant> outcome = ServeRequest(served.Get(), peer, Bytes(c.request), system_);
        ASSERT_FALSE(outcome) << c.request;
        EXPECT_EQ(outcome.error().code, EPIPE) << c.request;
        EXPECT_NE(outcome.error().message.find(c.said), std::string::npos)
            << outcome.error().message;
    }
}

// One user's programs connecting and closing as fast as they can, on a machine so slow that
// each look at the clock finds 20 ms gone: another user's request, sent with its connection
// and queued behind the flood, is read and granted rather than expired.
TEST_F(HelperConversation, AConnectionFloodDoesNotDropAnotherUsersRequest) {
    if (::geteuid() != 0) GTEST_SKIP() << "connecting as another user needs root";
    UniqueFd other;
    {
        // The effective uid is what the service sees of a connecting process.
        ASSERT_EQ(::setresuid(-1, kNobody, -1), 0);
        other = IdleClient();
        ASSERT_EQ(::setresuid(-1, 0, -1), 0);
    }
    ASSERT_EQ(::send(other.Get(), "qx-COM4", 7, 0), 7);
    constexpr int kFlood = 60;
    for (int i = 0; i < kFlood; ++i) IdleClient();  // connected and closed at once
    tick_ = std::chrono::milliseconds(20);
    for (int pass = 0; pass < 20; ++pass) Loop().RunOnce(std::chrono::milliseconds(0));
    char answer[16] = {};
    EXPECT_EQ(::recv(other.Get(), answer, sizeof answer, MSG_DONTWAIT), 2) << std::strerror(errno);
    EXPECT_EQ(std::string(answer), kCuseHelperGranted);
    EXPECT_EQ(Logged("uid 65534 (pid " + std::to_string(::getpid()) + ") granted qx-COM4"), 1u);
    EXPECT_EQ(Logged("no request within"), 0u);
    EXPECT_EQ(Loop().PendingConnections(), 0u);
}

TEST_F(HelperConversation, EachUidsLinesAreBoundedEachSecondAndTheRestCounted) {
    limits_.logLinesPerUid = 5;
    for (int i = 0; i < 12; ++i) IdleClient();  // root's, closed at once
    for (int pass = 0; pass < 10; ++pass) Loop().RunOnce(std::chrono::milliseconds(0));
    EXPECT_EQ(Logged("left without a request"), 5u);
    EXPECT_EQ(Logged("more lines left out"), 0u);  // the second is not over
    now_ += std::chrono::seconds(1);
    Loop().RunOnce(std::chrono::milliseconds(0));
    EXPECT_EQ(Logged("uid 0: 7 more lines left out (at most 5 a second)"), 1u);
    // Another second, another budget.
    IdleClient();
    Loop().RunOnce(std::chrono::milliseconds(0));
    EXPECT_EQ(Logged("left without a request"), 6u);
}

// One user asking for a port and closing it at once, over and over for 3 s: its grants come at
// the set rate after the first burst, the refusals say why, and every line written about it,
// the lines of its ending relays included, stays within its budget; the rest is counted.
TEST_F(HelperConversation, AUserWhoAsksAndClosesAtOnceIsGrantedAtARateAndLoggedWithinBudget) {
    limits_.logLinesPerUid = 5;
    limits_.grantBurstPerUid = 8;
    limits_.grantInterval = std::chrono::milliseconds(100);
    ServiceLoop& loop = Loop();
    int grants = 0, refusals = 0;
    constexpr int kRounds = 300;  // 10 ms apart
    for (int round = 0; round < kRounds; ++round) {
        UniqueFd client = IdleClient();
        ASSERT_EQ(::send(client.Get(), "qx-COM77", 8, 0), 8);
        loop.RunOnce(std::chrono::milliseconds(0));
        char answer[256] = {};
        ASSERT_GT(::recv(client.Get(), answer, sizeof answer - 1, MSG_DONTWAIT), 0);
        if (std::string(answer) == kCuseHelperGranted)
            ++grants;
        else if (std::string(answer).find("too many ports asked for") != std::string::npos)
            ++refusals;
        // Its relay ends at once, as one whose program has gone does, saying why.
        for (UniqueFd& relay : relays_)
            ::send(relay.Get(), "relay for qx-COM77 ended: gone", 30, 0);
        relays_.clear();
        loop.RunOnce(std::chrono::milliseconds(0));
        now_ += std::chrono::milliseconds(10);
    }
    now_ += std::chrono::seconds(1);
    loop.RunOnce(std::chrono::milliseconds(0));
    EXPECT_EQ(grants, 8 + 30 - 1) << "a burst of 8, then one each 100 ms";
    EXPECT_EQ(grants + refusals, kRounds);
    EXPECT_EQ(loop.LiveRelays(), 0u);
    // Each of the 3 seconds: 5 lines, then the count of the rest.
    EXPECT_EQ(log_.size(), 3u * (5 + 1)) << log_.back();
    EXPECT_GE(Logged("uid 0: relay for qx-COM77 ended: gone"), 1u);
    EXPECT_EQ(Logged("more lines left out"), 3u);
}

// A relay killed says nothing: the service says so, under its user's budget, when its report
// socket closes.
TEST_F(HelperConversation, AKilledRelayIsToldAsSuch) {
    EXPECT_EQ(Converse(kNobody, "qx-COM9"), 0) << outcome_;
    ASSERT_EQ(relays_.size(), 1u);
    EXPECT_EQ(Loop().LiveRelays(), 1u);
    relays_.clear();
    Loop().RunOnce(std::chrono::milliseconds(100));
    EXPECT_EQ(Loop().LiveRelays(), 0u);
    EXPECT_EQ(Logged("uid 65534: relay for qx-COM9 ended without a word (killed)"), 1u);
}

// The count is due when its second ends, even if nothing else wakes the service then.
TEST(HelperLogBudget, TheServiceWakesWhenASecondWithHeldBackLinesEnds) {
    LogBudget budget(1);
    const LogBudget::Clock::time_point start{};
    budget.Pass(0, "written", start);
    EXPECT_EQ(budget.NextEnd(), LogBudget::Clock::time_point::max());
    budget.Pass(0, "held back", start + std::chrono::milliseconds(300));
    EXPECT_EQ(budget.NextEnd(), start + std::chrono::seconds(1));
}

// What the program is told when it cannot reach the helper, and whether asking again is worth it.
TEST(HelperClient, UnreachableHelperGivesTheReasonTheFixAndWhetherItIsLate) {
    test::TempHome home;
    const std::string path = home.Root() + "/helper.sock";
    const auto absent = CuseHelperAnswers(path);
    EXPECT_FALSE(absent);
    EXPECT_FALSE(absent.error().late);
    EXPECT_EQ(absent.error().code, ENOENT);
    std::string error = absent.error().message;
    EXPECT_NE(error.find(path + " does not exist"), std::string::npos) << error;
    EXPECT_NE(error.find(kCuseHelperFix), std::string::npos) << error;

    // Bound but not listening: the service is off.
    UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto off = CuseHelperAnswers(path);
    EXPECT_FALSE(off);
    EXPECT_FALSE(off.error().late);
    error = off.error().message;
    EXPECT_NE(error.find("does not listen"), std::string::npos) << error;
    EXPECT_NE(error.find(kCuseHelperFix), std::string::npos) << error;

    // Listening, but its backlog full: stalled, so late; the wait is bounded.
    ASSERT_EQ(::listen(listener.Get(), 0), 0);
    int accepted = 0;  // the few connections the backlog takes
    Expected<void, HelperFailure> answers;
    while (accepted < 4 && (answers = CuseHelperAnswers(path))) ++accepted;
    EXPECT_LT(accepted, 4);
    error = answers.error().message;
    EXPECT_TRUE(answers.error().late) << error;
    EXPECT_NE(error.find("busy"), std::string::npos) << error;
    const HelperReply stalled = RequestCuseConnection(path, "qx-COM1");
    EXPECT_FALSE(stalled);
    EXPECT_TRUE(stalled.error().late) << stalled.error().message;
}

TEST(HelperClient, NoHelperIsAReasonNotACrash) {
    const auto absent = CuseHelperAnswers("/nonexistent/helper.sock");
    EXPECT_FALSE(absent);
    EXPECT_NE(absent.error().message.find("/nonexistent/helper.sock"), std::string::npos)
        << absent.error().message;
    EXPECT_FALSE(RequestCuseConnection(std::string(200, 'x'), "qx-COM1"));
}

}  // namespace
}  // namespace qx::helper
