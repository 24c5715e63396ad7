#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "sim/sim_control_directory.h"
#include "tests/support/opened_device.h"
#include "tests/support/poll_until.h"
#include "tests/support/temp_home.h"

namespace qx {
namespace {

TEST(SimControlDirectory, FilesPlugAndUnplugAndLogsShowWhatArrived) {
    test::TempHome home;
    const std::string dir = home.Root();
    SimHidBackend backend(1);
    auto notices = backend.OpenNoticeSource();
    {
        SimControlDirectory control(backend, dir);
        auto device = test::Opened(backend.Open(kVendorId, kProductId, nullptr));
        std::array<uint8_t, 64> report{1, 'L', 'I', 'S', 'T'};
        device->Write(report.data(), report.size());
        report = {3, 0x02};
        device->Write(report.data(), report.size());

        std::ofstream(dir + "/unplugged-QX4SIM0001").put('\n');
        ASSERT_TRUE(test::PollUntil([&] { return !backend.Device(1)->Plugged(); },
                                    std::chrono::seconds(10)));
        std::filesystem::remove(dir + "/unplugged-QX4SIM0001");
        control.Scan();
        EXPECT_TRUE(backend.Device(1)->Plugged());
    }
    const auto seen = notices->ReadNotices();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, DeviceNotice::kRemoval);
    EXPECT_EQ(seen[1].kind, DeviceNotice::kArrival);

    std::ifstream log(dir + "/QX4SIM0001.log");
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_EQ(text.str(), "command LIST\nline 02\n");
}

std::set<std::string> Threads() {
    std::set<std::string> threads;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        threads.insert(task.path().filename().string());
    return threads;
}

// How often the threads went to sleep (voluntary context switches), summed.
long Wakeups(const std::set<std::string>& threads) {
    long total = 0;
    for (const std::string& thread : threads) {
        std::ifstream status("/proc/self/task/" + thread + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(24));
    }
    return total;
}

// The control thread sleeps while nothing happens, so the program's own idle figures show
// through, and still logs a report as soon as it arrives.
TEST(SimControlDirectory, SleepsWhileIdleAndWakesForReports) {
    test::TempHome home;
    SimHidBackend backend(1);
    // ThreadSanitizer starts its own thread, which wakes every 100 ms, at a process's first
    // thread start: it is running before the control thread is told apart.
    std::thread([] {}).join();
    const std::set<std::string> before = Threads();
    SimControlDirectory control(backend, home.Root());
    std::set<std::string> controlThreads = Threads();
    for (const std::string& thread : before) controlThreads.erase(thread);

    auto device = test::Opened(backend.Open(kVendorId, kProductId, nullptr));
    std::array<uint8_t, 64> report{1, 'L', 'I', 'S', 'T'};
    device->Write(report.data(), report.size());
    const std::string log = home.Root() + "/QX4SIM0001.log";
    ASSERT_TRUE(test::PollUntil([&] { return test::ReadBytes(log) == "command LIST\n"; },
                                std::chrono::seconds(10)));

    // The thread's own log file brings a wake-up or two (its creation and writes are directory
    // changes), which a loaded machine may deliver late: the span starts once they have passed.
    long settled = -1;  // no figure yet: at least one step of 100 ms is watched
    EXPECT_TRUE(test::PollUntil(
        [&] {
            const long now = Wakeups(controlThreads);
            return std::exchange(settled, now) == now;
        },
        std::chrono::seconds(10), std::chrono::milliseconds(100)))
        << "the control thread never went quiet";
    // Any scan every quarter second or more often wakes more than the allowance in the span,
    // however busy the machine: a sleeping thread is not woken by load.
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the span measured, not a wait
    EXPECT_LE(Wakeups(controlThreads) - settled, 3) << "a periodic wake-up while idle";
}

}  // namespace
}  // namespace qx
