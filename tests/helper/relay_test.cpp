// The relay of a keying port: its session logic against frames a hostile program may send, and
// the confined relay process itself between a stand-in kernel (a socket pair in place of
// /dev/cuse) and the program's side of the port.
#include <asm/ioctls.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/termios.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/relay_protocol.h"
#include "helper/relay.h"
#include "helper/relay_confinement.h"
#include "helper/relay_session.h"
#include "platform/realtime_scheduling.h"
#include "tests/support/cuse_messages.h"
#include "tests/support/poll_until.h"
#include "vsp/IVSPortAx.h"
#include "vsp/cuse_relay_device.h"

namespace qx::helper {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr uid_t kRelayUid = 65533;

Bytes Frame(const RelayFrame& frame) { return EncodeRelayFrame(frame); }

// A read that gives up (-1, ETIMEDOUT) when nothing comes within a generous bound.
ssize_t ReadWithin(int fd, Bytes& buffer) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20000) != 1) {
        errno = ETIMEDOUT;
        return -1;
    }
    return ::read(fd, buffer.data(), buffer.size());
}

// Two connected ends of a socket that keeps message bounds, as the relay's peers use.
std::pair<UniqueFd, UniqueFd> SeqPacketPair() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// Bytes no relay frame starts with.
void SendGarbage(const UniqueFd& peer) {
    const uint8_t garbage[] = {0xFF, 0xFF, 0xFF, 0xFF};
    ::send(peer.Get(), garbage, sizeof garbage, MSG_NOSIGNAL);
}

TEST(RelaySession, AFrameBeyondTheProtocolOrItsCreditEndsTheSession) {
    const Bytes full = Frame(RelayFrame::Bytes(RelayFrameType::kToProgram, Bytes(kRelayWindow)));
    const struct {
        const char* what;
        std::vector<Bytes> frames;  // the last one is refused, those before it taken
    } cases[] = {
        {"garbage", {{0xFF, 0xFF, 0xFF, 0xFF}}},
        {"a relay's frame", {Frame(RelayFrame::State({}))}},
        {"bytes beyond the port's room",
         {full, Frame(RelayFrame::Bytes(RelayFrameType::kToProgram, {1}))}},
        {"credit never given", {Frame(RelayFrame::Consumed(1))}},
    };
    for (const auto& c : cases) {
        RelaySession session;
        for (size_t i = 0; i + 1 < c.frames.size(); ++i) {
            const Expected<void> taken = session.FromProgram(c.frames[i]);
            ASSERT_TRUE(taken) << c.what << ": " << taken.error().message;
        }
        const Expected<void> refused = session.FromProgram(c.frames.back());
        EXPECT_FALSE(refused) << c.what;
        EXPECT_FALSE(refused.error().message.empty()) << c.what;
    }
}

// The frames a program gets, decoded.
std::vector<RelayFrame> Decoded(RelaySession& session) {
    std::vector<RelayFrame> frames;
    for (; !session.ProgramOutbox().empty(); session.ProgramFrameSent()) {
        auto frame = DecodeRelayFrame(Frame(session.ProgramOutbox().front()), RelaySender::kRelay);
        EXPECT_TRUE(frame) << frame.error().message;
        if (frame) frames.push_back(*frame);
    }
    return frames;
}

TEST(RelaySession, ThePortsStateBytesAndCreditReachTheProgram) {
    RelaySession session;
    const auto now = SerialClock::now();
    session.FromKernel(test::Open(1), now);
    auto frames = Decoded(session);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].state.open);
    EXPECT_EQ(frames[0].state.openerPid, test::kPid);
    EXPECT_EQ(frames[1].event, kEventOpened);
    const uint64_t fh = test::Parse(session.TakeKernelOutbox().at(0)).As<fuse_open_out>().fh;

    session.FromKernel(test::Write(2, fh, "FA;"), now);
    frames = Decoded(session);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, (Bytes{'F', 'A', ';'}));

    ASSERT_TRUE(
        session.FromProgram(Frame(RelayFrame::Bytes(RelayFrameType::kToProgram, {'I', 'F', ';'}))));
    session.TakeKernelOutbox();
    session.FromKernel(test::Read(3, fh, 64), now);
    const auto read = test::Parse(session.TakeKernelOutbox().at(0));
    EXPECT_EQ(read.body, (Bytes{'I', 'F', ';'}));
    frames = Decoded(session);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, RelayFrameType::kConsumed);
    EXPECT_EQ(frames[0].count, 3u);
}

