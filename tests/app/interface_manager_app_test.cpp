#include "app/CInterfaceManagerApp.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "manager/config_store.h"
#include "platform/private_profile.h"
#include "tests/support/temp_environment.h"
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

TEST(SimulatedInterfaces, GetPortsOnceAndKeepTheUsersChoice) {
    test::TempHome home;
    LocateIniFile();
    const std::string second = InterfaceSection("QX4SIM0002");
    WritePrivateProfileString(second, "PortFsk", "42", ProfileFile());
    GiveSimulatedInterfacesPorts(2);
    const std::string first = InterfaceSection("QX4SIM0001");
    EXPECT_EQ(GetPrivateProfileInt(first, "PortCat", 0, ProfileFile()), 1);
    EXPECT_EQ(GetPrivateProfileInt(first, "PortWinkey", 0, ProfileFile()), 4);
    EXPECT_EQ(GetPrivateProfileInt(second, "PortCat", 0, ProfileFile()), 0) << "the user chose already";
    EXPECT_EQ(GetPrivateProfileInt(second, "PortFsk", 0, ProfileFile()), 42);

    for (Channel channel : kAllChannels) WritePrivateProfileString(first, PortKey(channel), "0", ProfileFile());
    GiveSimulatedInterfacesPorts(1);
    EXPECT_EQ(GetPrivateProfileInt(first, "PortCat", -1, ProfileFile()), 0) << "ports let go stay so";
}

// The program changes into its data folder early on; a relative ports directory the user gave
// must still be found where the program was started, not under the data folder.
TEST(PortsDirectoryChoice, RelativePathIsTakenFromTheStartingDirectory) {
    test::TempEnvironment environment;
    const std::string started = environment.Root() + "/started-here";
    std::filesystem::create_directories(started);
    const std::filesystem::path previous = std::filesystem::current_path();
    ASSERT_EQ(::chdir(started.c_str()), 0);
    ::setenv("QXM_PORTS_DIR", "myports", 1);
    ::setenv("QXM_PORT_KIND", "pty", 1);
    ::setenv("QXM_SIMULATED_DEVICES", "0", 1);

    CInterfaceManagerApp app;
    std::string published;
    app.runWindow = [&](RunningServices& services) {
        published = services.portClass.PortsDirectory();
        return 0;
    };
    EXPECT_EQ(app.Run({}), 0);
    std::filesystem::current_path(previous);
    ::unsetenv("QXM_PORT_KIND");
    ::unsetenv("QXM_SIMULATED_DEVICES");

    EXPECT_EQ(published, started + "/myports");
    EXPECT_TRUE(std::filesystem::is_directory(started + "/myports"));
}

}  // namespace
}  // namespace qx
