// The CUSE requests the port component decodes and answers itself, as the kernel sends them,
// and the device thread serving them over a connection (a socket pair stands in for /dev/cuse).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fuse.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "core/cuse_ioctl_table.h"
#include "core/cuse_protocol.h"
#include "platform/cuse_connection.h"
#include "tests/support/cuse_messages.h"
#include "vsp/IVSPortAx.h"
#include "vsp/cuse_device.h"
#include "vsp/cuse_relay_device.h"
#include "vsp/cuse_session.h"

namespace qx {
namespace {

using test::IntBytes;
using test::Ioctl;
using test::kPid;
using test::Open;
using test::Parse;
using test::Read;
using test::Reply;
using test::Request;
using test::Write;

class CuseSessionTest : public ::testing::Test {
protected:
    std::vector<Reply> Send(const std::vector<uint8_t>& message) {
        session_.Handle(message, SerialClock::now());
        return Drain();
    }
    std::vector<Reply> Drain() {
        std::vector<Reply> replies;
        for (const CuseMessage& m : session_.TakeOutbox()) replies.push_back(Parse(m));
        return replies;
    }
    uint64_t OpenPort() {
        auto replies = Send(Open(1));
        EXPECT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].error, 0);
        return replies[0].As<fuse_open_out>().fh;
    }
    CuseSession session_;
};

TEST_F(CuseSessionTest, OpenWriteReadAndRelease) {
    auto opened = Send(Open(1));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].unique, 1u);
    const auto out = opened[0].As<fuse_open_out>();
    EXPECT_EQ(out.open_flags, static_cast<uint32_t>(FOPEN_DIRECT_IO | FOPEN_NONSEEKABLE));
    EXPECT_TRUE(session_.State().IsOpen());
    EXPECT_EQ(session_.State().OpenerPid(), static_cast<int>(kPid));

    auto written = Send(Write(2, out.fh, "FA;"));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].As<fuse_write_out>().size, 3u);
    EXPECT_EQ(session_.State().BytesWaiting(), 3u);

    // Nothing for the program yet: a non-blocking read fails, a blocking one waits for bytes.
    auto empty = Send(Read(3, out.fh, 64));
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].error, EAGAIN);
    EXPECT_TRUE(Send(Read(4, out.fh, 64, 0)).empty());
    const uint8_t answer[] = {'F', 'A', '1', ';'};
    session_.State().DeliverToProgram(answer);
    EXPECT_TRUE(session_.NeedsService());
    session_.Service();
    auto read = Drain();
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].unique, 4u);
    EXPECT_EQ(std::string(read[0].body.begin(), read[0].body.end()), "FA1;");

    auto released = Send(Request(FUSE_RELEASE, 5, fuse_release_in{out.fh, 0, 0, 0}));
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0].error, 0);
    EXPECT_FALSE(session_.State().IsOpen());
    auto events = session_.State().TakeEvents();
    EXPECT_EQ(events.front(), kEventOpened);
    EXPECT_EQ(events.back(), kEventClosed);
}

// tty ioctls are not _IOC-encoded: the kernel learns from the first reply what to fetch.
TEST_F(CuseSessionTest, PointerIoctlsAskForTheirBuffersAndValueIoctlsDoNot) {
    const uint64_t fh = OpenPort();
    const uint64_t pointer = 0x7ffd12345678;
    auto retry = Send(Ioctl(2, fh, TIOCMBIS, pointer));
    ASSERT_EQ(retry.size(), 1u);
    const auto out = retry[0].As<fuse_ioctl_out>();
    EXPECT_EQ(out.flags, static_cast<uint32_t>(FUSE_IOCTL_RETRY));
    EXPECT_EQ(out.in_iovs, 1u);
    EXPECT_EQ(out.out_iovs, 0u);
    fuse_ioctl_iovec iov{};
    ASSERT_EQ(retry[0].body.size(), sizeof out + sizeof iov);
    std::memcpy(&iov, retry[0].body.data() + sizeof out, sizeof iov);
    EXPECT_EQ(iov.base, pointer);
    EXPECT_EQ(iov.len, sizeof(int));

    auto done = Send(Ioctl(3, fh, TIOCMBIS, pointer, IntBytes(TIOCM_RTS)));
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].error, 0);
    EXPECT_EQ(done[0].As<fuse_ioctl_out>().flags, 0u);
    EXPECT_TRUE(session_.State().Rts());

    auto bits = Send(Ioctl(4, fh, TIOCMGET, pointer, "", sizeof(int)));
    ASSERT_EQ(bits.size(), 1u);
    int value = 0;
    ASSERT_EQ(bits[0].body.size(), sizeof(fuse_ioctl_out) + sizeof value);
    std::memcpy(&value, bits[0].body.data() + sizeof(fuse_ioctl_out), sizeof value);
    EXPECT_EQ(value & (TIOCM_RTS | TIOCM_DTR), TIOCM_RTS);

    // TCFLSH carries its selector as the value; an unknown ioctl is ENOTTY.
    auto flushed = Send(Ioctl(5, fh, TCFLSH, TCIOFLUSH));
    ASSERT_EQ(flushed.size(), 1u);
    EXPECT_EQ(flushed[0].error, 0);
    auto unknown = Send(Ioctl(6, fh, TIOCGPGRP, pointer, "", sizeof(int)));
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_EQ(unknown[0].error, ENOTTY);
}

