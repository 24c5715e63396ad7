#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim/sim_control_directory.h"
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
        auto device = backend.Open(kVendorId, kProductId, nullptr);
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

}  // namespace
}  // namespace qx
