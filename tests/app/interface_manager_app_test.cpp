#include "app/CInterfaceManagerApp.h"

#include <gtest/gtest.h>

#include "manager/config_store.h"
#include "platform/private_profile.h"
#include "tests/support/temp_home.h"

namespace qx {
namespace {

TEST(SimulatedInterfaces, GetPortsOnceAndKeepTheUsersChoice) {
    test::TempHome home;
    LocateIniFile();
    const std::string second = InterfaceSection("QX4SIM0002");
    WritePrivateProfileString(second, "PortFsk", "42", ProfileFile());
    GiveSimulatedInterfacesPorts({"QX4SIM0001", "QX4SIM0002"});
    const std::string first = InterfaceSection("QX4SIM0001");
    EXPECT_EQ(GetPrivateProfileInt(first, "PortCat", 0, ProfileFile()), 1);
    EXPECT_EQ(GetPrivateProfileInt(first, "PortWinkey", 0, ProfileFile()), 4);
    EXPECT_EQ(GetPrivateProfileInt(second, "PortCat", 0, ProfileFile()), 0) << "the user chose already";
    EXPECT_EQ(GetPrivateProfileInt(second, "PortFsk", 0, ProfileFile()), 42);

    for (Channel channel : kAllChannels) WritePrivateProfileString(first, PortKey(channel), "0", ProfileFile());
    GiveSimulatedInterfacesPorts({"QX4SIM0001"});
    EXPECT_EQ(GetPrivateProfileInt(first, "PortCat", -1, ProfileFile()), 0) << "ports let go stay so";
}

}  // namespace
}  // namespace qx
