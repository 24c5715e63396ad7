// The real program with a simulated interface, met from the outside as radio programs meet it:
// through its ports, the simulated device's log, a second start, the switches a user types in a
// terminal, and a rig-control daemon serving its CAT port to the network.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "platform/ports_directory.h"
#include "platform/private_profile.h"
#include "tests/support/poll_until.h"
#include "tests/support/program_process.h"
#include "tests/support/radio_program.h"
#include "tests/support/temp_environment.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ProgramParity;
using test::ProgramProcess;
using test::RadioProgram;

// How long a step of the program may take, and how often the test looks.
constexpr auto kWaitBound = 20s;
constexpr auto kWaitStep = 20ms;

// The standard output of a shell command (a tool of the system, not this program).
std::string CommandOutput(const std::string& command) {
    std::string out;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
        ::pclose(pipe);
    }
    return out;
}

// A TCP port of the loopback interface that nobody listens on now.
int FreeTcpPort() {
    UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(probe.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    return ntohs(address.sin_port);
}

std::string Text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}
std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

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
        for (const auto& [name, value] : displayVariables_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

    // As on a station computer reached over ssh: no display of any kind.
    void WithoutDisplay() {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            const char* value = std::getenv(name);
            displayVariables_[name] = value ? std::optional<std::string>(value) : std::nullopt;
            ::unsetenv(name);
        }
        ::setenv("QT_QPA_PLATFORM", "", 1);
    }
    // Runs `qx-manager args` to its end; the process, for its output and exit code.
    std::unique_ptr<ProgramProcess> Once(const std::vector<std::string>& args) {
        auto process = std::make_unique<ProgramProcess>(
            args, env_.Root() + "/once" + std::to_string(++onceCount_));
        process->Wait();
        return process;
    }
    // Starts the program headless and waits until it serves the interface's ports.
    std::unique_ptr<ProgramProcess> StartHeadless(const std::vector<std::string>& extra = {}) {
        WithoutDisplay();
        std::vector<std::string> args{"--headless"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto program = std::make_unique<ProgramProcess>(args, env_.Root() + "/headless");
        EXPECT_TRUE(program->WaitUntilRunning()) << program->Err();
        EXPECT_TRUE(test::PollUntil([&] { return PortsPresent(true); }, kWaitBound, kWaitStep))
            << program->Out() << program->Err();
        return program;
    }

    std::string Port(int number) const { return PortPath(env_.PortsDir(), number); }
    bool PortsPresent(bool present) const {
        for (int number : {3, 4, 5, 6})
            if (fs::is_symlink(Port(number)) != present) return false;
        return true;
    }
    std::string DeviceLog() const { return test::ReadFile(simDir_ + "/QX4SIM0001.log"); }
    bool LogHas(const std::string& line) const {
        return DeviceLog().find(line + "\n") != std::string::npos;
    }
    // What the transceiver answers to a CAT command.
    std::string Ask(RadioProgram& cat, const std::string& command, std::size_t answerLength) {
        cat.Write(Bytes(command));
        return Text(cat.Read(answerLength));
    }

    test::TempEnvironment env_;
    std::string simDir_;
    std::map<std::string, std::optional<std::string>> displayVariables_;
    int onceCount_ = 0;
};

