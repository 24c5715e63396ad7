#include "sim/hid_service_choice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/sim_hid_backend.h"
#include "tests/support/poll_until.h"
#include "tests/support/temp_home.h"

namespace qx {
namespace {

TEST(SimulatedDeviceCount, AcceptsOnlyPlainCountsInRange) {
    EXPECT_EQ(ParseSimulatedDeviceCount("0"), 0);
    EXPECT_EQ(ParseSimulatedDeviceCount("3"), 3);
    EXPECT_EQ(ParseSimulatedDeviceCount("16"), kMaxSimulatedDevices);
    for (const char* bad : {"", "17", "-1", "3x", " 3", "x", "99999999999999999999"}) {
        EXPECT_EQ(ParseSimulatedDeviceCount(bad), -1) << bad;
    }
}

TEST(HidService, AnUnreadableDeviceCountIsRefusedWithItsReason) {
    ::setenv("QXM_SIMULATED_DEVICES", "many", 1);
    const Expected<HidServiceChoice> refused = MakeHidServiceFromEnvironment();
    EXPECT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("QXM_SIMULATED_DEVICES"), std::string::npos);

    ::setenv("QXM_SIMULATED_DEVICES", "2", 1);
    const Expected<HidServiceChoice> simulated = MakeHidServiceFromEnvironment();
    ASSERT_TRUE(simulated);
    EXPECT_EQ(simulated->service.backend->Enumerate(0, 0).size(), 2u);
    const auto* backend = dynamic_cast<const SimHidBackend*>(simulated->service.backend.get());
    ASSERT_NE(backend, nullptr);
    EXPECT_FALSE(backend->FollowsControlDirectory());  // no control directory asked for
    EXPECT_FALSE(simulated->service.realDevices);
    EXPECT_EQ(simulated->simulatedSerialNumbers,
              (std::vector<std::string>{"QX4SIM0001", "QX4SIM0002"}));
    ::unsetenv("QXM_SIMULATED_DEVICES");
}

// The control directory asked for drives the service's devices for as long as the service
// lives, and ends with it.
TEST(HidService, TheControlDirectoryDrivesTheSimulatedDevicesWhileTheServiceLives) {
    test::TempHome home;
    std::ofstream(home.Root() + "/unplugged-QX4SIM0002").put('\n');
    ::setenv("QXM_SIMULATED_DEVICES", "2", 1);
    ::setenv("QXM_SIM_CONTROL_DIR", home.Root().c_str(), 1);
    Expected<HidServiceChoice> simulated = MakeHidServiceFromEnvironment();
    ::unsetenv("QXM_SIMULATED_DEVICES");
    ::unsetenv("QXM_SIM_CONTROL_DIR");
    ASSERT_TRUE(simulated);
    HidBackend& backend = *simulated->service.backend;
    EXPECT_TRUE(test::PollUntil([&] { return backend.Enumerate(0, 0).size() == 1; },
                                std::chrono::seconds(2)));
    std::filesystem::remove(home.Root() + "/unplugged-QX4SIM0002");
    EXPECT_TRUE(test::PollUntil([&] { return backend.Enumerate(0, 0).size() == 2; },
                                std::chrono::seconds(2)));
    simulated->service.backend.reset();  // stops the directory's thread before the devices go
}

}  // namespace
}  // namespace qx
