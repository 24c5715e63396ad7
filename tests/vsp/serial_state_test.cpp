#include "vsp/serial_state.h"

// The same kernel layouts the port decodes; glibc's <termios.h> stays out of this file too.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <linux/serial.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "vsp/IVSPortAx.h"

namespace qx {
namespace {

using Kind = SerialReply::Kind;

template <class T>
std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

template <class T>
T As(const SerialReply& reply) {
    EXPECT_EQ(reply.data.size(), sizeof(T));
    T value{};
    std::memcpy(&value, reply.data.data(), std::min(sizeof(T), reply.data.size()));
    return value;
}

class SerialStateTest : public ::testing::Test {
protected:
    // A pointer ioctl as the transport runs it: first without buffers, then with them.
    SerialReply PointerIoctl(unsigned int command, const std::vector<uint8_t>& input = {}) {
        const SerialReply first = state.Ioctl(nextId, command, 0, {}, 0);
        if (first.kind != Kind::NeedBuffers) return first;
        EXPECT_EQ(first.inSize, input.size());
        return state.Ioctl(nextId++, command, 0, input, first.outSize);
    }
    SerialReply ValueIoctl(unsigned int command, uint64_t value) {
        return state.Ioctl(nextId++, command, value, {}, 0);
    }

    SerialSettings SetTermios2(uint32_t cflag, uint32_t speed = 0) {
        termios2 t{};
        t.c_cflag = cflag;
        t.c_ispeed = t.c_ospeed = speed;
        EXPECT_EQ(PointerIoctl(TCSETS2, Bytes(t)).error, 0);
        return state.Settings();
    }
    int ModemBits() { return As<int>(PointerIoctl(TIOCMGET)); }
    void SetBits(unsigned int command, int bits) {
        EXPECT_EQ(PointerIoctl(command, Bytes(bits)).error, 0);
    }

    SerialState state{16};
    SerialRequestId nextId = 1;
    SerialClock::time_point now{};
};

TEST_F(SerialStateTest, ReportsFramingAndRateAsTheProgramSetIt) {
    // 7 data bits, even parity, two stop bits at 4800 through the old Bxxx constants.
    termios t{};
    t.c_cflag = B4800 | CS7 | PARENB | CSTOPB | CREAD;
    ASSERT_EQ(PointerIoctl(TCSETS, Bytes(t)).error, 0);
    SerialSettings s = state.Settings();
    EXPECT_EQ(s.baudRate, 4800);
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.parity, kParityEven);
    EXPECT_EQ(s.stopBits, kStopBitsTwo);

    // 45 baud needs BOTHER and the exact rate; two stop bits on 5 data bits are 1.5.
    s = SetTermios2(BOTHER | CS5 | CSTOPB, 45);
    EXPECT_EQ(s.baudRate, 45);
    EXPECT_EQ(s.dataBits, 5);
    EXPECT_EQ(s.parity, kParityNone);
    EXPECT_EQ(s.stopBits, kStopBitsOnePointFive);