TEST_F(RadioAmateurTest, PortsCarryCatFskAndWinKeyAndFollowTheDevice) {
    ProgramProcess program({"-m"}, env_.Root() + "/first");
    ASSERT_TRUE(program.WaitUntilRunning()) << program.Err();
    ASSERT_TRUE(test::PollUntil([&] { return PortsPresent(true); }, kWaitBound, kWaitStep))
        << program.Out() << program.Err();
    // The program with its window answers a status query like the headless one.
    EXPECT_NE(Once({"--status"})->Out().find("  WinKey  " + Port(6) + "  not open\n"),
              std::string::npos);

    {
        // A logging program sets the CAT port to 4800 baud with two stop bits...
        RadioProgram cat(Port(3));
        ASSERT_TRUE(cat.Valid());
        ASSERT_TRUE(cat.Configure(4800, 8, ProgramParity::kNone, 2));
        EXPECT_TRUE(test::PollUntil([&] { return LogHas("command SET CAT;MODE=8N2"); }, kWaitBound,
                                    kWaitStep))
            << DeviceLog();
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
        EXPECT_TRUE(
            test::PollUntil([&] { return LogHas("data FSK 52595259"); }, kWaitBound, kWaitStep))
            << DeviceLog();

        RadioProgram winkey(Port(6));
        ASSERT_TRUE(winkey.Valid());
        winkey.Write({0x00, 0x02, 0x13});
        EXPECT_EQ(winkey.Read(3), (std::vector<uint8_t>{0x00, 0x02, 0x13}))
            << "the device echoes WinKey";
    }

    // The interface is unplugged: its ports go; plugged in again, they come back by name.
    std::ofstream(simDir_ + "/unplugged-QX4SIM0001").close();
    EXPECT_TRUE(test::PollUntil([&] { return PortsPresent(false); }, kWaitBound, kWaitStep));
    fs::remove(simDir_ + "/unplugged-QX4SIM0001");
    ASSERT_TRUE(test::PollUntil([&] { return PortsPresent(true); }, kWaitBound, kWaitStep));
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

TEST_F(RadioAmateurTest, HelpVersionAndUnknownSwitchesAnswerWithoutADisplayOrAWindow) {
    WithoutDisplay();
    const auto help = Once({"--help"});
    EXPECT_EQ(help->Wait(), 0);
    EXPECT_EQ(help->Out().rfind("Usage: qx-manager", 0), 0u) << help->Out();
    EXPECT_NE(help->Out().find("Settings file: " + env_.IniPath()), std::string::npos)
        << help->Out();
    EXPECT_NE(help->Out().find("Ports:         " + env_.PortsDir() + "/COM<n>"), std::string::npos);
    EXPECT_EQ(help->Err(), "");

    const auto version = Once({"--version"});
    EXPECT_EQ(version->Wait(), 0);
    // The package's version, unshortened: the package, its metainfo and --version agree.
    EXPECT_EQ(version->Out(), "qx-manager " QX_VERSION_TEXT "\n");
    EXPECT_EQ(version->Err(), "");

    const auto unknown = Once({"--frequency"});
    EXPECT_EQ(unknown->Wait(), 2);
    EXPECT_EQ(unknown->Out(), "");
    EXPECT_EQ(unknown->Err(),
              "qx-manager: unrecognized option '--frequency'\n"
              "Try 'qx-manager --help' for more information.\n");

    const auto nobody = Once({"--status"});
    EXPECT_EQ(nobody->Wait(), 1);
    EXPECT_EQ(nobody->Err(), "No QX Manager is running.\n");
    EXPECT_FALSE(fs::exists(env_.RuntimeDir() + "/qx-manager.sock"))
        << "a query must not start a run";
}

TEST_F(RadioAmateurTest, HeadlessServesPortsReportsSetsPortsTracesAndSavesOnSigterm) {
    const auto program = StartHeadless({"--trace"});

    const auto status = Once({"--status"});
    EXPECT_EQ(status->Wait(), 0) << status->Err();
    EXPECT_NE(status->Out().find("QX-4, serial number QX4SIM0001, firmware "), std::string::npos)
        << status->Out();
    EXPECT_NE(status->Out().find("  CAT     " + Port(3) + "  not open"), std::string::npos)
        << status->Out();

    const auto json = Once({"--status", "--json"});
    EXPECT_EQ(json->Wait(), 0) << json->Err();
    EXPECT_EQ(
        CommandOutput("jq -r '.interfaces[0].serialNumber, .interfaces[0].channels[3].channel, "
                      ".interfaces[0].channels[3].port, .interfaces[0].channels[0].open' " +
                      json->OutPath()),
        "QX4SIM0001\nWinKey\n" + Port(6) + "\nfalse\n")
        << json->Out();
    // The schema scripts rely on: every key present whether the port is open or not.
    EXPECT_EQ(CommandOutput("jq -c '[.version, (.interfaces[0].channels[] | "
                            "([\"channel\", \"supported\", \"com\", \"port\", \"kind\", "
                            "\"created\", \"open\", \"program\", \"settings\"] - keys | length), "
                            ".com, .kind)]' " +
                            json->OutPath()),
              "[1,0,3,\"pty\",0,4,\"pty\",0,5,\"pty\",0,6,\"pty\"]\n")
        << json->Out();

    {
        // A CAT exchange, then a keying program lets go of the PTT/CW port: its lines are dropped.
        RadioProgram cat(Port(3));
        ASSERT_TRUE(cat.Valid());
        EXPECT_EQ(Ask(cat, "FA;", 14), "FA00014074000;");
        RadioProgram keyer(Port(4));
        ASSERT_TRUE(keyer.Valid());
        EXPECT_TRUE(
            test::PollUntil([&] { return program->Err().find("PTT/CW open") != std::string::npos; },
                            kWaitBound, kWaitStep))
            << program->Err();
    }
    EXPECT_TRUE(
        test::PollUntil([&] { return program->Err().find("PTT/CW lines") != std::string::npos; },
                        kWaitBound, kWaitStep));
    // Opens and closes are traced as the ports report them, while the link still exists.
    EXPECT_TRUE(test::PollUntil(
        [&] {
            const std::string err = program->Err();
            return err.find("CAT    close") != std::string::npos &&
                   err.find("PTT/CW close") != std::string::npos;
        },
        kWaitBound, kWaitStep));

    const auto moved = Once({"--set-port", "QX4SIM0001", "WINKEY", "9"});
    EXPECT_EQ(moved->Wait(), 0) << moved->Err();
    EXPECT_EQ(moved->Out(),
              "Deleting virtual port COM6.\nPlease wait...\n"
              "Creating virtual port COM9.\nPlease wait...\n"
              "WinKey of QX4SIM0001: " +
                  Port(9) + "\n");
    EXPECT_TRUE(fs::is_symlink(Port(9)));
    EXPECT_FALSE(fs::is_symlink(Port(6)));
    const auto removed = Once({"--set-port", "QX4SIM0001", "WINKEY", "0"});
    EXPECT_EQ(removed->Wait(), 0) << removed->Err();
    EXPECT_FALSE(fs::is_symlink(Port(9)));
    const auto refused = Once({"--set-port", "QX4SIM0001", "FSK", "3"});
    EXPECT_EQ(refused->Wait(), 1);
    EXPECT_EQ(refused->Err(), "qx-manager: COM3 is already in use: " + Port(3) + " exists\n");
    // The running program showed the same messages on its own output.
    EXPECT_NE(program->Out().find("Creating virtual port COM9."), std::string::npos)
        << program->Out();

    // Unplugged, the interface's ports go; plugged in again, they come back.
    std::ofstream(simDir_ + "/unplugged-QX4SIM0001").close();
    EXPECT_TRUE(test::PollUntil([&] { return !fs::is_symlink(Port(3)); }, kWaitBound, kWaitStep));
    // What the real-time line says depends on the machine's limits; its place does not.
    const std::string unplugged = Once({"--status"})->Out();
    EXPECT_EQ(unplugged.rfind("No interface is connected.\nReal-time priority: link workers ", 0),
              0u)
        << unplugged;
    EXPECT_TRUE(unplugged.ends_with(
        "\nKeying ports: pseudo-terminals, keying by RTS/DTR unavailable: QXM_PORT_KIND=pty\n"))
        << unplugged;
    fs::remove(simDir_ + "/unplugged-QX4SIM0001");
    EXPECT_TRUE(test::PollUntil([&] { return fs::is_symlink(Port(3)); }, kWaitBound, kWaitStep));

    program->Signal(SIGTERM);
    EXPECT_EQ(program->Wait(), 0) << program->Err();
    EXPECT_FALSE(fs::exists(env_.RuntimeDir() + "/qx-manager.sock"));
    const std::string ini = env_.IniPath();
    EXPECT_EQ(GetPrivateProfileInt("Interface-QX4SIM0001", "PortWinkey", -1, ini), 0);
    EXPECT_EQ(GetPrivateProfileInt("Interface-QX4SIM0001", "PortCat", -1, ini), 3);
    EXPECT_EQ(GetPrivateProfileInt("Ports", "RemovePortsOnDeviceRemoval", -1, ini), 1);

    // The trace: the question and the answer on CAT, then, once the keyer let go of its port,
    // its keying lines dropped, in the order they passed. Opens and closes are seen on the
    // manager's 100 ms tick, so they name the holder but may follow the first bytes.
    const std::string trace = program->Err();
    std::size_t at = 0;
    for (const std::string step :
         {"QX4SIM0001 CAT    program->device 46 41 3B |FA;|", "QX4SIM0001 CAT    device->program ",
          "|FA00014074000;|", "QX4SIM0001 PTT/CW lines           PTT(RTS)=0 CW(DTR)=0"}) {
        const std::size_t found = trace.find(step, at);
        ASSERT_NE(found, std::string::npos) << step << "\n" << trace;
        at = found + step.size();
    }
    for (const std::string entry :
         {"QX4SIM0001 CAT    open            COM3 by /",
          "QX4SIM0001 PTT/CW open            COM4 by /", "QX4SIM0001 CAT    close           COM3",
          "QX4SIM0001 PTT/CW close           COM4"})
        EXPECT_NE(trace.find(entry), std::string::npos) << entry << "\n" << trace;
}

TEST_F(RadioAmateurTest, RigctldOnTheHeadlessCatPortServesANetworkRig) {
    if (test::FindProgram("rigctld").find('/') == std::string::npos)
        GTEST_SKIP() << "rigctld is not installed";
    const auto program = StartHeadless();
    const std::string address = "127.0.0.1:" + std::to_string(FreeTcpPort());
    const std::string tcpPort = address.substr(address.find(':') + 1);
    ProgramProcess daemon(
        "rigctld", {"-m", "2014", "-r", Port(3), "-s", "9600", "-T", "127.0.0.1", "-t", tcpPort},
        env_.Root() + "/rigctld");
    // Hamlib 4.6 prints the daemon's banner before the answer: the answer is the last line.
    const auto rigctl = [&](const std::string& command) {
        return CommandOutput("rigctl -m 2 -r " + address + " " + command +
                             " 2>/dev/null | tail -n 1");
    };
    std::string frequency;
    EXPECT_TRUE(test::PollUntil([&] { return (frequency = rigctl("f")) == "14074000\n"; },
                                kWaitBound, kWaitStep))
        << frequency << daemon.Err();
    rigctl("F 7030000");
    EXPECT_EQ(rigctl("f"), "7030000\n");

    const auto status = Once({"--status"});
    EXPECT_NE(status->Out().find("  CAT     " + Port(3) + "  open by "), std::string::npos)
        << status->Out();
    EXPECT_NE(status->Out().find("rigctld, 9600 baud 8N"), std::string::npos) << status->Out();
    daemon.Signal(SIGTERM);
    daemon.Wait();
    program->Signal(SIGTERM);
    EXPECT_EQ(program->Wait(), 0) << program->Err();
}

}  // namespace
}  // namespace qx
