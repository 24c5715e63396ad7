// The real program with a simulated interface, met from the outside as radio programs meet it:
// through its ports, the simulated device's log and a second start.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/private_profile.h"
#include "tests/support/program_process.h"
#include "tests/support/radio_program.h"
#include "tests/support/temp_environment.h"
#include "tests/support/poll_until.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ProgramParity;
using test::ProgramProcess;
using test::RadioProgram;

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound = 20s) {
    return test::PollUntil(condition, bound, 20ms);
}

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }
std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

class RadioAmateurTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(test::ProgramPath())) << "qx-manager is not built";
        simDir_ = env_.Root() + "/sim";
        ::setenv("QXM_SIMULATED_DEVICES", "1", 1);
        ::setenv("QXM_SIM_CONTROL_DIR", simDir_.c_str(), 1);
        ::setenv("QXM_PORT_KIND", "pty", 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // The user chose ports for the interface in an earlier run.
        const std::string section = "Interface-QX4SIM0001";
        const std::string ini = env_.IniPath();
        fs::create_directories(fs::path(ini).parent_path());
        WritePrivateProfileString(section, "PortCat", "3", ini);
        WritePrivateProfileString(section, "PortPttCw", "4", ini);
        WritePrivateProfileString(section, "PortFsk", "5", ini);
        WritePrivateProfileString(section, "PortWinkey", "6", ini);
    }
    void TearDown() override {
        for (const char* name : {"QXM_SIMULATED_DEVICES", "QXM_SIM_CONTROL_DIR", "QXM_PORT_KIND"})
            ::unsetenv(name);
    }

    std::string Port(int number) const { return env_.PortsDir() + "/COM" + std::to_string(number); }
    bool PortsPresent(bool present) const {
        for (int number : {3, 4, 5, 6})
            if (fs::is_symlink(Port(number)) != present) return false;
        return true;
    }
    std::string DeviceLog() const { return test::ReadFile(simDir_ + "/QX4SIM0001.log"); }
    bool LogHas(const std::string& line) const { return DeviceLog().find(line + "\n") != std::string::npos; }
    // What the transceiver answers to a CAT command.
    std::string Ask(RadioProgram& cat, const std::string& command, std::size_t answerLength) {
        cat.Write(Bytes(command));
        return Text(cat.Read(answerLength));
    }

    test::TempEnvironment env_;
    std::string simDir_;
};

TEST_F(RadioAmateurTest, PortsCarryCatFskAndWinKeyAndFollowTheDevice) {
    ProgramProcess program({"-m"}, env_.Root() + "/first");
    ASSERT_TRUE(program.WaitUntilRunning()) << program.Err();
    ASSERT_TRUE(Eventually([&] { return PortsPresent(true); })) << program.Out() << program.Err();

    {
        // A logging program sets the CAT port to 4800 baud with two stop bits...
        RadioProgram cat(Port(3));
        ASSERT_TRUE(cat.Valid());
        ASSERT_TRUE(cat.Configure(4800, 8, ProgramParity::kNone, 2));
        EXPECT_TRUE(Eventually([&] { return LogHas("command SET CAT;MODE=8N2"); })) << DeviceLog();
        const std::string log = DeviceLog();
        EXPECT_LT(log.find("command SET CAT;SPEED=4800"), log.find("command SET CAT;MODE=8N2"));

        // ...reads the frequency, sets another one and reads it back.
        EXPECT_EQ(Ask(cat, "FA;", 14), "FA00014074000;");
        cat.Write(Bytes("FA00007030000;"));
        EXPECT_EQ(Ask(cat, "FA;", 14), "FA00007030000;");
        EXPECT_EQ(Ask(cat, "ID;", 6), "ID019;");
    }
    {
        RadioProgram fsk(Port(5));
        ASSERT_TRUE(fsk.Valid());
        fsk.Write(Bytes("RYRY"));
        EXPECT_TRUE(Eventually([&] { return LogHas("data FSK 52595259"); })) << DeviceLog();

        RadioProgram winkey(Port(6));
        ASSERT_TRUE(winkey.Valid());
        winkey.Write({0x00, 0x02, 0x13});
        EXPECT_EQ(winkey.Read(3), (std::vector<uint8_t>{0x00, 0x02, 0x13})) << "the device echoes WinKey";
    }

    // The interface is unplugged: its ports go; plugged in again, they come back by name.
    std::ofstream(simDir_ + "/unplugged-QX4SIM0001").close();
    EXPECT_TRUE(Eventually([&] { return PortsPresent(false); }));
    fs::remove(simDir_ + "/unplugged-QX4SIM0001");
    ASSERT_TRUE(Eventually([&] { return PortsPresent(true); }));
    RadioProgram cat(Port(3));
    ASSERT_TRUE(cat.Valid());
    EXPECT_EQ(Ask(cat, "FA;", 14), "FA00007030000;") << "the radio kept its frequency";

    // A second start with -x ends the first, which saves its settings.
    ProgramProcess exit({"-x"}, env_.Root() + "/second");
    EXPECT_EQ(exit.Wait(), 0);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
    const std::string ini = env_.IniPath();
    EXPECT_EQ(GetPrivateProfileInt("Interface-QX4SIM0001", "PortCat", -1, ini), 3);
    EXPECT_EQ(GetPrivateProfileString("Interface-QX4SIM0001", "ModelName", "", ini), "QX-4");
    EXPECT_EQ(GetPrivateProfileInt("Appearance", "HideInTray", -1, ini), 1);
    EXPECT_EQ(GetPrivateProfileInt("Ports", "RemovePortsOnDeviceRemoval", -1, ini), 1);
}

}  // namespace
}  // namespace qx
