// The running instance's answers to --status and --set-port, on a simulated interface with
// test-double ports: what is printed, and that a port set goes through the provisioning.
#include "app/instance_queries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "manager/CHVInterfaceManager.h"
#include "platform/private_profile.h"
#include "platform/realtime_scheduling.h"
#include "sim/sim_hid_backend.h"
#include "tests/support/fake_port.h"
#include "tests/support/observer_log.h"
#include "tests/support/poll_until.h"
#include "tests/support/temp_home.h"

namespace qx {
namespace {

constexpr const char* kSerial = "QX4SIM0001";

class InstanceQueriesTest : public ::testing::Test {
protected:
    InstanceQueriesTest() : portClass_("/run/ports") {
        LocateIniFile();
        WritePrivateProfileString("Interface-QX4SIM0001", "PortCat", "5", ProfileFile());
        WritePrivateProfileString("Interface-QX4SIM0001", "PortPttCw", "6", ProfileFile());
        program_.Load();
        manager_.observer = &observer_;
        manager_.RegisterNotifications();
        backend_.AddDevice({}, false);
        backend_.Plug(1);
        manager_.HandleDeviceNotices();
    }

    // The link's worker learns the device's channels on its own ticks; lastChannel is the last
    // one the device reports.
    static bool ChannelsKnown(const CHVInterfaceManager& manager, Channel lastChannel = kWinKey) {
        return test::PollUntil(
            [&] {
                return manager.Count() == 1 &&
                       manager.Link(0)->channelPresent[lastChannel].load() != 0;
            },
            std::chrono::seconds(10));
    }
    bool ChannelsKnown() { return ChannelsKnown(manager_); }
    QueryAnswer Ask(const std::string& query) {
        return AnswerQuery(query, manager_, portClass_, program_);
    }
    QueryAnswer SetPort(const std::string& serial, const std::string& channel,
                        const std::string& n) {
        return Ask(SetPortQuery({serial, channel, n}));
    }
    int Stored(const char* key) {
        return GetPrivateProfileInt("Interface-QX4SIM0001", key, -1, ProfileFile());
    }

    test::TempHome home_;
    test::FakePortClass portClass_;
    ProgramSettings program_;
    SimHidBackend backend_;
    test::ObserverLog observer_;
    CHVInterfaceManager manager_{backend_, portClass_, program_};
};

TEST_F(InstanceQueriesTest, StatusNamesTheInterfaceAndEachChannelsPortHolderAndSettings) {
    ASSERT_TRUE(ChannelsKnown());
    test::FakePortState& cat = *portClass_.made.at(0);
    cat.SetSettings(4800, 8, kParityEven, kStopBitsTwo);
    cat.openerPath = "/usr/bin/rigctld";
    cat.SetOpen(true);
    manager_.Link(0)->droppedBytes[kCat].store(1234);

    const QueryAnswer text = Ask(StatusQuery(false));
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.text.find("QX-4, serial number QX4SIM0001, firmware "), std::string::npos)
        << text.text;
    EXPECT_NE(text.text.find("  CAT     /run/ports/COM5  open by /usr/bin/rigctld, 4800 baud 8E2, "
                             "1234 bytes dropped\n"),
              std::string::npos)
        << text.text;
    // Ports with keying lines also have the name programs list (fldigi, flrig).
    EXPECT_NE(text.text.find("  PTT/CW  /run/ports/COM6  not open\n"
                             "          also /dev/serial/by-id/qx-manager-COM6\n"),
              std::string::npos)
        << text.text;
    EXPECT_NE(text.text.find("  FSK     no port\n"), std::string::npos) << text.text;

    const QueryAnswer json = Ask(StatusQuery(true));
    EXPECT_EQ(json.status, 0);
    EXPECT_NE(json.text.find("\"serialNumber\": \"QX4SIM0001\""), std::string::npos) << json.text;
    EXPECT_NE(json.text.find("{\"channel\": \"CAT\", \"supported\": true, \"com\": 5, "
                             "\"port\": \"/run/ports/COM5\", \"kind\": null, \"byId\": null, "
                             "\"created\": true, "
                             "\"open\": true, \"program\": \"/usr/bin/rigctld\", "
                             "\"settings\": {\"baud\": 4800, \"dataBits\": 8, \"parity\": \"E\", "
                             "\"stopBits\": 2}, \"droppedBytes\": 1234}"),
              std::string::npos)
        << json.text;
    EXPECT_EQ(json.text.rfind("{\"version\": 1, \"interfaces\": [", 0), 0u) << json.text;
    EXPECT_NE(json.text.find("{\"channel\": \"FSK\", \"supported\": true, \"com\": null, "
                             "\"port\": null, \"kind\": null, \"byId\": null, \"created\": false, "
                             "\"open\": false, \"program\": null, \"settings\": null, "
                             "\"droppedBytes\": 0}"),
              std::string::npos)
        << json.text;

