#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/link_harness.h"

namespace qx::test {
namespace {

using Lines = std::vector<std::pair<int, int>>;

std::array<uint8_t, 64> RawReport(int id, int lengthByte, char fill) {
    std::array<uint8_t, 64> report{};
    report[0] = static_cast<uint8_t>(id);
    report[1] = static_cast<uint8_t>(lengthByte);
    for (std::size_t i = 2; i < report.size(); ++i) report[i] = static_cast<uint8_t>(fill);
    return report;
}

TEST(ReportChannelLines, ChangeIsSentAtOnceAndRepeatedOnce21TicksLater) {
    LinkHarness h(SilentDevice());
    auto port = h.AddPort(kPttCw);
    h.Tick();
    port->SetLines(false, true);  // DTR: CW
    h.Tick(80);
    EXPECT_EQ(h.Lines(), (Lines{{2, 0x02}, {23, 0x02}}));
}

TEST(ReportChannelWrites, RefusedReportsAreCounted) {
    LinkHarness h(SilentDevice());
    auto port = h.AddPort(kPttCw);
    h.Tick();
    port->SetLines(false, true);
    h.Tick(80);
    EXPECT_EQ(h.link.reportWritesRefused.load(), 0u);

    h.backend.Unplug(1);
    port->SetLines(false, false);  // the line report of this change is refused
    h.Tick();
    EXPECT_EQ(h.link.reportWritesRefused.load(), 1u);
}

TEST(ReportChannelLines, LoweringSoonAfterRaisingRepeatsOnlyTheLoweredState) {
    LinkHarness h(SilentDevice());
    auto port = h.AddPort(kPttCw);
    h.Tick();
    port->SetLines(true, false);
    h.Tick(3);
    port->SetLines(false, false);
    h.Tick(60);
    EXPECT_EQ(h.Lines(), (Lines{{2, 0x01}, {5, 0x00}, {26, 0x00}}));
}

TEST(ReportChannelLines, ClosingThePortDropsCwThenPttAndReopeningSendsTheLinesHeld) {
    LinkHarness h(SilentDevice());
    auto port = h.AddPort(kPttCw);
    port->SetLines(true, true);
    h.Tick();
    EXPECT_EQ(h.Lines(), (Lines{{1, 0x02}, {1, 0x03}}));  // DTR is looked at before RTS
    port->SetOpen(false);
    h.Tick(5);
    EXPECT_EQ(h.Lines(), (Lines{{1, 0x02}, {1, 0x03}, {2, 0x01}, {2, 0x00}}));

    // Reopened by a program that raises both lines at once: the device is keyed again.
    port->SetOpen(true);
    h.Tick(100);
    EXPECT_EQ(
        h.Lines(),
        (Lines{{1, 0x02}, {1, 0x03}, {2, 0x01}, {2, 0x00}, {7, 0x02}, {7, 0x03}, {28, 0x03}}));
}

// A line report that did not go through may or may not have reached the device: the release
// that follows keeps no line the device is not known to hold.
TEST(ReportChannelLines, AReleaseNeverSetsALineTheDeviceMayNotHold) {
    LinkHarness h(SilentDevice());
    auto port = h.AddPort(kPttCw);
    h.Tick();
    h.device->StallWrites(std::chrono::milliseconds(0));
    port->SetLines(true, false);
    h.Tick();
    h.device->ResumeWrites();
    port->SetOpen(false);
    h.Tick();
    EXPECT_EQ(h.Lines(), (Lines{{3, 0x00}, {3, 0x00}}));
}

// A port bound with its program's lines from before the link (kept while the interface was away)
// keys nothing by them: the returned interface stays released until the program changes a line,
// and that change keys at once.
TEST(ReportChannelLines, LinesHeldFromBeforeTheLinkKeyOnlyOnceChanged) {
    LinkHarness h(SilentDevice());
    auto port = h.AddPort(kPttCw);
    port->SetLines(true, true);
    {
        std::lock_guard lock(h.link.portGuard);
        h.link.ports[kPttCw].linesFromBefore = true;
    }
    h.Tick(50);
    EXPECT_EQ(h.Lines(), Lines{});
    port->SetLines(true, false);  // CW released: nothing the device holds changes
    h.Tick();
    port->SetLines(true, true);
    h.Tick();
    EXPECT_EQ(h.Lines(), (Lines{{51, 0x00}, {52, 0x02}}));
}

// A program let go of the port while keying: a test that follows ends as it would have without
// it, its line released on its last tick.
TEST(ReportChannelLines, TestAfterTheProgramLetGoWhileKeyingReleasesItsLine) {
    for (const bool cw : {false, true}) {
        SCOPED_TRACE(cw ? "CW" : "PTT");
        LinkHarness h(SilentDevice());
        auto port = h.AddPort(kPttCw);
        port->SetLines(!cw, cw);
        h.Tick();
        port->SetOpen(false);
        h.Tick();
        cw ? h.link.StartCwTest() : h.link.StartPttTest();
        h.Tick(1100);
        const int bit = cw ? 0x02 : 0x01;
        EXPECT_EQ(h.Lines(), (Lines{{1, bit}, {2, bit & 0x01}, {2, 0x00}, {3, bit}, {1002, 0x00}}));
    }
}

TEST(ReportChannelLines, PttTestWithoutPortSetsThenClears999TicksLater) {
    LinkHarness h(SilentDevice());
    h.link.StartPttTest();
    h.Tick(1100);
    EXPECT_EQ(h.Lines(), (Lines{{1, 0x01}, {1000, 0x00}}));
    EXPECT_EQ(h.link.pttTestCountdown.load(), 0);
}

TEST(ReportChannelLines, CwTestKeepsTheLineThatThePortHolds) {
    LinkHarness h(SilentDevice());
    auto port = h.AddPort(kPttCw);
    port->SetLines(false, true);
    h.Tick();
    h.link.StartCwTest();
    h.Tick(1100);
    EXPECT_EQ(h.Lines(), (Lines{{1, 0x02}, {2, 0x02}, {22, 0x02}}));
}

TEST(ReportChannelLines, PressingTestAgainRestartsIt) {
    LinkHarness h(SilentDevice());
    h.link.StartPttTest();
    h.Tick(500);
    h.link.StartPttTest();
    h.Tick(1100);
    EXPECT_EQ(h.Lines(), (Lines{{1, 0x01}, {501, 0x01}, {1500, 0x00}}));
}

TEST(ReportChannelLines, InputStateWithBit2MaskedMustEqualOne) {
    LinkHarness h(SilentDevice());
    auto port = h.AddPort(kPttCw);
    const std::pair<uint8_t, bool> cases[] = {
        {0x05, true}, {0x03, false}, {0x01, true}, {0x00, false}, {0x81, false}};
    for (const auto& [state, asserted] : cases) {
        h.device->QueueInputState(state);
        h.Tick(2);  // read on one tick, passed to the port on the next
        EXPECT_EQ(port->inputLine, asserted) << int(state);
    }
}

TEST(ReportChannelData, DeviceToPortHonoursLengthAndBoundsIt) {
    LinkHarness h(SilentDevice());
    auto cat = h.AddPort(kCat);
    const std::string full(62, 'x');
    h.device->QueueChannelData(kCat, full);
    h.Tick();
    EXPECT_EQ(cat->TakeToProgram(), full);

    h.device->QueueInput(RawReport(2, 0, 'a'));
    h.Tick();
    EXPECT_EQ(cat->writeCalls, 1);  // one call per report, none for length 0

    h.device->QueueInput(RawReport(2, 255, 'b'));  // length byte past the report
    h.Tick();
    EXPECT_EQ(cat->TakeToProgram(), std::string(62, 'b'));
}

TEST(ReportChannelData, PortToDeviceAtMost62BytesPerTick) {
    LinkHarness h(SilentDevice());
    auto fsk = h.AddPort(kFsk);
    fsk->ProgramWrites(std::string(62, 'p') + std::string(10, 'q'));
    h.Tick(3);
    const auto reports = h.DataReports(4);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(h.PayloadOf(reports[0]), std::string(62, 'p'));
    EXPECT_EQ(h.PayloadOf(reports[1]), std::string(10, 'q'));
    EXPECT_EQ(reports[1].tick, 2);
    for (std::size_t i = 12; i < 64; ++i) EXPECT_EQ(reports[1].bytes[i], 0) << i;

    // A component claiming more than it could have taken is held to 62.
    fsk->ProgramWrites("r");
    fsk->readClaim = 300;
    h.Tick();
    ASSERT_EQ(h.DataReports(4).size(), 3u);
    EXPECT_EQ(h.DataReports(4)[2].bytes[1], 62);
}

TEST(ReportChannelData, DataForAClosedPortIsDroppedNotBuffered) {
    LinkHarness h(SilentDevice());
    auto winKey = h.AddPort(kWinKey, false);
    winKey->ProgramWrites("abc");
    h.device->QueueChannelData(kWinKey, "lost");
    h.Tick();
    winKey->SetOpen(true);
    h.Tick();
    EXPECT_EQ(winKey->TakeToProgram(), "");
    EXPECT_EQ(winKey->writeCalls, 0);
    // Once open, the waiting bytes go out and the device's WinKey echo comes back.
    ASSERT_EQ(h.DataReports(5).size(), 1u);
    EXPECT_EQ(h.PayloadOf(h.DataReports(5)[0]), "abc");
    h.Tick();
    EXPECT_EQ(winKey->TakeToProgram(), "abc");
}

TEST(ReportChannelData, TwoChannelsWithOneIdFirstChannelTakesInput) {
    LinkHarness h(SilentDevice());
    auto cat = h.AddPort(kCat);
    auto fsk = h.AddPort(kFsk);
    h.link.reportIds[kFsk] = 2;
    h.device->QueueInput(RawReport(2, 3, 'z'));
    fsk->ProgramWrites("ry");
    h.Tick();
    EXPECT_EQ(cat->TakeToProgram(), "zzz");
    EXPECT_EQ(fsk->TakeToProgram(), "");
    ASSERT_EQ(h.DataReports(2).size(), 1u);
    EXPECT_EQ(h.PayloadOf(h.DataReports(2)[0]), "ry");
}

TEST(ReportChannelData, FailingComponentCallsLeaveThePortAloneForTheTick) {
    LinkHarness h(SilentDevice());
    auto cat = h.AddPort(kCat);
    auto pttCw = h.AddPort(kPttCw);
    pttCw->SetLines(true, true);
    cat->ProgramWrites("FA;");
    cat->failing = true;
    pttCw->failing = true;
    h.device->QueueChannelData(kCat, "FA00014074000;");
    h.Tick(30);
    EXPECT_TRUE(h.Lines().empty());
    EXPECT_TRUE(h.DataReports(2).empty());
    EXPECT_EQ(h.device->Commands().size(), 2u);  // the rest of the tick went on
    cat->failing = false;
    h.Tick();
    ASSERT_EQ(h.DataReports(2).size(), 1u);
}

// However a link ends, the device is told CW off, then PTT off, and the tests end; the CW-off
// report keeps only a PTT the device is known to hold, so closing never sets a line. A device
// that refused the last write is stalled or gone: writing more would only hold up the exit.
TEST(ReportChannelEnding, CloseUnkeysWhateverHeldTheLines) {
    struct Case {
        const char* name;
        std::function<void(LinkHarness&, FakePortState&)> before;
        Lines closing;  // the line reports Close wrote
    };
    const auto releasePort = [](LinkHarness& h) {
        std::lock_guard lock(h.link.portGuard);
        h.link.ports[kPttCw].instance.reset();
    };
    const Case cases[] = {
        {"nothing keyed", [](LinkHarness&, FakePortState&) {}, {{10, 0x00}, {10, 0x00}}},
        {"PTT test running",
         [](LinkHarness& h, FakePortState&) { h.link.StartPttTest(); },
         {{10, 0x01}, {10, 0x00}}},
        {"program holds RTS and DTR",
         [](LinkHarness&, FakePortState& port) { port.SetLines(true, true); },
         {{10, 0x01}, {10, 0x00}}},
        {"keying port released just before",
         [&](LinkHarness& h, FakePortState& port) {
             port.SetLines(true, false);
             h.Tick(10);
             releasePort(h);
         },
         {{10, 0x01}, {10, 0x00}}},
        {"keying port released a pass before",
         [&](LinkHarness& h, FakePortState& port) {
             port.SetLines(true, false);
             h.Tick(9);
             releasePort(h);
             h.Tick();  // the worker unkeyed the device itself
         },
         {{10, 0x00}, {10, 0x00}}},
        {"the last write refused: the device is stalled or gone",
         [](LinkHarness& h, FakePortState& port) {
             h.Tick(9);
             h.device->StallWrites(std::chrono::milliseconds(0));
             port.SetLines(true, false);
             h.Tick();
             h.device->ResumeWrites();
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinkHarness h(SilentDevice());
        auto port = h.AddPort(kPttCw);
        c.before(h, *port);
        h.Tick(10 - h.ticks);
        const std::size_t before = h.Lines().size();
        h.Close();
        const Lines lines = h.Lines();
        EXPECT_EQ(Lines(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()),
                  c.closing);
        EXPECT_EQ(h.link.pttTestCountdown.load(), 0);
        EXPECT_EQ(h.link.cwTestCountdown.load(), 0);
    }
}

// A program that stops reading loses whole reports, never part of one; every byte is counted on
// its own channel. Bytes for a port no program holds are not the program's loss.
TEST(ReportChannelOverrun, ReportsThatDoNotFitAreDroppedWholeAndCountedPerChannel) {
    for (Channel channel : {kCat, kFsk, kWinKey}) {
        SCOPED_TRACE(ChannelTitle(channel));
        LinkHarness h(SilentDevice());
        auto port = h.AddPort(channel);
        port->capacity = 20;
        for (const char* answer : {"FA00014074000;", "FB00007000000;", "ID019;"})
            h.device->QueueChannelData(channel, answer);
        h.Tick(3);
        EXPECT_EQ(port->TakeToProgram(), "FA00014074000;ID019;");
        port->SetOpen(false);
        h.device->QueueChannelData(channel, "IF;");
        h.Tick();
        for (Channel counted : kAllChannels)
            EXPECT_EQ(h.link.droppedBytes[counted].load(), counted == channel ? 14u : 0u);
    }
}

TEST(LinkOpening, CloseAfterFailedStartClosesNothing) {
    SimHidBackend backend(1);
    CHVInterface link(backend);
    link.key = "NOT-THERE";
    const Expected<void> started = link.Start(3, false);
    EXPECT_FALSE(started);
    EXPECT_NE(started.error().message.find("NOT-THERE"), std::string::npos)
        << "the backend's reason reaches the link's caller: " << started.error().message;
    EXPECT_EQ(link.enumerationPosition, 0);
    EXPECT_FALSE(link.Close());
    link.ServiceTick();  // no device: nothing happens
}

TEST(LinkOpening, IgnoringSerialNumbersOpensTheDeviceAtItsPath) {
    SimHidBackend backend(2);
    CHVInterface link(backend);
    link.devicePath = backend.DevicePath(2);
    ASSERT_TRUE(link.OpenDevice(1, true));
    link.ServiceTick();
    EXPECT_TRUE(backend.Device(1)->Commands().empty());
    EXPECT_EQ(backend.Device(2)->Commands(), std::vector<std::string>{"LIST"});
    EXPECT_TRUE(link.Close());
}

}  // namespace
}  // namespace qx::test