// The link tells the port's input line on every pass while the port is open; the relay hears
// of it only when it changes.
TEST(RelayDevice, TheInputLineIsAFrameOnlyWhenItChanges) {
    auto [served, relay] = SeqPacketPair();
    auto serving = CuseRelayDevice::Serve(std::move(served), nullptr);
    ASSERT_TRUE(serving) << serving.error().message;
    auto device = *serving;
    for (const bool line : {false, false, false, true, true, true, true, false, true, true})
        device->SetInputLine(line);
    std::vector<bool> told;
    Bytes message(kRelayMaxFrame);
    for (ssize_t n; (n = ::recv(relay.Get(), message.data(), message.size(), MSG_DONTWAIT)) > 0;) {
        const auto frame =
            DecodeRelayFrame({message.data(), static_cast<size_t>(n)}, RelaySender::kProgram);
        ASSERT_TRUE(frame) << frame.error().message;
        if (frame->type == RelayFrameType::kInputLine) told.push_back(frame->asserted);
    }
    EXPECT_EQ(told, (std::vector<bool>{false, true, false, true}));
    device->End();
}

// A program that reads none of its frames for a while (a stall, a debugger) keeps its port: what
// waits for it stays a few frames however busy the port is, and it then meets the port as it is
// now, its latest state before the event that wakes it to read that state.
TEST(RelaySession, FramesForAProgramThatDoesNotReadStayFewAndCurrent) {
    RelaySession session;
    const auto now = SerialClock::now();
    session.FromKernel(test::Open(1), now);
    const uint64_t fh = test::Parse(session.TakeKernelOutbox().at(0)).As<fuse_open_out>().fh;
    ASSERT_TRUE(
        session.FromProgram(Frame(RelayFrame::Bytes(RelayFrameType::kToProgram, {'I', 'F', ';'}))));
    uint64_t unique = 2;
    for (int i = 0; i < 3; ++i) session.FromKernel(test::Read(unique++, fh, 1), now);
    for (int i = 0; i < 500; ++i) {  // fast keying
        session.FromKernel(test::Ioctl(unique++, fh, TIOCMBIS, 0x1000, test::IntBytes(TIOCM_RTS)),
                           now);
        session.FromKernel(test::Ioctl(unique++, fh, TIOCMBIC, 0x1000, test::IntBytes(TIOCM_RTS)),
                           now);
    }
    session.FromKernel(test::Ioctl(unique++, fh, TIOCMBIS, 0x1000, test::IntBytes(TIOCM_DTR)), now);
    session.FromKernel(test::Write(unique++, fh, "FA;"), now);

    const std::vector<RelayFrame> frames = Decoded(session);
    std::vector<RelayFrameType> types;
    for (const RelayFrame& frame : frames) types.push_back(frame.type);
    EXPECT_EQ(types, (std::vector<RelayFrameType>{RelayFrameType::kEvent, RelayFrameType::kConsumed,
                                                  RelayFrameType::kState, RelayFrameType::kEvent,
                                                  RelayFrameType::kFromProgram}));
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0].event, kEventOpened);
    EXPECT_EQ(frames[1].count, 3u) << "credit returned adds up";
    EXPECT_TRUE(frames[2].state.open);
    EXPECT_FALSE(frames[2].state.rts);
    EXPECT_TRUE(frames[2].state.dtr);
    EXPECT_EQ(frames[3].event, kEventLinesChanged);
    EXPECT_EQ(frames[4].bytes, (Bytes{'F', 'A', ';'}));
}

// RunRelay on a thread of its own between a stand-in kernel and a program.
struct RelayOnThread {
    RelayOnThread() {
        std::tie(kernel, relayKernel) = SeqPacketPair();
        std::tie(program, relayProgram) = SeqPacketPair();
        EXPECT_TRUE(PrepareRelayDescriptors(relayKernel.Get()));
        relay = std::thread([this] {
            why = RunRelay(relayKernel.Get(), relayProgram.Get()).message;
            ended.set_value();
        });
    }
    ~RelayOnThread() { Join(); }
    // Why the relay ended, once it has. A relay still running after bound fails the test and is
    // ended by closing the kernel's and the program's ends, so that no test waits for ever.
    const std::string& Join(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        if (!relay.joinable()) return why;
        if (endedFuture.wait_for(bound) != std::future_status::ready) {
            ADD_FAILURE() << "the relay did not end within " << bound.count() << " ms";
            kernel.Reset();
            program.Reset();
        }
        relay.join();
        return why;
    }