    // In Japanese the text's words change and the JSON, which scripts read, does not.
    ASSERT_TRUE(test::PollUntil([&] { return !manager_.Link(0)->VersionText().empty(); },
                                std::chrono::seconds(10)));
    const std::string englishJson = Ask(StatusQuery(true)).text;
    const char* const oldLcAll = std::getenv("LC_ALL");
    const std::string savedLcAll = oldLcAll ? oldLcAll : "";
    ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
    const std::string japanese = Ask(StatusQuery(false)).text;
    const std::string japaneseJson = Ask(StatusQuery(true)).text;
    oldLcAll ? ::setenv("LC_ALL", savedLcAll.c_str(), 1) : ::unsetenv("LC_ALL");
    for (const char* line :
         {"QX-4、シリアル番号 QX4SIM0001、ファームウェア ",
          "  CAT     /run/ports/COM5  /usr/bin/rigctld が使用中、4800 ボー 8E2, 1234 バイト破棄\n",
          "  PTT/CW  /run/ports/COM6  開かれていません\n          別名 "
          "/dev/serial/by-id/qx-manager-COM6\n",
          "  FSK     ポートなし\n", "キーイング ポート: CUSE、RTS/DTR でキーイング\n"})
        EXPECT_NE(japanese.find(line), std::string::npos) << line << "\n" << japanese;
    EXPECT_EQ(japaneseJson, englishJson);
}

TEST_F(InstanceQueriesTest, HolderTextsFromProgramsAreEscapedSoTheJsonStillParses) {
    ASSERT_TRUE(ChannelsKnown());
    test::FakePortState& cat = *portClass_.made.at(0);
    cat.openerPath = std::string("/tmp/a\"b\\c\n\x01\xff", 13);
    cat.SetOpen(true);
    const std::string json = Ask(StatusQuery(true)).text;
    EXPECT_NE(json.find("\"program\": \"/tmp/a\\\"b\\\\c\\u000a\\u0001\xEF\xBF\xBD\""),
              std::string::npos)
        << json;
}

// What each thread of the keying road got; the outcomes are the process's, so each is set.
void SetScheduling(const std::array<SchedulingOutcome, kSchedulingRoleCount>& outcomes) {
    for (int role = 0; role < kSchedulingRoleCount; ++role)
        NoteSchedulingOutcome(static_cast<SchedulingRole>(role),
                              outcomes[static_cast<size_t>(role)]);
}

TEST_F(InstanceQueriesTest, NoInterfaceIsSaidPlainlyAndAsAnEmptyList) {
    manager_.RemoveAll();
    SetScheduling({});
    EXPECT_EQ(Ask(StatusQuery(false)).text,
              "No interface is connected.\nReal-time priority: link workers not asked, port "
              "threads not asked, relays not asked\nKeying ports: CUSE, keyed by RTS/DTR\n");
    EXPECT_EQ(Ask(StatusQuery(true)).text,
              "{\"version\": 1, \"interfaces\": [], \"waitingPorts\": [], \"realtime\": "
              "{\"linkWorkers\": {\"scheduling\": \"notAsked\", \"refusal\": null}, "
              "\"portThreads\": {\"scheduling\": \"notAsked\", \"refusal\": null}, "
              "\"relays\": {\"scheduling\": \"notAsked\", \"refusal\": null}}, "
              "\"keyingPorts\": {\"kind\": \"cuse\", \"reason\": null}}\n");
}

// A headless station has no about box: --status says what each hop of the keying road got, a
// refusal with its cause, in the text and in JSON that still parses.
TEST_F(InstanceQueriesTest, StatusSaysWhatRealTimePriorityEachHopGot) {
    manager_.RemoveAll();
    const struct {
        std::array<SchedulingOutcome, kSchedulingRoleCount> outcomes;
        const char* line;
        const char* json;
    } cases[] = {
        {{{{Scheduling::kFifo, true, ""},
           {Scheduling::kRealtimeKit, true, ""},
           {Scheduling::kNormal, false, "process 7 runs at \"normal\" priority"}}},
         "Real-time priority: link workers SCHED_FIFO, port threads SCHED_RR from RealtimeKit, "
         "relays normal (process 7 runs at \"normal\" priority)\n",
         "\"realtime\": {\"linkWorkers\": {\"scheduling\": \"fifo\", \"refusal\": null}, "
         "\"portThreads\": {\"scheduling\": \"realtimeKit\", \"refusal\": null}, \"relays\": "
         "{\"scheduling\": \"normal\", \"refusal\": \"process 7 runs at \\\"normal\\\" "
         "priority\"}}, \"keyingPorts\""},
        {{{{Scheduling::kNormal, true,
            "SCHED_FIFO: Operation not permitted; system bus: No such "
            "file or directory"},
           {},
           {}}},
         "Real-time priority: link workers normal (SCHED_FIFO: Operation not permitted; system "
         "bus: No such file or directory), port threads not asked, relays not asked\n",
         "\"linkWorkers\": {\"scheduling\": \"normal\", \"refusal\": \"SCHED_FIFO: Operation "
         "not permitted; system bus: No such file or directory\"}"},
    };
    for (const auto& c : cases) {
        SetScheduling(c.outcomes);
        const std::string text = Ask(StatusQuery(false)).text;
        EXPECT_NE(text.find(std::string(c.line) + "Keying ports: "), std::string::npos) << text;
        const std::string json = Ask(StatusQuery(true)).text;
        EXPECT_NE(json.find(c.json), std::string::npos) << json;
    }
}

// With RemovePortsOnDeviceRemoval off, the interface's ports stay while it is away: --status
// names them with what their programs lost meanwhile, until the interface returns.
TEST_F(InstanceQueriesTest, PortsWaitingForTheirInterfaceAreNamed) {
    ASSERT_TRUE(ChannelsKnown());
    program_.removePortsOnDeviceRemoval.value = 0;
    test::FakePortState& cat = *portClass_.made.at(0);
    cat.SetSettings(4800, 8, kParityEven, kStopBitsTwo);
    cat.openerPath = "/usr/bin/rigctld";
    cat.SetOpen(true);
    backend_.Unplug(1);
    manager_.HandleDeviceNotices();
    ASSERT_EQ(manager_.Count(), 0);
    cat.ProgramWrites("FA;");
    manager_.Tick();

    const std::string text = Ask(StatusQuery(false)).text;
    EXPECT_NE(text.find("No interface is connected.\nPorts waiting for interface QX4SIM0001:\n"
                        "  CAT     /run/ports/COM5  open by /usr/bin/rigctld, 4800 baud 8E2, 3 "
                        "bytes dropped\n          also /dev/serial/by-id/qx-manager-COM5\n"
                        "  PTT/CW  /run/ports/COM6  not open\n"),
              std::string::npos)
        << text;
    const std::string json = Ask(StatusQuery(true)).text;
    EXPECT_NE(
        json.find(
            "\"waitingPorts\": [{\"serialNumber\": \"QX4SIM0001\", \"channel\": "
            "\"CAT\", \"supported\": true, \"com\": 5, \"port\": "
            "\"/run/ports/COM5\", \"kind\": null, \"byId\": null, \"created\": true, \"open\": "
            "true, \"program\": \"/usr/bin/rigctld\", \"settings\": {\"baud\": "
            "4800, \"dataBits\": 8, \"parity\": \"E\", \"stopBits\": 2}, "
            "\"droppedBytes\": 3}, {\"serialNumber\": \"QX4SIM0001\", "
            "\"channel\": \"PTT/CW\""),
        std::string::npos)
        << json;

    backend_.Plug(1);
    manager_.HandleDeviceNotices();
    ASSERT_EQ(manager_.Count(), 1);
    EXPECT_NE(Ask(StatusQuery(true)).text.find("\"waitingPorts\": []"), std::string::npos);
}

TEST_F(InstanceQueriesTest, StatusNamesTheKindOfKeyingPortsAndWhyTheyAreMissing) {
    using State = KeyingPorts::State;
    const struct {
        KeyingPorts keying;
        const char* line;
        const char* json;
    } cases[] = {
        {{State::kWaiting, "waiting for the keying-port service"},
         "Keying ports: CUSE, waiting for the keying-port service\n",
         "{\"kind\": \"cuse\", \"reason\": \"waiting for the keying-port service\"}"},
        {{State::kUnavailable, "no \"helper\""},
         "Keying ports: pseudo-terminals, keying by RTS/DTR unavailable: no \"helper\"\n",
         "{\"kind\": \"pty\", \"reason\": \"no \\\"helper\\\"\"}"},
    };
    for (const auto& c : cases) {
        portClass_.keying = c.keying;
        const std::string text = Ask(StatusQuery(false)).text;
        EXPECT_EQ(text.substr(text.size() - std::string(c.line).size()), c.line) << text;
        const std::string json = Ask(StatusQuery(true)).text;
        EXPECT_NE(json.find(std::string("\"keyingPorts\": ") + c.json + "}\n"), std::string::npos)
            << json;
    }
}

TEST_F(InstanceQueriesTest, SetPortCreatesAndRemovesThroughTheProvisioningWithTheBalloonTexts) {
    ASSERT_TRUE(ChannelsKnown());
    const int changesBefore = observer_.interfacesChanged;
    const QueryAnswer created = SetPort(kSerial, "winkey", "9");
    EXPECT_EQ(created.status, 0);
    EXPECT_EQ(
        created.text,
        "Creating virtual port COM9.\nPlease wait...\nWinKey of QX4SIM0001: /run/ports/COM9\n");
    EXPECT_EQ(Stored("PortWinkey"), 9);
    EXPECT_EQ(portClass_.made.back()->name, "COM9");
    EXPECT_GT(observer_.interfacesChanged, changesBefore);
    // The window's observer still hears of the operations the query collected.
    EXPECT_EQ(observer_.portOperations.back(), (std::pair<int, int>{kPortOperationDone, 9}));

    const QueryAnswer removed = SetPort(kSerial, "WINKEY", "0");
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.text,
              "Deleting virtual port COM9.\nPlease wait...\nWinKey of QX4SIM0001: no port\n");
    EXPECT_EQ(Stored("PortWinkey"), 0);
    EXPECT_EQ(portClass_.made.back()->name, "");
    EXPECT_EQ(manager_.Link(0)->observer, &observer_);
}

