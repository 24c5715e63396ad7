#include "tests/support/temp_home.h"
#include "vsp/cuse_port_class.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace qx {
namespace {

TEST(CusePortClass, RefusedWithoutCuseOrWithoutADirectory) {
    EXPECT_FALSE(MakeCusePortClass(""));
    EXPECT_FALSE(MakeCusePortClass("/nonexistent/qx-ports"));
    if (::access("/dev/cuse", R_OK | W_OK) == 0) GTEST_SKIP() << "this machine has /dev/cuse";
    test::TempHome home;
    const auto refused = MakeCusePortClass(home.Root());
    ASSERT_FALSE(refused);  // the program then falls back to pseudo-terminals
    EXPECT_NE(refused.error().message.find("/dev/cuse"), std::string::npos);
}

TEST(CusePortClass, WithoutAHelperTheReasonIsKept) {
    const test::TempHome home;
    const std::string dir = home.Root();
    const auto noHelper = MakeCuseHelperPortClass(dir, dir + "/no-helper.sock");
    ASSERT_FALSE(noHelper);
    EXPECT_NE(noHelper.error().message.find("no-helper.sock"), std::string::npos);
    const auto noDirectory =
        MakeCuseHelperPortClass("/nonexistent/qx-ports", dir + "/no-helper.sock");
    ASSERT_FALSE(noDirectory);
    EXPECT_NE(noDirectory.error().message.find("/nonexistent/qx-ports"), std::string::npos);
}

TEST(CusePortClass, DeviceNamesFollowPortNames) {
    EXPECT_EQ(CuseDeviceName("COM5"), "qx-COM5");
    EXPECT_EQ(CuseDeviceName("COM255"), "qx-COM255");
}

}  // namespace
}  // namespace qx
