#include "platform/single_instance.h"
#include "tests/support/temp_home.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

    // The run of dir_, or null.
    std::unique_ptr<SingleInstance> Own() const {
        auto owner = SingleInstance::Acquire(dir_);
        return owner ? std::move(*owner) : nullptr;
    }

    // Why a run of dir cannot be owned; a failed check when it can.
    static LockFailure Refusal(const std::string& dir) {
        const auto owner = SingleInstance::Acquire(dir);
        if (owner) ADD_FAILURE() << dir << " was owned";
        return owner ? LockFailure{} : owner.error();
    }

    // Waits (bounded) until the owner has a connection or bytes of one waiting.
    static bool Readable(const SingleInstance& owner, int boundMs = 2000) {
        pollfd watch{owner.Fd(), POLLIN, 0};
        return ::poll(&watch, 1, boundMs) == 1;
    }

    // The codes the owner is handed until count came (a request may come in pieces).
    static std::vector<int> ServeUntil(SingleInstance& owner, std::size_t count) {
        std::vector<int> codes;
        while (codes.size() < count && Readable(owner))
            owner.ServeRequests([&codes](int code) { codes.push_back(code); });
        return codes;
    }

    // The codes the owner is handed now, in order.
    static std::vector<int> Serve(SingleInstance& owner) {
        std::vector<int> codes;
        owner.ServeRequests([&codes](int code) { codes.push_back(code); });
        return codes;
    }

    sockaddr_un SocketAddress() const {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, (dir_ + "/qx-manager.sock").c_str());
        return address;
    }

    // A connection to the owner, as a client that writes what it likes when it likes.
    UniqueFd Connect() const {
        UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_un address = SocketAddress();
        EXPECT_EQ(
            ::connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)),
            0);
        return client;
    }

    // Connects to the owner and writes raw bytes, as a confused or hostile client would.
    void SendRaw(const void* bytes, std::size_t size) {
        const UniqueFd client = Connect();
        if (size > 0) {
            ASSERT_EQ(::write(client.Get(), bytes, size), static_cast<ssize_t>(size));
        }
    }

    test::TempHome home_;
    std::string dir_;
};

TEST_F(SingleInstanceTest, OnlyOneOwnerAtATimeAndTheNextOneAfterItEnds) {
    auto first = Own();
    ASSERT_TRUE(first);
    EXPECT_FALSE(Own());
    first.reset();
    EXPECT_TRUE(Own());
}

