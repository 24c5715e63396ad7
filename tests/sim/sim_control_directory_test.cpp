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
        test::PollUntil([&] { return !backend.Device(1)->Plugged(); }, std::chrono::seconds(2));
        EXPECT_FALSE(backend.Device(1)->Plugged());
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
    const std::set<std::string> before = Threads();
    SimControlDirectory control(backend, home.Root());
    std::set<std::string> controlThreads = Threads();
    for (const std::string& thread : before) controlThreads.erase(thread);

    auto device = test::Opened(backend.Open(kVendorId, kProductId, nullptr));
    std::array<uint8_t, 64> report{1, 'L', 'I', 'S', 'T'};
    device->Write(report.data(), report.size());
    const std::string log = home.Root() + "/QX4SIM0001.log";
    EXPECT_TRUE(test::PollUntil([&] { return test::ReadBytes(log) == "command LIST\n"; },
                                std::chrono::seconds(2)));

    // A 20 ms scan would wake ten times in the span; the thread's own log file may still bring
    // a wake-up or two (its creation is a directory change), and a sanitizer's runtime more.
    const long idleStart = Wakeups(controlThreads);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the span measured
    EXPECT_LE(Wakeups(controlThreads) - idleStart, 3) << "a periodic wake-up while idle";
}

}  // namespace
}  // namespace qx
