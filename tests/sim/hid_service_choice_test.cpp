#include "sim/hid_service_choice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

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
    const Expected<HidService> refused = MakeHidServiceFromEnvironment();
    EXPECT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("QXM_SIMULATED_DEVICES"), std::string::npos);

    ::setenv("QXM_SIMULATED_DEVICES", "2", 1);
    const Expected<HidService> simulated = MakeHidServiceFromEnvironment();
    ASSERT_TRUE(simulated);
    EXPECT_EQ(simulated->backend->Enumerate(0, 0).size(), 2u);
    EXPECT_FALSE(simulated->control);  // no control directory asked for
    EXPECT_EQ(simulated->simulatedSerialNumbers,
              (std::vector<std::string>{"QX4SIM0001", "QX4SIM0002"}));
    ::unsetenv("QXM_SIMULATED_DEVICES");
}

}  // namespace
}  // namespace qx
