#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "link/CHVInterface.h"
#include "sim/sim_hid_backend.h"
#include "tests/support/fake_port.h"
#include "tests/support/poll_until.h"
#include "vsp/CVSPDriver.h"

namespace qx {
namespace {

using namespace std::chrono_literals;

TEST(LinkWorker, RealTimerLearnsTheVersionQuickly) {
    SimHidBackend backend(1);
    CHVInterface link(backend);
    link.key = SimSerialNumber(1);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(link.Start(0, false));
    // The time it took is recorded for the benchmarks' record; the bound only catches a link that
    // never learns it, as a loaded machine may hold up the worker's first ticks for long.
    EXPECT_TRUE(test::PollUntil([&] { return link.identityChanged.load() == 1; }, 10s));
    EXPECT_EQ(link.VersionText(), "1.0.5");
    RecordProperty("identity_ms",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - started)
                                        .count()));
    EXPECT_TRUE(link.Close());
    EXPECT_FALSE(link.Close());
}

// Ports replaced under the running worker, most of them keying, and the PTT test restarted
// meanwhile; then the ports go, unkeying the device, and one more test keys and releases it.
TEST(LinkWorker, PortsReplacedWhileTheWorkerRunsAndALastTestEndsUnkeyed) {
    SimHidBackend backend(1);
    CHVInterface link(backend);
    link.key = SimSerialNumber(1);
    ASSERT_TRUE(link.Start(0, false));
    for (int round = 0; round < 50; ++round) {
        auto port = std::make_unique<test::FakePort>();
        port->State().SetOpen(true);
        port->State().SetLines(round % 3 != 2, true);
        {
            std::lock_guard lock(link.portGuard);
            link.ports[round % kChannelCount].instance = std::move(port);
        }
        link.StartPttTest();
        std::this_thread::sleep_for(1ms);
    }
    {
        std::lock_guard lock(link.portGuard);
        for (auto& slot : link.ports) slot.instance.reset();
    }
    auto device = backend.Device(1);
    const auto unkeyed = [&] {
        const auto lines = device->LineReports();
        return link.pttTestCountdown.load() == 0 && !lines.empty() && lines.back().bytes[1] == 0;
    };
    ASSERT_TRUE(test::PollUntil(unkeyed, 5000ms));
    const std::size_t before = device->LineReports().size();
    link.StartPttTest();
    EXPECT_TRUE(test::PollUntil(
        [&] { return device->LineReports().size() == before + 2 && unkeyed(); }, 5000ms));
    EXPECT_TRUE(link.Close());
}

TEST(LinkWorker, UnpluggedDeviceKeepsTheWorkerGoingUntilClose) {
    SimHidBackend backend(1);
    CHVInterface link(backend);
    link.key = SimSerialNumber(1);
    ASSERT_TRUE(link.Start(0, false));
    auto device = backend.Device(1);
    ASSERT_TRUE(test::PollUntil([&] { return device->ReadCount() > 5; }, 1000ms));
    backend.Unplug(1);
    // A test's 1000 ticks, each a pass whose reads and writes fail, run to their end.
    link.StartPttTest();
    EXPECT_TRUE(test::PollUntil([&] { return link.pttTestCountdown.load() == 0; }, 5000ms));
    EXPECT_TRUE(link.Close());
}

// The real worker sleeps once start-up is over and each source of news gets its work done.
TEST(LinkWorker, SleepsWhenIdleAndWakesForEachSource) {
    SimHidBackend backend(1);
    CHVInterface link(backend);
    link.key = SimSerialNumber(1);
    link.fskInversionPending.store(0);  // no poll to wait for
    std::array<std::shared_ptr<test::FakePortState>, kChannelCount> ports;
    for (Channel channel : {kCat, kPttCw}) {
        auto port = std::make_unique<test::FakePort>();
        ports[channel] = port->SharedState();
        uint32_t cookie = 0;
        ASSERT_TRUE(port->Advise(std::make_shared<CVSPDriver>(link.WorkerWake()), cookie));
        link.ports[channel].instance = std::move(port);
    }
    ASSERT_TRUE(link.Start(0, false));
    auto device = backend.Device(1);
    const auto asleep = [&] {
        return test::PollUntil([&] { return link.sleeping.load() == 1; }, 2000ms);
    };
    ASSERT_TRUE(asleep());

    EXPECT_EQ(device->LineReports().size(), 2u);  // released at open
    link.StartPttTest();
    EXPECT_TRUE(test::PollUntil([&] { return device->LineReports().size() == 3; }, 1000ms));
    ASSERT_TRUE(asleep());  // after the test's 1000 ticks
    EXPECT_EQ(device->LineReports().size(), 4u);

    ports[kPttCw]->SetOpen(true);
    ports[kPttCw]->SetLines(false, true);
    ports[kPttCw]->Fire(kEventOpened);
    EXPECT_TRUE(test::PollUntil([&] { return device->LineReports().size() == 5; }, 1000ms));

    ports[kCat]->SetOpen(true);
    ports[kCat]->Fire(kEventOpened);
    std::string answer;
    const auto answered = [&] {
        answer += ports[kCat]->TakeToProgram();
        return !answer.empty() && answer.back() == ';';
    };
    ports[kCat]->ProgramWrites("FA;");
    EXPECT_TRUE(test::PollUntil(answered, 1000ms));
    EXPECT_TRUE(answer.starts_with("FA")) << answer;

    answer.clear();
    device->QueueChannelData(kCat, "ID;");
    EXPECT_TRUE(test::PollUntil(answered, 1000ms));
    EXPECT_EQ(answer, "ID;");

    EXPECT_TRUE(link.Close());
}

}  // namespace
}  // namespace qx