TEST_F(InstanceQueriesTest, SetPortRefusesWhatItCannotDoAndChangesNothing) {
    ASSERT_TRUE(ChannelsKnown());
    for (const auto& [serial, channel, number] :
         std::vector<std::array<std::string, 3>>{{"QX4NOPE", "CAT", "7"},
                                                 {kSerial, "PTT", "7"},
                                                 {kSerial, "CAT", "256"},
                                                 {kSerial, "CAT", "-1"},
                                                 {kSerial, "CAT", "7x"},
                                                 {kSerial, "CAT", ""},
                                                 {kSerial, "PTT-CW", "7"},
                                                 {kSerial, "Win Key", "7"}}) {
        const QueryAnswer answer = SetPort(serial, channel, number);
        EXPECT_EQ(answer.status, 1) << channel << " " << number;
        EXPECT_EQ(answer.text.rfind("qx-manager: ", 0), 0u) << answer.text;
        EXPECT_EQ(std::count(answer.text.begin(), answer.text.end(), '\n'), 1) << answer.text;
    }
    EXPECT_EQ(Stored("PortCat"), 5);
    EXPECT_EQ(manager_.Link(0)->ports[kFsk].portNumber, 0);
    EXPECT_EQ(manager_.Link(0)->ports[kCat].portNumber, 5);
    EXPECT_EQ(Ask("set-port\nQX4SIM0001\nCAT").status, 1);
    EXPECT_EQ(Ask("reboot").status, 1);
    // Giving a channel the port it has already is no change and no balloon.
    EXPECT_EQ(SetPort(kSerial, "CAT", "5").text, "CAT of QX4SIM0001: /run/ports/COM5\n");
}

