#include "app/CInterfaceManagerApp.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "app/exit_codes.h"
#include "manager/config_store.h"
#include "platform/private_profile.h"
#include "tests/support/temp_environment.h"
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
    EXPECT_EQ(GetPrivateProfileInt(second, "PortCat", 0, ProfileFile()), 0)
        << "the user chose already";
    EXPECT_EQ(GetPrivateProfileInt(second, "PortFsk", 0, ProfileFile()), 42);

    for (Channel channel : kAllChannels)
        WritePrivateProfileString(first, PortKey(channel), "0", ProfileFile());
    GiveSimulatedInterfacesPorts({"QX4SIM0001"});
    EXPECT_EQ(GetPrivateProfileInt(first, "PortCat", -1, ProfileFile()), 0)
        << "ports let go stay so";
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
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // a window start needs a display

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
    ::unsetenv("QT_QPA_PLATFORM");

    EXPECT_EQ(published, started + "/myports");
    EXPECT_TRUE(std::filesystem::is_directory(started + "/myports"));
}

// A start that cannot reach the devices says so with its own status, not the usage error's.
TEST(ExitStatus, NoDeviceAccessIsNotAUsageError) {
    test::TempEnvironment environment;
    ::setenv("QXM_PORT_KIND", "pty", 1);
    CInterfaceManagerApp app;
    app.makeHidService = [] { return Expected<HidService>(Error{0, "no hid service"}); };
    EXPECT_EQ(app.Run({"--headless"}), kExitNoDeviceAccess);
    EXPECT_EQ(app.Run({"--no-such-switch"}), kExitUsage);
    ::unsetenv("QXM_PORT_KIND");
}

}  // namespace
}  // namespace qx