    UniqueFd kernel, program, relayKernel, relayProgram;
    std::string why;
    std::promise<void> ended;
    std::future<void> endedFuture = ended.get_future();
    std::thread relay;
};

// Each way a relay ends leaves a reason in the helper's log.
TEST(RelayLoop, EveryEndHasAReason) {
    const struct {
        const char* what;
        std::function<void(UniqueFd& kernel, UniqueFd& program)> end;
        const char* reason;
    } cases[] = {
        {"the kernel ends the device", [](UniqueFd& kernel, UniqueFd&) { kernel.Reset(); },
         "the kernel ended the device"},
        {"the program leaves", [](UniqueFd&, UniqueFd& program) { program.Reset(); },
         "the program closed its end"},
        {"the program breaks the protocol",
         [](UniqueFd&, UniqueFd& program) { SendGarbage(program); }, "relay frame refused"},
    };
    for (const auto& c : cases) {
        RelayOnThread relay;
        c.end(relay.kernel, relay.program);
        const std::string& why = relay.Join();
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
    }
}

// The kernel's request and the relay's one reply to it; a reply with unique 0 when none came.
test::Reply AskWithin(int kernel, const Bytes& request) {
    if (::write(kernel, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        return {};
    Bytes reply(kCuseReadBuffer);
    const ssize_t n = ReadWithin(kernel, reply);
    if (n <= 0) return {};
    reply.resize(static_cast<size_t>(n));
    return test::Parse(reply);
}

// A program that reads none of its frames while its port is keyed fast, far beyond what its
// socket holds: the relay goes on answering the kernel, and the program then reads the port as
// it is now.
TEST(RelayLoop, AProgramThatStopsReadingKeepsItsPort) {
    RelayOnThread relay;
    const uint64_t fh = AskWithin(relay.kernel.Get(), test::Open(1)).As<fuse_open_out>().fh;
    uint64_t unique = 2;
    int answered = 0;
    for (int i = 0; i < 2000; ++i) {
        const unsigned long request = i % 2 == 0 ? TIOCMBIS : TIOCMBIC;
        if (AskWithin(relay.kernel.Get(),
                      test::Ioctl(unique++, fh, request, 0x1000, test::IntBytes(TIOCM_RTS)))
                .unique != 0)
            ++answered;
    }
    EXPECT_EQ(answered, 2000);
    EXPECT_EQ(AskWithin(relay.kernel.Get(),
                        test::Ioctl(unique++, fh, TIOCMBIS, 0x1000, test::IntBytes(TIOCM_DTR)))
                  .error,
              0);

    std::optional<RelayPortState> last;
    Bytes buffer(kRelayMaxFrame);
    pollfd p{relay.program.Get(), POLLIN, 0};
    while (!(last && last->dtr) && ::poll(&p, 1, 5000) == 1) {
        const ssize_t n = ::recv(relay.program.Get(), buffer.data(), buffer.size(), 0);
        ASSERT_GT(n, 0) << "the relay ended: " << relay.why;
        const auto frame =
            DecodeRelayFrame({buffer.data(), static_cast<size_t>(n)}, RelaySender::kRelay);
        ASSERT_TRUE(frame) << frame.error().message;
        if (frame->type == RelayFrameType::kState) last = frame->state;
    }
    ASSERT_TRUE(last && last->dtr) << relay.why;
    EXPECT_FALSE(last->rts);
    relay.program.Reset();
    EXPECT_EQ(relay.Join(), "the program closed its end");
}

// The program's side of a port tells a relay that was lost, and why, from one it ended itself:
// only a lost one is asked for again.
TEST(CuseRelayDevice, TellsALostRelayAndWhyFromOneItEnded) {
    const struct {
        const char* what;
        std::function<void(UniqueFd& relay, CuseRelayDevice& device)> end;
        const char* lostBecause;  // "" when not lost
    } cases[] = {
        {"the relay ends", [](UniqueFd& relay, CuseRelayDevice&) { relay.Reset(); },
         "the relay ended"},
        {"the relay breaks the protocol",
         [](UniqueFd& relay, CuseRelayDevice&) { SendGarbage(relay); }, "relay frame refused"},
        {"the program ends it", [](UniqueFd&, CuseRelayDevice& device) { device.End(); }, ""},
    };
    for (const auto& c : cases) {
        auto [relay, served] = SeqPacketPair();
        auto serving = CuseRelayDevice::Serve(std::move(served), {});
        ASSERT_TRUE(serving) << serving.error().message;
        auto device = *serving;
        EXPECT_TRUE(device->LostBecause().empty()) << c.what;
        c.end(relay, *device);
        ASSERT_TRUE(test::PollUntil([&] { return device->Ended(); }, 5s)) << c.what;
        const std::string why = device->LostBecause();
        if (*c.lostBecause == '\0')
            EXPECT_EQ(why, "") << c.what;
        else
            EXPECT_NE(why.find(c.lostBecause), std::string::npos) << c.what << ": " << why;
    }
}

// A relay forked and confined as the helper does it, between a stand-in kernel and a program.
class ConfinedRelay : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "confining the relay needs root";
        auto [kernel, relay] = SeqPacketPair();
        kernel_ = std::move(kernel);
        Expected<StartedRelay> started =
            StartRelay(std::move(relay), "qx-COM240", {kRelayUid, kRelayUid});
        ASSERT_TRUE(started) << started.error().message;
        program_ = std::move(started->program);
        report_ = std::move(started->report);
        ASSERT_TRUE(program_.Valid());
    }
    void TearDown() override {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {}
    }

    // The kernel's request and the relay's one reply to it.
    test::Reply Ask(const Bytes& request) {
        EXPECT_EQ(::write(kernel_.Get(), request.data(), request.size()),
                  static_cast<ssize_t>(request.size()));
        Bytes reply(kCuseReadBuffer);
        const ssize_t n = ReadWithin(kernel_.Get(), reply);
        EXPECT_GT(n, 0) << std::strerror(errno);
        reply.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return test::Parse(reply);
    }

    // The /proc/<pid>/status lines of the relay: the test's child running as the relay user.
    std::string RelayStatus() {
        std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
        while (const dirent* entry = ::readdir(proc.get())) {
            std::ifstream file(std::string("/proc/") + entry->d_name + "/status");
            const std::string status((std::istreambuf_iterator<char>(file)), {});
            if (status.find("PPid:\t" + std::to_string(::getpid()) + "\n") != std::string::npos &&
                status.find("Uid:\t" + std::to_string(kRelayUid)) != std::string::npos)
                return status;
        }
        return "";
    }

    UniqueFd kernel_, program_, report_;
};

