#include "app/CInterfaceManagerApp.h"

#include <gtest/gtest.h>

#include <cstdlib>

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
    std::string reason;
    const HidService refused = CInterfaceManagerApp::MakeHidService(&reason);
    EXPECT_FALSE(refused.backend);
    EXPECT_NE(reason.find("QXM_SIMULATED_DEVICES"), std::string::npos);

    ::setenv("QXM_SIMULATED_DEVICES", "2", 1);
    const HidService simulated = CInterfaceManagerApp::MakeHidService(&reason);
    ASSERT_TRUE(simulated.backend);
    EXPECT_EQ(simulated.backend->Enumerate(0, 0).size(), 2u);
    EXPECT_FALSE(simulated.control);  // no control directory asked for
    ::unsetenv("QXM_SIMULATED_DEVICES");
}

}  // namespace
}  // namespace qx
