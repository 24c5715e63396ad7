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
    EXPECT_EQ(MakeCusePortClass(home.Root()),
              nullptr);  // the program then falls back to pseudo-terminals
}

TEST(CusePortClass, WithoutAHelperTheReasonIsKept) {
    char dir[] = "/tmp/qx-cuse-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string why;
    EXPECT_EQ(MakeCuseHelperPortClass(dir, std::string(dir) + "/no-helper.sock", &why), nullptr);
    EXPECT_NE(why.find("no-helper.sock"), std::string::npos) << why;
    EXPECT_EQ(MakeCuseHelperPortClass("/nonexistent/qx-ports", std::string(dir) + "/no-helper.sock",
                                      &why),
              nullptr);
    EXPECT_NE(why.find("/nonexistent/qx-ports"), std::string::npos) << why;
    ::rmdir(dir);
}

TEST(CusePortClass, DeviceNamesFollowPortNames) {
    EXPECT_EQ(CuseDeviceName("COM5"), "qx-COM5");
    EXPECT_EQ(CuseDeviceName("COM255"), "qx-COM255");
}

}  // namespace
}  // namespace qx