TEST_F(ConfinedRelay, RunsWithoutPrivilegesAndServesTheProgramsPort) {
    const std::string status = RelayStatus();
    ASSERT_FALSE(status.empty());
    for (const char* line : {"CapEff:\t0000000000000000", "CapPrm:\t0000000000000000",
                             "NoNewPrivs:\t1", "Seccomp:\t2", "Gid:\t65533\t65533\t65533"})
        EXPECT_NE(status.find(line), std::string::npos) << line << " in\n" << status;

    std::vector<int> events;
    std::mutex eventsMutex;
    auto serving = CuseRelayDevice::Serve(std::move(program_), [&](int id) {
        std::lock_guard lock(eventsMutex);
        events.push_back(id);
    });
    ASSERT_TRUE(serving) << serving.error().message;
    auto device = *serving;
    const uint64_t fh = Ask(test::Open(1)).As<fuse_open_out>().fh;
    EXPECT_EQ(Ask(test::Ioctl(2, fh, TIOCMBIS, 0x1000, test::IntBytes(TIOCM_RTS))).error, 0);
    EXPECT_EQ(Ask(test::Write(3, fh, "FA;")).error, 0);
    EXPECT_EQ(Ask(test::Ioctl(4, fh, TIOCGPGRP, 0x1000, "", 4)).error, ENOTTY);
    ASSERT_TRUE(test::PollUntil([&] { return device->BytesWaiting() == 3; }, 5s));
    // The helper made the relay real-time before it dropped root; the program's thread, as root
    // here, too.
    EXPECT_EQ(LastSchedulingOutcome(SchedulingRole::kRelay).scheduling, Scheduling::kFifo);
    EXPECT_EQ(LastSchedulingOutcome(SchedulingRole::kPortThread).scheduling, Scheduling::kFifo);
    EXPECT_TRUE(device->IsOpen());
    EXPECT_EQ(device->OpenerPid(), static_cast<pid_t>(test::kPid));
    EXPECT_TRUE(device->Rts());
    EXPECT_FALSE(device->Dtr());
    uint8_t taken[8] = {};
    EXPECT_EQ(device->TakeFromProgram(taken, sizeof taken), 3u);

    // Device to program: whole or refused, within the relay's room.
    const Bytes tooMuch(kRelayWindow + 1, 'x');
    EXPECT_FALSE(device->DeliverToProgram(tooMuch.data(), tooMuch.size()));
    EXPECT_TRUE(device->DeliverToProgram(reinterpret_cast<const uint8_t*>("IF;"), 3));
    test::Reply read;
    ASSERT_TRUE(
        test::PollUntil([&] { return (read = Ask(test::Read(5, fh, 64))).body.size() == 3; }, 5s));

    device->End();  // the relay ends the device: the kernel's side sees its end close
    Bytes rest(kCuseReadBuffer);
    EXPECT_EQ(ReadWithin(kernel_.Get(), rest), 0);
    std::lock_guard lock(eventsMutex);
    EXPECT_EQ(events.front(), kEventOpened);
}