// A retry makes the kernel copy caller memory both ways: it names only the caller's argument,
// with the size the command's own layout has for that caller (a 32-bit program's serial_struct
// is 60 bytes, not 72); any other command never gets a retry.
TEST_F(CuseSessionTest, RetriesNameOnlyTheArgumentWithItsFixedSize) {
    const uint64_t fh = OpenPort();
    const uint64_t pointer = 0x7ffd00001000;
    const struct {
        uint32_t command;
        bool in;  // the argument is read, else written
        uint32_t size, compatSize;
    } known[] = {
        {TCGETS, false, 36, 36},      {TCSETSW, true, 36, 36},      {TIOCMGET, false, 4, 4},
        {TIOCMBIC, true, 4, 4},       {TIOCGSERIAL, false, 72, 60}, {TIOCSSERIAL, true, 72, 60},
        {TIOCGICOUNT, false, 80, 80}, {FIONREAD, false, 4, 4},      {TIOCOUTQ, false, 4, 4},
        {TIOCGWINSZ, false, 8, 8},    {TIOCSWINSZ, true, 8, 8},
    };
    uint64_t unique = 10;
    for (const bool compat : {false, true})
        for (const auto& c : known) {
            auto retry = Send(Ioctl(++unique, fh, c.command, pointer, "", 0, compat));
            ASSERT_EQ(retry.size(), 1u) << std::hex << c.command;
            const auto out = retry[0].As<fuse_ioctl_out>();
            ASSERT_EQ(out.flags, static_cast<uint32_t>(FUSE_IOCTL_RETRY)) << std::hex << c.command;
            EXPECT_EQ(out.in_iovs, c.in ? 1u : 0u) << std::hex << c.command;
            EXPECT_EQ(out.out_iovs, c.in ? 0u : 1u) << std::hex << c.command;
            fuse_ioctl_iovec iov{};
            ASSERT_EQ(retry[0].body.size(), sizeof out + sizeof iov);
            std::memcpy(&iov, retry[0].body.data() + sizeof out, sizeof iov);
            EXPECT_EQ(iov.base, pointer);
            EXPECT_EQ(iov.len, compat ? c.compatSize : c.size)
                << std::hex << c.command << " compat " << compat;
        }
    // Unknown commands, whatever sizes came along: ENOTTY, no retry, no bytes back.
    const uint32_t unknown[] = {TIOCGPGRP,     TIOCSTI,     TIOCSCTTY, FIONBIO,
                                TIOCSERGETLSR, 0xC0105500u, 0};
    for (uint32_t command : unknown)
        for (uint32_t outSize : {0u, 4u, 4096u}) {
            auto reply = Send(Ioctl(++unique, fh, command, pointer, "", outSize));
            ASSERT_EQ(reply.size(), 1u);
            EXPECT_EQ(reply[0].error, ENOTTY) << std::hex << command;
            EXPECT_TRUE(reply[0].body.empty());
        }
    // A second round with too little of the argument is refused, never asked for again.
    auto shortArgument = Send(Ioctl(++unique, fh, TCSETS, pointer, "abcd"));
    ASSERT_EQ(shortArgument.size(), 1u);
    EXPECT_EQ(shortArgument[0].error, EINVAL);
}