    EXPECT_EQ(SetTermios2(B9600 | CS8 | PARENB | PARODD).parity, kParityOdd);
    EXPECT_EQ(SetTermios2(B9600 | CS8 | PARENB | PARODD | CMSPAR).parity, kParityMark);
    EXPECT_EQ(SetTermios2(B9600 | CS8 | PARENB | CMSPAR).parity, kParitySpace);
    EXPECT_EQ(SetTermios2(B9600 | CS8 | PARODD).parity, kParityNone);  // without PARENB
    EXPECT_EQ(SetTermios2(B115200 | CS6).baudRate, 115200);
    EXPECT_EQ(SetTermios2(B0 | CS6).baudRate, 115200) << "speed 0 is a hang-up request";
    EXPECT_EQ(SetTermios2(B9600 | CS6).dataBits, 6);
}

TEST_F(SerialStateTest, TermiosRoundTripsThroughBothLayouts) {
    termios2 set{};
    set.c_iflag = IGNPAR;
    set.c_cflag = BOTHER | CS8 | CREAD | CLOCAL;
    set.c_cc[VMIN] = 0;
    set.c_cc[VTIME] = 7;
    set.c_ispeed = set.c_ospeed = 45;
    ASSERT_EQ(PointerIoctl(TCSETS2, Bytes(set)).error, 0);
    const auto got2 = As<termios2>(PointerIoctl(TCGETS2));
    EXPECT_EQ(std::memcmp(&got2, &set, sizeof set), 0);

    const auto got = As<termios>(PointerIoctl(TCGETS));
    EXPECT_EQ(got.c_cflag, set.c_cflag);
    EXPECT_EQ(got.c_cc[VTIME], 7);

    // The old layout has no speeds: setting it back keeps the exact rate of BOTHER.
    ASSERT_EQ(PointerIoctl(TCSETS, Bytes(got)).error, 0);
    EXPECT_EQ(state.Settings().baudRate, 45);
    // A Bxxx code replaces it.
    termios old = got;
    old.c_cflag = B1200 | CS8;
    ASSERT_EQ(PointerIoctl(TCSETS, Bytes(old)).error, 0);
    EXPECT_EQ(As<termios2>(PointerIoctl(TCGETS2)).c_ospeed, 1200u);
    EXPECT_EQ(As<termios2>(PointerIoctl(TCGETS2)).c_ispeed, 1200u);
}

TEST_F(SerialStateTest, SettingsEventOnlyWhenSomethingChanges) {
    state.TakeEvents();
    SetTermios2(B4800 | CS8);
    EXPECT_EQ(state.TakeEvents(), std::vector<int>{kEventSettingsChanged});
    SetTermios2(B4800 | CS8);
    EXPECT_TRUE(state.TakeEvents().empty());
}

TEST_F(SerialStateTest, ModemLinesSetGetAndRaiseEvents) {
    ASSERT_EQ(state.Open(1, 100), 0);
    EXPECT_EQ(state.TakeEvents(), std::vector<int>{kEventOpened});
    EXPECT_EQ(ModemBits(), 0);  // opening raises nothing
    EXPECT_FALSE(state.Rts());
    EXPECT_FALSE(state.Dtr());

    SetBits(TIOCMBIS, TIOCM_RTS);
    EXPECT_TRUE(state.Rts());
    EXPECT_FALSE(state.Dtr());
    EXPECT_EQ(state.TakeEvents(), std::vector<int>{kEventLinesChanged});
    SetBits(TIOCMBIS, TIOCM_RTS);  // no change, no event
    EXPECT_TRUE(state.TakeEvents().empty());

    SetBits(TIOCMSET, TIOCM_DTR);
    EXPECT_FALSE(state.Rts());
    EXPECT_TRUE(state.Dtr());
    SetBits(TIOCMBIS, TIOCM_RTS);
    SetBits(TIOCMBIC, TIOCM_DTR);
    EXPECT_TRUE(state.Rts());
    EXPECT_FALSE(state.Dtr());

    state.SetInputLine(true);
    EXPECT_EQ(ModemBits(), TIOCM_RTS | TIOCM_CTS);
    state.SetInputLine(false);
    EXPECT_EQ(ModemBits(), TIOCM_RTS);
    EXPECT_EQ(As<serial_icounter_struct>(PointerIoctl(TIOCGICOUNT)).cts, 2);
}

TEST_F(SerialStateTest, LastCloseDropsBothLinesAndLeftoverData) {
    ASSERT_EQ(state.Open(1, 100), 0);
    ASSERT_EQ(state.Open(2, 200), 0);
    SetBits(TIOCMSET, TIOCM_RTS | TIOCM_DTR);
    const uint8_t bytes[] = {1, 2, 3};
    state.DeliverToProgram(bytes);
    const uint8_t written[] = {4, 5};  // the programs' own, never taken
    EXPECT_EQ(state.Write(1, written, true).result, 2);
    state.TakeEvents();

    state.Release(1);  // another program still holds it
    EXPECT_EQ(state.DroppedAtClose(), 0u);
    EXPECT_TRUE(state.Rts());
    EXPECT_EQ(state.OpenerPid(), 200);
    EXPECT_TRUE(state.TakeEvents().empty());

    state.Release(2);
    EXPECT_FALSE(state.IsOpen());
    EXPECT_FALSE(state.Rts());
    EXPECT_FALSE(state.Dtr());
    EXPECT_FALSE(state.Readable());
    EXPECT_EQ(state.BytesWaiting(), 0u);
    EXPECT_EQ(state.DroppedAtClose(), 2u) << "counted as they go";
    EXPECT_EQ(state.TakeEvents(), (std::vector<int>{kEventLinesChanged, kEventClosed}));
    EXPECT_EQ(state.OpenerPid(), std::nullopt);
}

TEST_F(SerialStateTest, ExclusiveModeRefusesOtherOpenersUntilClearedOrClosed) {
    ASSERT_EQ(state.Open(1, 100), 0);
    EXPECT_EQ(ValueIoctl(TIOCEXCL, 0).error, 0);
    EXPECT_EQ(As<int>(PointerIoctl(TIOCGEXCL)), 1);
    EXPECT_EQ(state.Open(2, 200), EBUSY);
    EXPECT_EQ(ValueIoctl(TIOCNXCL, 0).error, 0);
    EXPECT_EQ(state.Open(2, 200), 0);

    EXPECT_EQ(ValueIoctl(TIOCEXCL, 0).error, 0);
    state.Release(1);
    state.Release(2);
    EXPECT_EQ(state.Open(3, 300), 0);  // the last close ends exclusive mode
}

TEST_F(SerialStateTest, UnknownAndMalformedIoctlsAreRefused) {
    EXPECT_EQ(ValueIoctl(TIOCSTI, 0).error, ENOTTY);
    EXPECT_EQ(ValueIoctl(0xDEADBEEF, 0).error, ENOTTY);
    EXPECT_EQ(ValueIoctl(TCGETA, 0).error, ENOTTY);

    // A pointer argument shorter than its struct is refused, never read past.
    const std::vector<uint8_t> shortTermios(sizeof(termios2) - 1, 0xFF);
    EXPECT_EQ(state.Ioctl(1, TCSETS2, 0, shortTermios, 0).error, EINVAL);
    const uint8_t oneByte[] = {TIOCM_RTS};
    EXPECT_EQ(state.Ioctl(1, TIOCMSET, 0, oneByte, 0).error, EINVAL);
    EXPECT_FALSE(state.Rts());
    EXPECT_EQ(state.Ioctl(1, TCGETS2, 0, {}, sizeof(termios2) - 1).error, EINVAL);

    // Value arguments out of range.
    EXPECT_EQ(ValueIoctl(TCFLSH, 3).error, EINVAL);
    EXPECT_EQ(ValueIoctl(TCXONC, 4).error, EINVAL);
    EXPECT_EQ(ValueIoctl(TCXONC, TCOON).error, 0);
    EXPECT_EQ(ValueIoctl(TIOCSBRK, 0).error, 0);
    EXPECT_EQ(ValueIoctl(TIOCCBRK, 0).error, 0);
}

TEST_F(SerialStateTest, PointerIoctlsAskForTheirBuffersFirst) {
    const SerialReply get = state.Ioctl(1, TCGETS2, 0, {}, 0);
    EXPECT_EQ(get.kind, Kind::NeedBuffers);
    EXPECT_EQ(get.inSize, 0u);
    EXPECT_EQ(get.outSize, sizeof(termios2));
    const SerialReply set = state.Ioctl(1, TIOCMBIS, 0, {}, 0);
    EXPECT_EQ(set.kind, Kind::NeedBuffers);
    EXPECT_EQ(set.inSize, sizeof(int));
    EXPECT_EQ(set.outSize, 0u);
    // Value ioctls never do: their argument is the value.
    EXPECT_EQ(state.Ioctl(1, TCFLSH, TCIOFLUSH, {}, 0).kind, Kind::Done);
}

TEST_F(SerialStateTest, LineWaitEndsWhenTheInputLineChanges) {
    EXPECT_EQ(ValueIoctl(TIOCMIWAIT, TIOCM_CTS).kind, Kind::Pending);  // id 1
    EXPECT_EQ(ValueIoctl(TIOCMIWAIT, TIOCM_DSR).kind, Kind::Pending);  // id 2: never changes
    EXPECT_EQ(ValueIoctl(TIOCMIWAIT, TIOCM_CTS | TIOCM_CD).kind, Kind::Pending);  // id 3
    state.SetInputLine(false);                                                    // no change
    EXPECT_TRUE(state.TakeCompletions().empty());

    state.SetInputLine(true);
    const auto done = state.TakeCompletions();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].id, 1u);
    EXPECT_EQ(done[1].id, 3u);
    EXPECT_EQ(done[0].reply.error, 0);

    // The other one waits until the program gives up.
    EXPECT_TRUE(state.Interrupt(2));
    const auto interrupted = state.TakeCompletions();
    ASSERT_EQ(interrupted.size(), 1u);
    EXPECT_EQ(interrupted[0].reply.error, EINTR);
    EXPECT_FALSE(state.Interrupt(2));
}

