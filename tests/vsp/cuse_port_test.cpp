#include "vsp/cuse_port.h"
#include "tests/support/temp_home.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace qx {
namespace {

TEST(CusePortClass, RefusedWithoutCuseOrWithoutADirectory) {
    EXPECT_EQ(MakeCusePortClass(""), nullptr);
    EXPECT_EQ(MakeCusePortClass("/nonexistent/qx-ports"), nullptr);
    if (::access("/dev/cuse", R_OK | W_OK) == 0) GTEST_SKIP() << "this machine has /dev/cuse";
    test::TempHome home;
    EXPECT_EQ(MakeCusePortClass(home.Root()), nullptr);  // the program then falls back to pseudo-terminals
}

TEST(CusePortClass, DeviceNamesFollowPortNames) {
    EXPECT_EQ(CuseDeviceName("COM5"), "qx-COM5");
    EXPECT_EQ(CuseDeviceName("COM255"), "qx-COM255");
}

}  // namespace
}  // namespace qx