// A 32-bit program's serial_struct, both ways: the answer fits its 60 bytes and has its
// layout; what it sets is read from that layout.
TEST_F(CuseSessionTest, A32BitProgramsSerialInfoHasItsOwnLayout) {
    const uint64_t fh = OpenPort();
    SerialStruct32 info{};
    info.flags = ASYNC_SPD_CUST;
    info.custom_divisor = 2560;
    const std::string asked(reinterpret_cast<const char*>(&info), sizeof info);
    ASSERT_EQ(Send(Ioctl(2, fh, TIOCSSERIAL, 0x1000, asked, 0, true)).at(0).error, 0);
    const auto got = Send(Ioctl(3, fh, TIOCGSERIAL, 0x1000, "", sizeof info, true)).at(0);
    ASSERT_EQ(got.body.size(), sizeof(fuse_ioctl_out) + sizeof info);
    std::memcpy(&info, got.body.data() + sizeof(fuse_ioctl_out), sizeof info);
    EXPECT_EQ(info.custom_divisor, 2560);
    EXPECT_EQ(info.baud_base, 115200);
    EXPECT_EQ(info.closing_wait, 3000);
}

TEST_F(CuseSessionTest, PollWakeUpInterruptFlushAndOthers) {
    const uint64_t fh = OpenPort();
    fuse_poll_in poll{};
    poll.fh = fh;
    poll.kh = 77;
    poll.flags = FUSE_POLL_SCHEDULE_NOTIFY;
    poll.events = POLLIN;
    auto polled = Send(Request(FUSE_POLL, 2, poll));
    ASSERT_EQ(polled.size(), 1u);
    EXPECT_EQ(polled[0].As<fuse_poll_out>().revents & POLLIN, 0u);
    EXPECT_NE(polled[0].As<fuse_poll_out>().revents & POLLOUT, 0u);
    const uint8_t byte = 'x';
    session_.State().DeliverToProgram({&byte, 1});
    session_.Service();
    auto wake = Drain();
    ASSERT_EQ(wake.size(), 1u);
    EXPECT_EQ(wake[0].unique, 0u);  // a notice, not a reply
    EXPECT_EQ(wake[0].error, -FUSE_NOTIFY_POLL);
    EXPECT_EQ(wake[0].As<fuse_notify_poll_wakeup_out>().kh, 77u);
    session_.Service();
    EXPECT_TRUE(Drain().empty()) << "one wake-up per readiness change";

    // A blocking read given up: its answer is EINTR, the interrupt itself gets none.
    uint8_t sink[8];
    session_.State().TakeFromProgram(sink);
    EXPECT_TRUE(Send(Read(3, fh, 8, 0)).size() == 1);  // the byte delivered above
    EXPECT_TRUE(Send(Read(4, fh, 8, 0)).empty());
    EXPECT_TRUE(Send(Request(FUSE_INTERRUPT, 5, fuse_interrupt_in{4})).empty());
    session_.Service();
    auto interrupted = Drain();
    ASSERT_EQ(interrupted.size(), 1u);
    EXPECT_EQ(interrupted[0].unique, 4u);
    EXPECT_EQ(interrupted[0].error, EINTR);
    // Interrupting what no longer waits changes nothing.
    EXPECT_TRUE(Send(Request(FUSE_INTERRUPT, 6, fuse_interrupt_in{4})).empty());

    auto flushed = Send(Request(FUSE_FLUSH, 7, fuse_flush_in{fh, 0, 0, 0}));
    ASSERT_EQ(flushed.size(), 1u);
    EXPECT_EQ(flushed[0].error, 0);
    auto other = Send(Request(FUSE_FSYNC, 8, fuse_fsync_in{}));
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].error, ENOSYS);
    EXPECT_TRUE(Send(Request(FUSE_FORGET, 9, fuse_forget_in{})).empty());
}