TEST_F(SerialStateTest, ReadsBlockOrFailAsTheProgramAsked) {
    EXPECT_EQ(state.Read(1, 10, true, now).error, EAGAIN);
    EXPECT_EQ(state.Read(2, 10, false, now).kind, Kind::Pending);

    const uint8_t bytes[] = {'F', 'A', ';'};
    EXPECT_EQ(state.DeliverToProgram(bytes), 3u);
    auto done = state.TakeCompletions();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].id, 2u);
    EXPECT_EQ(done[0].reply.data, (std::vector<uint8_t>{'F', 'A', ';'}));

    // Bytes present: a read takes at most what it asked for.
    state.DeliverToProgram(bytes);
    EXPECT_EQ(As<int>(PointerIoctl(FIONREAD)), 3);
    EXPECT_EQ(state.Read(3, 2, false, now).data, (std::vector<uint8_t>{'F', 'A'}));
    EXPECT_EQ(state.Read(4, 2, true, now).data, (std::vector<uint8_t>{';'}));
}

TEST_F(SerialStateTest, ReadTimingFollowsVminAndVtime) {
    termios2 t{};
    t.c_cflag = B9600 | CS8;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    PointerIoctl(TCSETS2, Bytes(t));
    const SerialReply polled = state.Read(1, 8, false, now);
    EXPECT_EQ(polled.kind, Kind::Done);
    EXPECT_TRUE(polled.data.empty());

    t.c_cc[VTIME] = 5;  // half a second
    PointerIoctl(TCSETS2, Bytes(t));
    EXPECT_EQ(state.Read(2, 8, false, now).kind, Kind::Pending);
    EXPECT_EQ(state.NextDeadline(), now + std::chrono::milliseconds(500));
    state.ExpireDeadlines(now + std::chrono::milliseconds(499));
    EXPECT_TRUE(state.TakeCompletions().empty());
    state.ExpireDeadlines(now + std::chrono::milliseconds(500));
    const auto done = state.TakeCompletions();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].reply.error, 0);
    EXPECT_TRUE(done[0].reply.data.empty());
    EXPECT_EQ(state.NextDeadline(), std::nullopt);
}