TEST_F(ConfinedRelay, AHostileFrameEndsTheSessionAndFailsWhatWaits) {
    const uint64_t fh = Ask(test::Open(1)).As<fuse_open_out>().fh;
    const Bytes blockingRead = test::Read(2, fh, 64, 0);
    ASSERT_EQ(::write(kernel_.Get(), blockingRead.data(), blockingRead.size()),
              static_cast<ssize_t>(blockingRead.size()));
    const Bytes oversized(3 * kRelayMaxFrame, 16);
    ASSERT_EQ(::send(program_.Get(), oversized.data(), oversized.size(), 0),
              static_cast<ssize_t>(oversized.size()));
    Bytes reply(kCuseReadBuffer);
    ssize_t n = 0;
    std::vector<test::Reply> replies;
    while ((n = ReadWithin(kernel_.Get(), reply)) > 0) {
        const test::Reply r = test::Parse({reply.begin(), reply.begin() + n});
        if (r.unique == 2) replies.push_back(r);
    }
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].error, EIO);
    EXPECT_EQ(n, 0);  // the connection closed: the kernel removes the node
    // Why it ended goes to the helper, which writes it under the port user's budget.
    Bytes said(kRelayReportMax);
    n = ReadWithin(report_.Get(), said);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(said.begin(), said.begin() + n),
              "relay for qx-COM240 ended: the program sent a frame of " +
                  std::to_string(oversized.size()) + " bytes");
}

// The confined relay may map memory for its allocator but never make any executable: a call
// that asks for it ends the process.
TEST(RelayConfinement, ExecutableMemoryIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "confining the relay needs root";
    const struct {
        const char* what;
        long call;
        int protection;
        bool allowed;
    } cases[] = {
        {"a data mapping", SYS_mmap, PROT_READ | PROT_WRITE, true},
        {"an executable mapping", SYS_mmap, PROT_READ | PROT_EXEC, false},
        {"write-protecting memory", SYS_mprotect, PROT_READ, true},
        {"making memory executable", SYS_mprotect, PROT_READ | PROT_EXEC, false},
    };
    for (const auto& c : cases) {
        void* page =
            ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(page, MAP_FAILED);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Ended by the system call itself: a sanitizer's exit hook (the leak check) makes
            // calls the filter refuses.
            const auto end = [](int code) { ::syscall(SYS_exit_group, code); };
            if (!ConfineRelay({kRelayUid, kRelayUid}, {})) end(2);
            const long result = c.call == SYS_mmap
                                    ? ::syscall(SYS_mmap, nullptr, 4096, c.protection,
                                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                    : ::syscall(SYS_mprotect, page, 4096, c.protection);
            end(result == -1 ? 3 : 0);
        }
        ::munmap(page, 4096);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (c.allowed)
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << ": " << status;
        else
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS)
                << c.what << ": " << status;
    }
}

}  // namespace
}  // namespace qx::helper