TEST_F(CuseSessionTest, ShortAndMalformedRequestsGetAnErrorReplyNeverACrash) {
    const uint64_t fh = OpenPort();
    // Too short to carry an id: nothing to answer.
    EXPECT_TRUE(Send({}).empty());
    EXPECT_TRUE(Send(std::vector<uint8_t>(sizeof(fuse_in_header) - 1, 0xff)).empty());

    // The header's length disagrees with what arrived.
    auto message = Write(10, fh, "abc");
    message.push_back('!');
    auto replies = Send(message);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].unique, 10u);
    EXPECT_EQ(replies[0].error, EINVAL);

    // Every kind with its body cut short.
    uint64_t unique = 20;
    for (uint32_t opcode : std::initializer_list<uint32_t>{
             FUSE_OPEN, FUSE_RELEASE, FUSE_READ, FUSE_WRITE, FUSE_IOCTL, FUSE_POLL, FUSE_FLUSH,
             FUSE_INTERRUPT, static_cast<uint32_t>(CUSE_INIT)}) {
        const uint64_t id = ++unique;
        auto cut = Request(opcode, id, uint8_t{0});
        auto got = Send(cut);
        ASSERT_EQ(got.size(), 1u) << opcode;
        EXPECT_EQ(got[0].unique, id);
        EXPECT_EQ(got[0].error, EINVAL) << opcode;
    }
    // A write or an ioctl whose stated size is not what follows.
    fuse_write_in write{};
    write.fh = fh;
    write.size = 1000;
    EXPECT_EQ(Send(Request(FUSE_WRITE, 40, write, "abc"))[0].error, EINVAL);
    fuse_ioctl_in ioctl{};
    ioctl.cmd = TIOCMBIS;
    ioctl.in_size = 4;
    EXPECT_EQ(Send(Request(FUSE_IOCTL, 41, ioctl, "a"))[0].error, EINVAL);
    // Requests for a handle never given out, or a read far larger than the queue.
    EXPECT_EQ(Send(Read(42, 9999, 1u << 31)).size(), 1u);
    EXPECT_EQ(Send(Request(FUSE_RELEASE, 43, fuse_release_in{9999, 0, 0, 0})).size(), 1u);
    EXPECT_TRUE(session_.State().IsOpen());
}

TEST(CuseProtocol, InitReplyNamesTheDeviceAndAsksForUnrestrictedIoctls) {
    CuseRequest init;
    init.kind = CuseRequest::Kind::kInit;
    init.unique = 1;
    init.major = 7;
    init.minor = 38;
    auto reply = CuseInitReply(init, "qx-COM9");
    ASSERT_TRUE(reply);
    const Reply parsed = Parse(*reply);
    const auto out = parsed.As<cuse_init_out>();
    EXPECT_EQ(out.major, 7u);
    EXPECT_EQ(out.minor, 38u);
    EXPECT_EQ(out.flags, static_cast<uint32_t>(CUSE_UNRESTRICTED_IOCTL));
    EXPECT_EQ(out.max_write, kCuseMaxWrite);
    EXPECT_EQ(out.dev_major, 0u);  // dynamic
    const std::string info(parsed.body.begin() + sizeof out, parsed.body.end());
    EXPECT_EQ(info, std::string("DEVNAME=qx-COM9\0", 16));

    init.minor = 99;  // a newer kernel speaks our version
    EXPECT_EQ(Parse(*CuseInitReply(init, "qx-COM9")).As<cuse_init_out>().minor,
              static_cast<uint32_t>(FUSE_KERNEL_MINOR_VERSION));
    init.minor = 15;  // too old for the ioctl retry used here
    EXPECT_FALSE(CuseInitReply(init, "qx-COM9"));
    init.minor = 38;
    EXPECT_FALSE(CuseInitReply(init, ""));
    EXPECT_FALSE(CuseInitReply(init, std::string("qx\0x", 4)));
}

// The initialisation on a connection: CUSE_INIT answered with the name, then the node awaited
// until the kernel (here: the other end) gives up on the device.
TEST(CuseConnectionTest, InitialisationAnswersInitAndNoticesARefusedDevice) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd kernel(fds[0]), connection(fds[1]);
    const auto init = Request(CUSE_INIT, 1, cuse_init_in{7, 38, 0, 0});
    ASSERT_EQ(::write(kernel.Get(), init.data(), init.size()), static_cast<ssize_t>(init.size()));
    auto result = std::async(std::launch::async, [&] {
        const Expected<void> ok = InitialiseCuse(connection.Get(), "qx-COM-test-absent");
        return ok ? std::string("ok") : ok.error().message;
    });
    std::vector<uint8_t> reply(4096);
    pollfd p{kernel.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    reply.resize(static_cast<size_t>(::read(kernel.Get(), reply.data(), reply.size())));
    const Reply parsed = Parse(reply);
    EXPECT_EQ(parsed.unique, 1u);
    EXPECT_NE(
        std::string(parsed.body.begin(), parsed.body.end()).find("DEVNAME=qx-COM-test-absent"),
        std::string::npos);
    kernel.Reset();
    EXPECT_NE(result.get().find("refused"), std::string::npos);

    // Anything but CUSE_INIT first is a protocol error.
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    kernel.Reset(fds[0]);
    connection.Reset(fds[1]);
    const auto open = Open(1);
    ASSERT_EQ(::write(kernel.Get(), open.data(), open.size()), static_cast<ssize_t>(open.size()));
    const Expected<void> notInit = InitialiseCuse(connection.Get(), "qx-COM-test-absent");
    EXPECT_FALSE(notInit);
    EXPECT_NE(notInit.error().message.find("CUSE_INIT"), std::string::npos)
        << notInit.error().message;
    EXPECT_EQ(notInit.error().code, EPROTO);
}