TEST_F(SerialStateTest, WritesAreBoundedAndNeverLost) {
    std::vector<uint8_t> big(20);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);

    // Non-blocking: takes what fits, then EAGAIN.
    EXPECT_EQ(state.Write(1, big, true).result, 16);
    EXPECT_EQ(state.Write(2, big, true).error, EAGAIN);
    EXPECT_FALSE(state.Writable());
    EXPECT_EQ(As<int>(PointerIoctl(TIOCOUTQ)), 16);

    std::vector<uint8_t> received(16);
    EXPECT_EQ(state.TakeFromProgram(received), 16u);

    // Blocking: waits until the link has taken enough, and a later write queues behind it.
    EXPECT_EQ(state.Write(3, big, false).kind, Kind::Pending);
    const uint8_t tail[] = {0xAA};
    EXPECT_EQ(state.Write(4, tail, false).kind, Kind::Pending);
    auto take = [&](size_t count) {
        std::vector<uint8_t> out(count);
        out.resize(state.TakeFromProgram(out));
        received.insert(received.end(), out.begin(), out.end());
    };
    take(2);  // room for 2 of the 4 bytes still waiting
    EXPECT_TRUE(state.TakeCompletions().empty());
    take(16);
    const auto done = state.TakeCompletions();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].id, 3u);
    EXPECT_EQ(done[0].reply.result, 20);
    EXPECT_EQ(done[1].id, 4u);
    EXPECT_EQ(done[1].reply.result, 1);
    take(64);

    // Everything arrives once and in order.
    std::vector<uint8_t> expected(big.begin(), big.begin() + 16);
    expected.insert(expected.end(), big.begin(), big.end());
    expected.push_back(0xAA);
    EXPECT_EQ(received, expected);
}