TEST_F(SingleInstanceTest, RequestsReachTheOwnerInOrderAndAreAnsweredOnceHandled) {
    auto owner = Own();
    ASSERT_TRUE(owner);
    EXPECT_TRUE(Serve(*owner).empty());  // nothing waiting: returns at once
    std::vector<int> handled;
    std::vector<bool> answered;
    std::thread sender([&] {
        for (int code : {kRequestHide, kRequestShow, kRequestExit})
            answered.push_back(static_cast<bool>(SendRequest(dir_, code)));
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
    auto owner = Own();
    ASSERT_TRUE(owner);
    EXPECT_EQ(SendRequest(dir_, 1000).error().code, EINVAL);
    // Closed unanswered, they are sent again until their bound.
    const auto bound = std::chrono::milliseconds(500);
    auto outOfRange = std::async(std::launch::async, [&] { return SendRequest(dir_, 7, bound); });
    auto zero = std::async(std::launch::async, [&] { return SendRequest(dir_, 0, bound); });
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

// A sender slower than the owner (a loaded machine, a paused process) is never hurried: what
// it has sent waits for the rest, and other requests are served meanwhile.
TEST_F(SingleInstanceTest, ASlowSenderIsServedWhateverItsPaceAndHoldsNoOneUp) {
    auto owner = Own();
    ASSERT_TRUE(owner);
    const UniqueFd exit = Connect();
    const UniqueFd query = Connect();
    std::vector<int> codes;
    std::vector<std::string> queries;
    const auto serve = [&] {
        EXPECT_TRUE(Readable(*owner));
        owner->ServeRequests([&](int code) { codes.push_back(code); },
                             [&](const std::string& text) {
                                 queries.push_back(text);
                                 return "answer";
                             });
    };
    serve();  // connected, nothing sent yet
    ASSERT_EQ(::write(query.Get(), "\x04sta", 4), 4);
    serve();
    EXPECT_TRUE(codes.empty() && queries.empty()) << "nothing is whole yet";

    auto show = std::async(std::launch::async, [&] { return SendRequest(dir_, kRequestShow); });
    while (codes.empty()) serve();
    EXPECT_TRUE(show.get()) << "a request that came later but whole is not held up";

    ASSERT_EQ(::write(exit.Get(), "\x03", 1), 1);
    ASSERT_EQ(::shutdown(exit.Get(), SHUT_WR), 0);
    ASSERT_EQ(::write(query.Get(), "tus", 3), 3);
    ASSERT_EQ(::shutdown(query.Get(), SHUT_WR), 0);
    while (codes.size() < 2 || queries.empty()) serve();
    EXPECT_EQ(codes, (std::vector<int>{kRequestShow, kRequestExit}));
    EXPECT_EQ(queries, std::vector<std::string>{"status"});
    char echo = 0;
    EXPECT_EQ(::read(exit.Get(), &echo, 1), 1);
    EXPECT_EQ(echo, kRequestExit);
    char answer[16] = {};
    EXPECT_EQ(::read(query.Get(), answer, sizeof answer), 6);
    EXPECT_STREQ(answer, "answer");
}

// What a sender learns from an owner that behaves in each way: it is played here on the socket,
// taking each connection's request whole and answering it or closing it unanswered.
TEST_F(SingleInstanceTest, ASenderSendsAgainWhatWasNotTakenAndTellsWhyItFailed) {
    constexpr int kNever = 1000;
    struct Case {
        const char* owner;
        bool listens, serves;
        int unansweredFirst;  // connections closed without an answer before one is answered
        int error;            // 0: delivered
    };
    const Case cases[] = {
        {"takes the request", true, true, 0, 0},
        {"drops two connections, then takes it", true, true, 2, 0},
        {"closes every connection unanswered", true, true, kNever, ECONNRESET},
        {"never reads its socket", true, false, 0, ETIMEDOUT},
        {"is not there", false, false, 0, ECONNREFUSED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.owner);
        ::unlink(SocketAddress().sun_path);
        UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_un address = SocketAddress();
        ASSERT_EQ(
            ::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)),
            0);
        if (c.listens) {
            ASSERT_EQ(::listen(listener.Get(), 8), 0);
        }
        std::atomic<bool> done{false};
        std::thread owner([&] {
            for (int taken = 0; c.serves && !done;) {
                pollfd watch{listener.Get(), POLLIN, 0};
                if (::poll(&watch, 1, 20) != 1) continue;
                const UniqueFd connection(
                    ::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                char code = 0;
                if (::read(connection.Get(), &code, 1) == 1 && taken++ >= c.unansweredFirst) {
                    EXPECT_EQ(::write(connection.Get(), &code, 1), 1);
                }
            }
        });
        const Expected<void> sent =
            SendRequest(dir_, kRequestShow, std::chrono::milliseconds(c.error == 0 ? 5000 : 500));
        done = true;
        owner.join();
        EXPECT_EQ(static_cast<bool>(sent), c.error == 0) << sent.error().message;
        EXPECT_EQ(sent.error().code, c.error) << sent.error().message;
        EXPECT_EQ(NoneListened(sent.error()), c.error == ECONNREFUSED);
    }
}

TEST_F(SingleInstanceTest, TextQueriesGetTextAnswersAndShowHideExitKeepTheirEcho) {
    auto owner = Own();
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
    EXPECT_EQ(*query.get(), "answer to status\njson");
    EXPECT_EQ(*big.get(), large);
    EXPECT_TRUE(show.get());
    EXPECT_EQ(codes, (std::vector<int>{kRequestShow}));
    std::sort(queries.begin(), queries.end());
    EXPECT_EQ(queries, (std::vector<std::string>{"big", "status\njson"}));
}

TEST_F(SingleInstanceTest, TextQueriesTooLongOrUnservedOrToAnEndingOwnerGetNoAnswer) {
    EXPECT_FALSE(SendTextRequest(dir_, "status"));  // nobody runs
    auto owner = Own();
    ASSERT_TRUE(owner);
    EXPECT_FALSE(SendTextRequest(dir_, std::string(kMaxRequestText + 1, 'q')));
    // An owner without a text handler leaves it unanswered, however often it is sent.
    auto unserved = std::async(std::launch::async, [&] {
        return SendTextRequest(dir_, "status", std::chrono::milliseconds(500));
    });
    while (unserved.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        if (Readable(*owner, 10)) {
            EXPECT_TRUE(Serve(*owner).empty());
        }
    }
    EXPECT_FALSE(unserved.get());
    // Sent to an owner that begins to end before it is read: the sender finds none listening.
    auto pending = std::async(std::launch::async, [&] { return SendTextRequest(dir_, "status"); });
    ASSERT_TRUE(Readable(*owner));
    owner->StopListening();
    const Expected<std::string> ended = pending.get();
    ASSERT_FALSE(ended);
    EXPECT_TRUE(NoneListened(ended.error())) << ended.error().message;
}

// An owner that is ending answers nothing more: its senders learn it at once (not after the
// answer bound) and then wait for the run to end instead of handing it their request.
TEST_F(SingleInstanceTest, AnEndingOwnerAnswersNothingAndIsHeldUntilItEnds) {
    auto owner = Own();
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
    EXPECT_TRUE(Own());
}

TEST_F(SingleInstanceTest, AHandlerThatStopsTheListeningEndsTheServingButIsAnswered) {
    auto owner = Own();
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

// An owner listens a moment after it has taken the run: a request sent in between is sent again
// until it is heard, rather than taken for one to an owner that is ending.
TEST_F(SingleInstanceTest, ARequestSentBeforeTheNewOwnerListensReachesIt) {
    UniqueFd taking(::open(RunLockPath(dir_).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::flock(taking.Get(), LOCK_EX), 0);  // the run taken, no socket yet
    // A sender whose send found no one opens the run's lock file to see whether the run is held.
    const UniqueFd opens(::inotify_init1(IN_CLOEXEC));
    ASSERT_GE(::inotify_add_watch(opens.Get(), RunLockPath(dir_).c_str(), IN_OPEN), 0);
    auto show = std::async(std::launch::async, [&] { return SendRequest(dir_, kRequestShow); });
    pollfd opened{opens.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&opened, 1, 10'000), 1) << "the sender never looked at the run";
    taking.Reset();
    auto owner = Own();
    ASSERT_TRUE(owner);
    EXPECT_EQ(ServeUntil(*owner, 1), std::vector<int>{kRequestShow});
    EXPECT_TRUE(show.get());
}

TEST_F(SingleInstanceTest, NoOwnerMeansNotDelivered) {
    EXPECT_FALSE(SendRequest(dir_, kRequestShow));
    EXPECT_FALSE(SendRequest(dir_ + "/missing", kRequestShow));
    auto owner = Own();
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
    auto owner = Own();
    ASSERT_TRUE(owner);
    auto exit = std::async(std::launch::async, [&] { return SendRequest(dir_, kRequestExit); });
    EXPECT_EQ(ServeUntil(*owner, 1), (std::vector<int>{3}));
    EXPECT_TRUE(exit.get());
}

TEST_F(SingleInstanceTest, MissingDirectoryIsMadePrivateAndAnOpenOneIsRefusedWithTheReason) {
    const std::string made = dir_ + "/run";
    auto owner = SingleInstance::Acquire(made);
    ASSERT_TRUE(owner);
    struct stat info {};
    ASSERT_EQ(::stat(made.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    const LockFailure held = Refusal(made);
    EXPECT_EQ(held.kind, LockFailure::kHeld);
    EXPECT_EQ(held.path, RunLockPath(made));

    const std::string open = dir_ + "/open";
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0775), 0);
    const LockFailure notPrivate = Refusal(open);
    EXPECT_EQ(notPrivate.kind, LockFailure::kNotPrivate);
    EXPECT_EQ(notPrivate.path, open);
    EXPECT_EQ(notPrivate.mode, 0775u);

    // Another user's folder, as after "sudo -E" or one planted in /tmp first.
    const std::string foreign = dir_ + "/foreign";
    ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
    if (::chown(foreign.c_str(), ::getuid() + 1, static_cast<gid_t>(-1)) == 0) {  // as root
        const LockFailure others = Refusal(foreign);
        EXPECT_EQ(others.kind, LockFailure::kNotPrivate);
        EXPECT_EQ(others.owner, ::getuid() + 1);
    }

    const std::string link = dir_ + "/link";
    ASSERT_EQ(::symlink(made.c_str(), link.c_str()), 0);
    const LockFailure linked = Refusal(link);
    EXPECT_EQ(linked.kind, LockFailure::kNotPrivate);
    EXPECT_FALSE(linked.isDirectory);

    const LockFailure missing = Refusal(dir_ + "/no/such/parent");
    EXPECT_EQ(missing.kind, LockFailure::kSystem);
    EXPECT_EQ(missing.attempt, "mkdir");
    EXPECT_EQ(missing.error, ENOENT);
}

TEST_F(SingleInstanceTest, DescriptorsAreClosedOnExec) {
    auto owner = Own();
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