// The device thread over a connection: requests in, replies out, and the end of either side.
TEST(CuseDeviceTest, ServesAConnectionAndEndsWithIt) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd kernel(fds[0]);
    std::vector<int> events;
    std::mutex eventsMutex;
    auto serving = CuseDevice::Serve(UniqueFd(fds[1]), [&](int id) {
        std::lock_guard lock(eventsMutex);
        events.push_back(id);
    });
    ASSERT_TRUE(serving) << serving.error().message;
    auto device = *serving;
    auto exchange = [&](const std::vector<uint8_t>& request) {
        EXPECT_EQ(::write(kernel.Get(), request.data(), request.size()),
                  static_cast<ssize_t>(request.size()));
        std::vector<uint8_t> buffer(4096);
        pollfd p{kernel.Get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return Reply{0, -1, {}};
        const ssize_t n = ::read(kernel.Get(), buffer.data(), buffer.size());
        buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return Parse(buffer);
    };
    const Reply opened = exchange(Open(1));
    EXPECT_EQ(opened.error, 0);
    EXPECT_TRUE(device->IsOpen());
    EXPECT_EQ(exchange(Write(2, opened.As<fuse_open_out>().fh, "TX;")).As<fuse_write_out>().size,
              3u);
    uint8_t taken[8] = {};
    EXPECT_EQ(device->TakeFromProgram(taken, sizeof taken), 3u);

    // A blocking read that is still waiting when the port ends fails with EIO.
    const auto read = Read(3, opened.As<fuse_open_out>().fh, 8, 0);
    ASSERT_EQ(::write(kernel.Get(), read.data(), read.size()), static_cast<ssize_t>(read.size()));
    pollfd p{kernel.Get(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 100), 0);
    device->End();
    std::vector<uint8_t> buffer(256);
    const ssize_t n = ::read(kernel.Get(), buffer.data(), buffer.size());
    ASSERT_GT(n, 0);
    buffer.resize(static_cast<size_t>(n));
    EXPECT_EQ(Parse(buffer).error, EIO);
    EXPECT_FALSE(device->IsOpen());
    std::lock_guard lock(eventsMutex);
    EXPECT_EQ(events.front(), kEventOpened);
}

// A full thread table (ulimit -u, a container's pids.max) fails the one port whose thread
// cannot start, with the cause, and closes its connection (a relay then ends); the process
// goes on, where an uncaught std::system_error would have ended it. Run in a child that has no
// thread to be had: a uid with a process limit of zero.
TEST(CuseDeviceTest, APortWhoseThreadCannotStartFailsWithTheCause) {
    using Serve = std::function<Expected<void>(UniqueFd)>;
    auto failure = [](const auto& served) -> Expected<void> {
        if (served) return Error{0, "served"};
        return served.error();
    };
    const struct {
        const char* what;
        Serve serve;
    } cases[] = {
        {"in process", [&](UniqueFd fd) { return failure(CuseDevice::Serve(std::move(fd), {})); }},
        {"through a relay",
         [&](UniqueFd fd) { return failure(CuseRelayDevice::Serve(std::move(fd), {})); }},
    };
    for (const auto& c : cases) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlimit none{0, 0};
            if ((::geteuid() == 0 && ::setresuid(65534, 65534, 65534) != 0) ||
                ::setrlimit(RLIMIT_NPROC, &none) != 0)
                ::_exit(10);
            int fds[2];
            if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) ::_exit(11);
            const UniqueFd peer(fds[0]);
            const Expected<void> served = c.serve(UniqueFd(fds[1]));
            const std::string& why = served ? "" : served.error().message;
            if (served || served.error().code != EAGAIN) ::_exit(12);
            if (why.find("starting the thread") == std::string::npos) ::_exit(13);
            char byte = 0;
            if (::recv(peer.Get(), &byte, 1, MSG_DONTWAIT) != 0) ::_exit(14);  // closed
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << c.what << ": ended by signal " << WTERMSIG(status);
        // 10: no limit could be set; 12: not refused with EAGAIN; 13: no cause; 14: still open.
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.what;
    }
}

}  // namespace
}  // namespace qx