// Blocked writers hold at most kMaxWaitingWriteBytes together: past it a blocking write is
// answered as a non-blocking one (what fits, else EAGAIN), and what waits still arrives whole.
TEST_F(SerialStateTest, WhatBlockedWritersHoldIsBounded) {
    const std::vector<uint8_t> tooBig(SerialState::kMaxWaitingWriteBytes + 17, 1);
    EXPECT_EQ(state.Write(1, tooBig, false).result, 16);
    const std::vector<uint8_t> half(SerialState::kMaxWaitingWriteBytes / 2, 2);
    EXPECT_EQ(state.Write(2, half, false).kind, Kind::Pending);
    EXPECT_EQ(state.Write(3, half, false).kind, Kind::Pending);
    const uint8_t one[] = {3};
    EXPECT_EQ(state.Write(4, one, false).error, EAGAIN);
    size_t received = 0;
    std::vector<uint8_t> out(4096);
    for (size_t n = 1; n > 0;) received += n = state.TakeFromProgram(out);
    EXPECT_EQ(received, 16 + 2 * half.size());
    const auto done = state.TakeCompletions();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[1].reply.result, static_cast<int>(half.size()));
    EXPECT_EQ(state.Write(5, one, false).result, 1);  // nothing waits: room for blocking writes
}

// A reader that sleeps until bytes arrive is told once per arrival into an empty buffer; a
// blocked write that completes when the reader empties the buffer tells it again.
TEST_F(SerialStateTest, BytesWrittenEventWhenBytesArriveWhileNoneWait) {
    state.TakeEvents();
    std::vector<uint8_t> big(20, 0x55);
    const uint8_t one[] = {1};
    EXPECT_EQ(state.Write(1, one, true).result, 1);
    EXPECT_EQ(state.TakeEvents(), std::vector<int>{kEventBytesWritten});
    EXPECT_EQ(state.Write(2, one, true).result, 1);
    EXPECT_TRUE(state.TakeEvents().empty());  // the reader has not emptied the buffer yet

    std::vector<uint8_t> out(16);
    state.TakeFromProgram(out);
    EXPECT_EQ(state.Write(3, big, false).kind, Kind::Pending);
    EXPECT_EQ(state.TakeEvents(), std::vector<int>{kEventBytesWritten});
    state.TakeFromProgram(out);  // empties it: the rest of the blocked write moves in
    EXPECT_EQ(state.TakeEvents(), std::vector<int>{kEventBytesWritten});
}

