// The worker's schedule on simulated time: when the link sleeps, what wakes it, and that the
// rules keep their ticks whether the link ticks every millisecond or sleeps in between.
#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <utility>
#include <vector>

#include "link/tick_clock.h"
#include "tests/support/link_harness.h"
#include "vsp/CVSPDriver.h"

namespace qx::test {
namespace {

using Lines = std::vector<std::pair<int, int>>;
using Commands = std::vector<std::pair<int, std::string>>;

bool Readable(int fd) {
    pollfd wait{fd, POLLIN, 0};
    return ::poll(&wait, 1, 0) == 1 && (wait.revents & POLLIN);
}

// Start-up done and the first poll (which sends the inversion) over: nothing left to do.
void RunUntilAsleep(LinkHarness& h) {
    h.RunFor(1100);
    ASSERT_EQ(h.due, kNoPassDue);
}

TEST(LinkSleep, IdleLinkMakesNoDeviceCallUntilNews) {
    LinkHarness h;
    RunUntilAsleep(h);
    // Start-up on consecutive ticks, then nothing but the poll's tick and its reply.
    EXPECT_LT(h.passes, 12);
    const int passes = h.passes;
    const uint64_t reads = h.device->ReadCount();
    const std::size_t received = h.device->ReceivedCount();

    h.RunFor(5000);
    EXPECT_EQ(h.passes, passes);
    EXPECT_EQ(h.device->ReadCount(), reads);
    EXPECT_EQ(h.device->ReceivedCount(), received);
}

// Poll ticks that went by while there was nothing to poll keep their place: an inversion asked
// for while asleep goes out on the poll tick it would have when ticking.
TEST(LinkSleep, InversionAskedWhileAsleepGoesOutOnThePollTickOfTicking) {
    LinkHarness ticking;
    LinkHarness sleeping;
    ticking.Tick(2600);
    sleeping.RunFor(2600);
    ticking.link.RequestFskInversion(true);
    sleeping.link.RequestFskInversion(true);
    sleeping.News();
    ticking.Tick(1000);
    sleeping.RunFor(1000);
    EXPECT_EQ(sleeping.Commands(), ticking.Commands());
    EXPECT_EQ(sleeping.Commands().back(), (std::pair<int, std::string>{3003, "SET FSK;INVERS=1"}));
}

TEST(LinkSleep, EachSourceOfNewsWakesTheWorker) {
    LinkHarness h;
    auto port = std::make_unique<FakePort>();
    auto state = port->SharedState();
    uint32_t cookie = 0;
    ASSERT_TRUE(port->Advise(std::make_shared<CVSPDriver>(h.link.WorkerWake()), cookie));
    {
        std::lock_guard lock(h.link.portGuard);
        h.link.ports[kWinKey].instance = std::move(port);
    }
    RunUntilAsleep(h);
    const int wake = h.link.WorkerWake()->Fd();
    ASSERT_FALSE(Readable(wake));

    const auto expectWakes = [&](const char* source, auto cause) {
        cause();
        EXPECT_TRUE(Readable(wake)) << source;
        h.link.WorkerWake()->Clear();
    };
    expectWakes("PTT test", [&] { h.link.StartPttTest(); });
    expectWakes("CW test", [&] { h.link.StartCwTest(); });
    expectWakes("FSK inversion", [&] { h.link.RequestFskInversion(true); });
    expectWakes("port opened", [&] { state->Fire(kEventOpened); });
    expectWakes("settings", [&] { state->Fire(kEventSettingsChanged); });
    expectWakes("lines", [&] { state->Fire(kEventLinesChanged); });
    expectWakes("bytes written", [&] { state->ProgramWrites("x"); });
    expectWakes("port closed", [&] { state->Fire(kEventClosed); });
    expectWakes("explicit", [&] { h.link.Wake(); });

    // The device's descriptor is readable exactly while a report waits.
    const int input = h.device->InputReadyFd();
    EXPECT_FALSE(Readable(input));
    h.device->QueueInputState(1);
    EXPECT_TRUE(Readable(input));
    h.News();
    EXPECT_FALSE(Readable(input));
}

TEST(LinkSleep, TestStartedWhileAsleepSetsAndClearsItsLineOnTheUsualTicks) {
    LinkHarness h;
    RunUntilAsleep(h);
    h.RunFor(4321);
    const int passes = h.passes;
    h.link.StartPttTest();
    h.News();
    const int start = h.ticks;
    EXPECT_EQ(h.due, 1);  // ticking while the test counts
    h.RunFor(3000);
    EXPECT_EQ(h.Lines(), (Lines{{start, 0x01}, {start + 999, 0x00}}));
    EXPECT_EQ(h.due, kNoPassDue);
    EXPECT_EQ(h.passes, passes + 1000);
}

TEST(LinkSleep, ProgramOpeningThePttPortWhileAsleepGetsItsLinesSent) {
    LinkHarness h;
    RunUntilAsleep(h);
    h.RunFor(700);
    auto port = h.AddPort(kPttCw);
    port->SetLines(true, false);
    h.News();  // the port's opened event
    const int opened = h.ticks;
    h.RunFor(100);
    port->SetLines(false, false);
    h.News();
    const int lowered = h.ticks;
    h.RunFor(5000);
    EXPECT_EQ(h.Lines(),
              (Lines{{opened, 0x01}, {opened + 21, 0x01}, {lowered, 0x00}, {lowered + 21, 0x00}}));
    // A program holding the port without traffic keeps the link asleep.
    EXPECT_EQ(h.due, kNoPassDue);

    // Closing it while asleep drops the lines at once, CW first.
    port->SetLines(true, true);
    h.News();
    port->SetOpen(false);
    h.News();
    EXPECT_EQ(h.Lines().back(), (std::pair<int, int>{h.ticks, 0x00}));
}

// The radio's keying input arrives while the link sleeps: it reaches the program's CTS on the
// next pass, as when ticking, and the link does not fall asleep with it undelivered.
TEST(LinkSleep, InputStateReportedWhileAsleepReachesTheProgram) {
    LinkHarness h;
    auto port = h.AddPort(kPttCw);
    RunUntilAsleep(h);
    h.device->QueueInputState(1);
    h.News();  // the device's descriptor is readable
    h.RunFor(10);
    EXPECT_TRUE(port->inputLine);
    EXPECT_EQ(h.due, kNoPassDue);
    h.device->QueueInputState(0);
    h.News();
    h.RunFor(10);
    EXPECT_FALSE(port->inputLine);
}

TEST(LinkSleep, BytesKeepTheLinkTickingUntilTheyAreAllRelayed) {
    LinkHarness h(SilentDevice());
    auto cat = h.AddPort(kCat);
    h.RunFor(200);
    cat->ProgramWrites(std::string(150, 'x'));
    h.News();
    h.RunFor(10);
    const auto reports = h.DataReports(2);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[1].tick, reports[0].tick + 1);
    EXPECT_EQ(reports[2].tick, reports[0].tick + 2);
    EXPECT_EQ(h.PayloadOf(reports[2]).size(), 150u - 2 * 62);
}

// A pass the scheduler delayed stands for the tick it was due on alone: a stall moves no rule on
// by more than one tick, so what follows keeps its ticks as if there had been no stall.
TEST(LinkSleep, LatePassStandsForItsDueTickAlone) {
    LinkHarness h(SilentDevice());
    auto ptt = h.AddPort(kPttCw);
    h.link.StartPttTest();
    h.Pass(1);    // the test sets its line: 999 ticks left
    h.Pass(997);  // stalled: one tick of the test and of the reply wait
    EXPECT_EQ(h.ticks, 2);
    EXPECT_EQ(h.Commands().size(), 1u);
    h.Tick(998);
    EXPECT_EQ(h.Lines(), (Lines{{1, 0x01}, {1000, 0x00}}));
    EXPECT_EQ(h.Commands().back(), (std::pair<int, std::string>{120, "VER"}));

    h.Tick();  // the first poll sends the inversion; then only the line repeat is due
    ptt->SetLines(true, false);
    h.Pass(1);
    ASSERT_EQ(h.due, 21);
    h.Pass(25);  // stalled past the repeat: sent once, as on its tick
    EXPECT_EQ(h.Lines().back(), (std::pair<int, int>{1023, 0x01}));
    EXPECT_EQ(h.Lines().size(), 4u);
    EXPECT_EQ(h.due, kNoPassDue);
}

// Whether the timer or news starts it, a pass counts whole ticks and leaves the fraction it
// runs late for the next one: ticks keep up with the milliseconds.
TEST(TickClock, PassesKeepToTheGridOfWholeTicks) {
    constexpr int64_t ms = TickClock::kTickNanoseconds;
    TickClock clock(0);
    EXPECT_EQ(clock.TickTime(1), ms);
    EXPECT_EQ(clock.Pass(ms + ms / 10), 1);  // woken a little late: still on the grid
    EXPECT_EQ(clock.TickTime(1), 2 * ms);
    EXPECT_EQ(clock.Pass(4 * ms + ms / 2), 3);  // three ticks went by
    EXPECT_EQ(clock.Pass(9 * ms + ms / 3), 5);
    EXPECT_EQ(clock.TickTime(1), 10 * ms);

    int64_t ticks = 9;
    int64_t now = 9 * ms + ms / 3;
    for (; now < 999 * ms; now += 19 * ms / 10) ticks += clock.Pass(now);
    EXPECT_EQ(ticks, (now - 19 * ms / 10) / ms);
}

}  // namespace
}  // namespace qx::test