TEST_F(InstanceQueriesTest, ANameAlreadyInThePortsDirectoryIsNotTakenOver) {
    test::FakePortClass inHome(home_.Root());
    SimHidBackend otherBackend;  // a manager whose ports directory exists
    CHVInterfaceManager second(otherBackend, inHome, program_);
    second.RegisterNotifications();
    otherBackend.AddDevice({}, false);
    otherBackend.Plug(1);
    second.HandleDeviceNotices();
    ASSERT_TRUE(ChannelsKnown(second));
    test::WriteBytes(home_.Root() + "/COM12", "");  // left by an interface not connected now
    const QueryAnswer answer =
        AnswerQuery(SetPortQuery({kSerial, "FSK", "12"}), second, inHome, program_);
    EXPECT_EQ(answer.status, 1);
    EXPECT_EQ(answer.text,
              "qx-manager: COM12 is already in use: " + home_.Root() + "/COM12 exists\n");
    EXPECT_EQ(AnswerQuery(SetPortQuery({kSerial, "FSK", "13"}), second, inHome, program_).status,
              0);
}

// A port made but not saved would be lost at the next start: the asking start fails with why.
TEST_F(InstanceQueriesTest, SettingsThatCannotBeSavedAreAFailureWithTheReason) {
    ASSERT_TRUE(ChannelsKnown());
    const std::string ini = ProfileFile();
    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini);  // stands for a full disk: the write fails
    const QueryAnswer answer = SetPort(kSerial, "CAT", "7");
    std::filesystem::remove(ini);
    EXPECT_EQ(answer.status, 1);
    EXPECT_NE(answer.text.find("CAT of QX4SIM0001: /run/ports/COM7\n"), std::string::npos)
        << answer.text;
    EXPECT_NE(answer.text.find("qx-manager: The settings cannot be saved to " + ini + ": " +
                               std::strerror(EISDIR)),
              std::string::npos)
        << answer.text;
}