TEST_F(SerialStateTest, DrainWaitsForTheLinkAndFlushDiscards) {
    const uint8_t bytes[] = {1, 2, 3, 4};
    state.Write(1, bytes, false);
    EXPECT_EQ(ValueIoctl(TCSBRK, 1).kind, Kind::Pending);  // tcdrain
    uint8_t out[2];
    state.TakeFromProgram(out);
    EXPECT_TRUE(state.TakeCompletions().empty());
    state.TakeFromProgram(out);
    EXPECT_EQ(state.TakeCompletions().size(), 1u);
    EXPECT_EQ(ValueIoctl(TCSBRK, 1).kind, Kind::Done);  // nothing left to drain

    state.Write(3, bytes, false);
    state.DeliverToProgram(bytes);
    EXPECT_EQ(ValueIoctl(TCFLSH, TCIFLUSH).error, 0);
    EXPECT_FALSE(state.Readable());
    EXPECT_EQ(state.BytesWaiting(), 4u);
    EXPECT_EQ(ValueIoctl(TCFLSH, TCOFLUSH).error, 0);
    EXPECT_EQ(state.BytesWaiting(), 0u);
}

TEST_F(SerialStateTest, OverrunDropsWholeDeliveriesThatDoNotFit) {
    const std::vector<uint8_t> ten(10, 7), twenty(20, 7);
    EXPECT_EQ(state.DeliverToProgram(twenty), 0u);
    EXPECT_EQ(state.DeliverToProgram(ten), 10u);
    EXPECT_EQ(state.DeliverToProgram(ten), 0u);
    const auto counts = As<serial_icounter_struct>(PointerIoctl(TIOCGICOUNT));
    EXPECT_EQ(counts.rx, 10);
    EXPECT_EQ(counts.buf_overrun, 30);
}

TEST_F(SerialStateTest, SerialInfoIsPlausibleAndCustomDivisorSetsTheRate) {
    auto info = As<serial_struct>(PointerIoctl(TIOCGSERIAL));
    EXPECT_EQ(info.type, PORT_16550A);
    EXPECT_EQ(info.baud_base, 115200);

    SetTermios2(B38400 | CS8);
    info.flags |= ASYNC_SPD_CUST;
    info.custom_divisor = 2560;  // 115200 / 2560 = 45
    EXPECT_EQ(PointerIoctl(TIOCSSERIAL, Bytes(info)).error, 0);
    EXPECT_EQ(state.Settings().baudRate, 45);

    info.custom_divisor = -1;
    EXPECT_EQ(PointerIoctl(TIOCSSERIAL, Bytes(info)).error, EINVAL);
}

// As on a serial tty: the window size starts at zero (stty -a asks for it), keeps what was set
// while the port is open, and is gone with the last program.
TEST_F(SerialStateTest, WindowSizeIsKeptWhileOpen) {
    ASSERT_EQ(state.Open(1, 100), 0);
    EXPECT_EQ(As<winsize>(PointerIoctl(TIOCGWINSZ)).ws_row, 0);
    const winsize set{24, 80, 0, 0};
    EXPECT_EQ(PointerIoctl(TIOCSWINSZ, Bytes(set)).error, 0);
    const auto got = As<winsize>(PointerIoctl(TIOCGWINSZ));
    EXPECT_EQ(got.ws_row, 24);
    EXPECT_EQ(got.ws_col, 80);
    state.Release(1);
    ASSERT_EQ(state.Open(2, 100), 0);
    EXPECT_EQ(As<winsize>(PointerIoctl(TIOCGWINSZ)).ws_col, 0);
}

TEST_F(SerialStateTest, PortGoingAwayFailsEveryWaitingRequest) {
    state.Read(1, 4, false, now);
    ValueIoctl(TIOCMIWAIT, TIOCM_CTS);
    state.AbortWaiting();
    const auto done = state.TakeCompletions();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].reply.error, EIO);
    EXPECT_EQ(done[1].reply.error, EIO);
}

}  // namespace
}  // namespace qx