TEST_F(InstanceQueriesTest, APortThatCannotBeMadeIsAFailureWithTheComponentsCause) {
    ASSERT_TRUE(ChannelsKnown());
    portClass_.createFails = true;
    portClass_.reuseFails = true;
    const QueryAnswer answer = SetPort(kSerial, "FSK", "8");
    EXPECT_EQ(answer.status, 1);
    EXPECT_NE(answer.text.find(
                  "FSK of QX4SIM0001: COM8 cannot be created: reusing COM8: Permission denied\n"),
              std::string::npos)
        << answer.text;
}

TEST_F(InstanceQueriesTest, ChannelNamesAreThoseStatusPrintsInAnyCaseWithOrWithoutTheSlash) {
    ASSERT_TRUE(ChannelsKnown());
    for (const auto& [name, key] :
         std::vector<std::pair<std::string, const char*>>{{"PTT/CW", "PortPttCw"},
                                                          {"pttcw", "PortPttCw"},
                                                          {"WinKey", "PortWinkey"},
                                                          {"WINKEY", "PortWinkey"},
                                                          {"fsk", "PortFsk"},
                                                          {"Cat", "PortCat"}}) {
        const QueryAnswer answer = SetPort(kSerial, name, "0");
        EXPECT_EQ(answer.status, 0) << name << ": " << answer.text;
        EXPECT_EQ(Stored(key), 0) << name;
    }
}

// Like "Create/update" on the Ports page: a number another channel holds is kept and its
// creation fails visibly.
TEST_F(InstanceQueriesTest, ANumberAnotherChannelHoldsIsStoredAndItsCreationFails) {
    ASSERT_TRUE(ChannelsKnown());
    const QueryAnswer answer = SetPort(kSerial, "FSK", "6");
    EXPECT_EQ(answer.status, 1);
    EXPECT_EQ(answer.text,
              "Creating virtual port COM6.\nPlease wait...\n"
              "FSK of QX4SIM0001: COM6 cannot be created: another channel has this number\n");
    EXPECT_EQ(Stored("PortFsk"), 6);
    EXPECT_EQ(Stored("PortPttCw"), 6);
}

TEST_F(InstanceQueriesTest, AChannelTheDeviceDoesNotReportGetsNoPort) {
    SimHidBackend catOnly;
    test::FakePortClass ports("/run/other");
    CHVInterfaceManager manager(catOnly, ports, program_);
    manager.RegisterNotifications();
    SimDeviceConfig config;
    config.channelTokens = {"CAT", "PTTCW"};
    catOnly.AddDevice(config, false);
    catOnly.Plug(1);
    manager.HandleDeviceNotices();
    const auto ask = [&](const char* channel, const char* number) {
        return AnswerQuery(SetPortQuery({kSerial, channel, number}), manager, ports, program_);
    };
    ASSERT_TRUE(ChannelsKnown(manager, kPttCw));
    const QueryAnswer answer = ask("WinKey", "9");
    EXPECT_EQ(answer.status, 1);
    EXPECT_EQ(answer.text, "WinKey of QX4SIM0001: Not supported\n");
    EXPECT_EQ(Stored("PortWinkey"), 0);
    EXPECT_EQ(Stored("PortCat"), 5);
}

TEST(QueryAnswerCoding, StatusAndTextSurviveTheWireAndGarbageIsAFailure) {
    const QueryAnswer decoded = DecodeAnswer(EncodeAnswer({1, "line one\nline two\n"}));
    EXPECT_EQ(decoded.status, 1);
    EXPECT_EQ(decoded.text, "line one\nline two\n");
    EXPECT_EQ(DecodeAnswer(EncodeAnswer({0, ""})).status, 0);
    for (const char* garbage : {"", "0", "x\nhello", "0x\n"})
        EXPECT_EQ(DecodeAnswer(garbage).status, 1) << garbage;
}

}  // namespace
}  // namespace qx
