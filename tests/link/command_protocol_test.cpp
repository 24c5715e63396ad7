#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/link_harness.h"

namespace qx::test {
namespace {

using Commands = std::vector<std::pair<int, std::string>>;

const std::vector<std::string> kStartup = {
    "LIST",         "LIST CAT;SPEED",  "GET CAT;DESC", "GET PTTCW;DESC",
    "GET FSK;DESC", "GET WINKEY;DESC", "VER"};

Commands StartupAt(const std::vector<int>& ticks) {
    Commands commands;
    for (std::size_t i = 0; i < kStartup.size(); ++i) commands.emplace_back(ticks[i], kStartup[i]);
    return commands;
}

// Commands sent after the start-up sequence.
Commands LaterCommands(const LinkHarness& h) {
    auto all = h.Commands();
    return Commands(all.begin() + std::min<std::size_t>(kStartup.size(), all.size()), all.end());
}

// The commands of the polls after the start-up, one poll a second from tick 1001.
Commands AtPolls(const std::vector<std::vector<std::string>>& polls) {
    Commands commands;
    for (std::size_t i = 0; i < polls.size(); ++i)
        for (const std::string& command : polls[i])
            commands.emplace_back(1001 * static_cast<int>(i + 1), command);
    return commands;
}

// The same, for polls given by their number (from 1); the polls between send nothing.
std::vector<std::vector<std::string>> Sparse(
    const std::vector<std::pair<int, std::vector<std::string>>>& polls) {
    std::vector<std::vector<std::string>> dense(polls.empty() ? 0 : polls.back().first);
    for (const auto& [number, commands] : polls) dense[number - 1] = commands;
    return dense;
}

constexpr uint8_t kUnusedReportId = 10;  // no channel of the tests' devices

std::vector<int> ReportIds(const CHVInterface& link) {
    return {link.reportIds[0].load(), link.reportIds[1].load(), link.reportIds[2].load(),
            link.reportIds[3].load()};
}

TEST(CommandProtocol, AnsweringDeviceGetsTheStartupSequenceOnConsecutiveTicks) {
    LinkHarness h;
    h.Tick(200);
    EXPECT_EQ(h.Commands(), StartupAt({1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(ReportIds(h.link), (std::vector<int>{2, 3, 4, 5}));
    for (const auto& present : h.link.channelPresent) EXPECT_EQ(present.load(), 1);
    EXPECT_EQ(h.link.channelListReceived.load(), 1);
    EXPECT_EQ(h.link.VersionText(), "1.0.5");
    EXPECT_EQ(h.link.identityChanged.load(), 1);
}

TEST(CommandProtocol, SilentDeviceMovesOnEvery20TicksAndKeepsDefaults) {
    LinkHarness h(SilentDevice());
    h.Tick(999);
    EXPECT_EQ(h.Commands(), StartupAt({1, 20, 40, 60, 80, 100, 120}));
    EXPECT_EQ(ReportIds(h.link), (std::vector<int>{2, 3, 4, 5}));
    EXPECT_EQ(h.link.channelListReceived.load(), 0);
    EXPECT_EQ(h.link.identityChanged.load(), 0);
    EXPECT_EQ(h.link.VersionText(), "");
}

TEST(CommandProtocol, ThreeChannelListLeavesTheWaitOpen) {
    SimDeviceConfig config;
    config.channelTokens = {"CAT", "PTTCW", "FSK"};
    LinkHarness h(config);
    h.Tick(200);
    EXPECT_EQ(h.Commands(), StartupAt({1, 20, 21, 22, 23, 24, 25}));
    EXPECT_EQ(h.link.channelPresent[kFsk].load(), 1);
    EXPECT_EQ(h.link.channelPresent[kWinKey].load(), 0);
    EXPECT_EQ(h.link.channelListReceived.load(), 1);
}

TEST(CommandProtocol, LearnedReportIdsAreUsedBothWaysButLinesKeepId3) {
    SimDeviceConfig config;
    config.reportIds = {7, 6, 4, 5};
    LinkHarness h(config);
    auto cat = h.AddPort(kCat);
    auto pttCw = h.AddPort(kPttCw);
    h.Tick(10);
    ASSERT_EQ(ReportIds(h.link), (std::vector<int>{7, 6, 4, 5}));

    cat->ProgramWrites("FA;");
    pttCw->SetLines(true, false);
    h.device->QueueInputState(0x01);
    h.Tick(3);
    ASSERT_EQ(h.DataReports(7).size(), 1u);
    EXPECT_EQ(h.PayloadOf(h.DataReports(7)[0]), "FA;");
    EXPECT_EQ(cat->TakeToProgram(), "FA00014074000;");  // the transceiver's answer, on id 7
    EXPECT_EQ(h.Lines().size(), 1u);
    EXPECT_TRUE(pttCw->inputLine);
}

// A token that does not start with a digit is no report id: the id stays and the wait goes on
// (here until it times out); an empty reply ends the wait, with no id. Some digits are answers that
// give no usable id: 0, the command channel's 1, and for a data channel the line report's 3 (its
// bytes would key the transmitter).
TEST(CommandProtocol, UnusableDescriptionIdsKeepTheOldId) {
    struct Case {
        std::array<const char*, kChannelCount> replies;
        std::vector<int> sentOn;  // the ticks of the four description commands and "VER"
        std::vector<int> ids;
    };
    const Case cases[] = {
        {{"", "0", "/4", "9"}, {3, 4, 5, 20, 21}, {2, 3, 4, 9}},
        {{"1", "1", "3", "3"}, {3, 4, 5, 6, 7}, {2, 3, 4, 5}},
        {{"3", "6", "1", "7"}, {3, 4, 5, 6, 7}, {2, 6, 4, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.replies[0] << " " << c.replies[1] << " "
                                        << c.replies[2] << " " << c.replies[3]);
        SimDeviceConfig config;
        config.replyOverride = [&](const std::string& command) -> std::optional<std::string> {
            for (Channel channel : kAllChannels)
                if (command == kStartup[2 + channel]) return c.replies[channel];
            return std::nullopt;
        };
        LinkHarness h(config);
        h.Tick(50);
        EXPECT_EQ(h.Commands(), StartupAt({1, 2, c.sentOn[0], c.sentOn[1], c.sentOn[2], c.sentOn[3],
                                           c.sentOn[4]}));
        EXPECT_EQ(ReportIds(h.link), c.ids);
    }
}

// A device that answers late: a reply to an earlier command (the channel list, or the speed
// list, seen on a booted system) comes while a description is awaited, then a digit. The late
// replies are no report id, and the late channel list still names the channels. After them the
// digit answers "GET CAT;DESC" when only those two went unanswered before it (tick 40), but may
// answer "GET CAT;DESC" when that went unanswered before "GET PTTCW;DESC" (tick 60): then it is
// not taken, or PTT/CW would take CAT's id.
TEST(CommandProtocol, LateRepliesAreNotTakenAsReportId) {
    struct Case {
        int ticks;  // of a silent device, before the late replies
        const char* late;
        std::vector<int> ids;
        std::pair<int, std::string> last;  // the last command 20 ticks later
    };
    const Case cases[] = {
        {40, "CAT;PTTCW;FSK;WINKEY", {7, 3, 4, 5}, {60, "GET FSK;DESC"}},
        {40, "4800;9600;115200", {7, 3, 4, 5}, {60, "GET FSK;DESC"}},
        {60, "CAT;PTTCW;FSK;WINKEY", {2, 3, 4, 5}, {80, "GET FSK;DESC"}},
        {60, "4800;9600;115200", {2, 3, 4, 5}, {80, "GET FSK;DESC"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.late << " at " << c.ticks);
        LinkHarness h(SilentDevice());
        h.Tick(c.ticks);
        for (const char* reply : {c.late, "7"}) {
            std::array<uint8_t, 64> report{kCommandReportId};
            std::memcpy(report.data() + 2, reply, std::strlen(reply));
            h.device->QueueInput(report);
        }
        h.Tick(20);
        EXPECT_EQ(ReportIds(h.link), c.ids);
        EXPECT_EQ(h.Commands().back(), c.last);
        for (const auto& present : h.link.channelPresent)
            EXPECT_EQ(present.load(), c.late[0] == 'C' ? 1 : 0);
    }
}

// A device that answers every command late (a loaded machine): the start-up's waits end by
// time and its replies are read under later commands. No description is taken then, so a report
// id is always the default or the device's own; the polls ask again, one item each, last after
// their settings commands, until the link knows what a device answering in time tells at once.
// An item never answered is asked three more times; a device that never answers anything, and
// one that answers in time, get nothing more than today. An ask still unanswered at the next poll
// is waited for up to five seconds (a device more than a second late); then the link counts it
// as unanswered, asks for the speed list to get back in step and asks again at the next poll.
// A device that always has a report waiting (streaming CAT data) holds a wait at most 100 ticks.
TEST(CommandProtocol, LateDeviceIsAskedAgainAtPollsAndNothingIsMisattributed) {
    struct Case {
        const char* name;
        int delay;  // ticks after a command its reply is read, less one; -1: never answers
        std::array<int, kChannelCount> ids;
        std::vector<std::string> unanswered;
        std::vector<std::vector<std::string>> polls;  // what each poll after the start-up sends
        std::vector<int> learned;
        const char* version;
        bool streaming = false;  // a report on an unused id stands in the device at every tick
    };
    const std::array<int, kChannelCount> kOwn{7, 6, 8, 9};
    const std::vector<std::vector<std::string>> kAskedAgain{{"SET FSK;INVERS=0", "GET CAT;DESC"},
                                                            {"GET PTTCW;DESC"},
                                                            {"GET FSK;DESC"},
                                                            {"GET WINKEY;DESC"}};
    const Case cases[] = {
        {"in time", 0, kOwn, {}, {{"SET FSK;INVERS=0"}}, {7, 6, 8, 9}, "1.0.5"},
        // The late channel list and speed list are told from a description: CAT's comes in step.
        {"40 ms late",
         40,
         {2, 3, 4, 5},
         {},
         {{"SET FSK;INVERS=0", "GET PTTCW;DESC"}, {"GET FSK;DESC"}, {"GET WINKEY;DESC"}},
         {2, 3, 4, 5},
         "1.0.5"},
        {"140 ms late", 140, kOwn, {}, kAskedAgain, {7, 6, 8, 9}, "1.0.5"},
        {"40 ms late, never answering one description",
         40,
         kOwn,
         {"GET WINKEY;DESC"},
         Sparse({{1, {"SET FSK;INVERS=0", "GET PTTCW;DESC"}},
                 {2, {"GET FSK;DESC"}},
                 {3, {"GET WINKEY;DESC"}},
                 {8, {"LIST CAT;SPEED"}},
                 {9, {"GET WINKEY;DESC"}},
                 {14, {"LIST CAT;SPEED"}},
                 {15, {"GET WINKEY;DESC"}}}),
         {7, 6, 8, 5},
         "1.0.5"},
        // The version's wait stays open: the first poll comes too soon after it to ask again.
        {"40 ms late, never answering the version",
         40,
         kOwn,
         {"VER"},
         Sparse({{1, {"SET FSK;INVERS=0"}},
                 {6, {"LIST CAT;SPEED"}},
                 {7, {"GET PTTCW;DESC"}},
                 {8, {"GET FSK;DESC"}},
                 {9, {"GET WINKEY;DESC"}},
                 {10, {"VER"}},
                 {15, {"LIST CAT;SPEED"}},
                 {16, {"VER"}},
                 {21, {"LIST CAT;SPEED"}},
                 {22, {"VER"}}}),
         {7, 6, 8, 9},
         ""},
        // A late channel list is told from a description: the start-up stays in step.
        {"in time, never answering the channel list",
         0,
         kOwn,
         {"LIST"},
         Sparse({{1, {"SET FSK;INVERS=0", "LIST"}},
                 {6, {"LIST CAT;SPEED"}},
                 {7, {"LIST"}},
                 {12, {"LIST CAT;SPEED"}},
                 {13, {"LIST"}}}),
         {7, 6, 8, 9},
         "1.0.5"},
        {"in time, never answering the speed list",
         0,
         kOwn,
         {"LIST CAT;SPEED"},
         {{"SET FSK;INVERS=0"}},
         {7, 6, 8, 9},
         "1.0.5"},
        {"never answering", -1, kOwn, {}, {{"SET FSK;INVERS=0"}}, {2, 3, 4, 5}, ""},
        {"1.5 s late",
         1500,
         kOwn,
         {},
         Sparse({{1, {"SET FSK;INVERS=0"}},
                 {2, {"GET CAT;DESC"}},
                 {4, {"GET PTTCW;DESC"}},
                 {6, {"GET FSK;DESC"}},
                 {8, {"GET WINKEY;DESC"}}}),
         {7, 6, 8, 9},
         "1.0.5"},
        {"4 s late",
         4000,
         kOwn,
         {},
         Sparse({{1, {"SET FSK;INVERS=0"}},
                 {5, {"GET CAT;DESC"}},
                 {9, {"GET PTTCW;DESC"}},
                 {13, {"GET FSK;DESC"}},
                 {17, {"GET WINKEY;DESC"}}}),
         {7, 6, 8, 9},
         "1.0.5"},
        {"streaming, 40 ms late",
         40,
         kOwn,
         {},
         {{"SET FSK;INVERS=0"}},
         {7, 6, 8, 9},
         "1.0.5",
         true},
        {"streaming, never answering the channel list",
         0,
         kOwn,
         {"LIST"},
         Sparse({{1, {"SET FSK;INVERS=0", "LIST"}},
                 {6, {"LIST CAT;SPEED"}},
                 {7, {"LIST"}},
                 {12, {"LIST CAT;SPEED"}},
                 {13, {"LIST"}}}),
         {7, 6, 8, 9},
         "1.0.5",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDeviceConfig config;
        config.answersCommands = c.delay >= 0;
        config.replyDelayTicks = c.delay;
        config.reportIds = c.ids;
        config.unansweredCommands = c.unanswered;
        LinkHarness h(config);
        const auto misattributed = [&] {
            for (Channel channel : kAllChannels) {
                const int id = h.link.reportIds[channel].load();
                if (id != 2 + channel && id != c.ids[channel]) return true;
            }
            return false;
        };
        while (h.ticks < 25000 && !misattributed()) {
            if (c.streaming) h.device->QueueInput({kUnusedReportId});
            h.Tick();
        }
        EXPECT_EQ(ReportIds(h.link), c.learned) << "at tick " << h.ticks;
        EXPECT_EQ(LaterCommands(h), AtPolls(c.polls));
        const bool listed = c.delay >= 0 && std::ranges::count(c.unanswered, "LIST") == 0;
        for (const auto& present : h.link.channelPresent) EXPECT_EQ(present.load(), listed);
        EXPECT_EQ(h.link.VersionText(), c.version);
    }
}

TEST(CommandProtocol, VersionHandshakeNeedsBothLeadingTokens) {
    struct Case {
        std::string reply;
        int chunk;
        std::string version;
    };
    const Case cases[] = {
        {"HAM RADIO INTERFACE;QX-4;1.0.5", 0, "1.0.5"},
        {"HAM RADIO INTERFACE;QX-4;1.0.5", 20, "1.0.5"},  // split over two reports
        {"HAM RADIO INTERFACE;QX-9;1.0.5", 0, ""},
        {"QX-4;1.0.5", 0, ""},
        {"HAM RADIO INTERFACE;QX-4", 0, ""},
    };
    for (const auto& c : cases) {
        SimDeviceConfig config;
        config.replyChunkSize = c.chunk;
        config.replyOverride = [&](const std::string& command) -> std::optional<std::string> {
            if (command == "VER") return c.reply;
            return std::nullopt;
        };
        LinkHarness h(config);
        h.Tick(100);
        EXPECT_EQ(h.link.VersionText(), c.version) << c.reply;
        EXPECT_EQ(h.link.identityChanged.load(), c.version.empty() ? 0 : 1) << c.reply;
    }
}

TEST(CommandProtocol, UnterminatedReplyIsReadToTheEndOfTheReport) {
    SimDeviceConfig config;
    config.replyOverride = [](const std::string& command) -> std::optional<std::string> {
        if (command == "LIST")
            return "CAT;PTTCW;FSK;" + std::string(48, 'W');  // fills all 62 bytes
        return std::nullopt;
    };
    LinkHarness h(config);
    h.Tick(30);
    EXPECT_EQ(h.link.channelPresent[kFsk].load(), 1);
    EXPECT_EQ(h.link.channelPresent[kWinKey].load(), 0);
    EXPECT_EQ(h.Commands()[1].first, 20);
}

TEST(SettingsPoll, CatSettingsGoOutOnceAsSpeedThenMode) {
    LinkHarness h;
    auto cat = h.AddPort(kCat);
    cat->SetSettings(4800, 7, kParityEven, kStopBitsTwo);
    h.Tick(1000);
    EXPECT_TRUE(LaterCommands(h).empty());
    h.Tick(3100);
    EXPECT_EQ(LaterCommands(h), (Commands{{1001, "SET CAT;SPEED=4800"},
                                          {1001, "SET CAT;MODE=7E2"},
                                          {1001, "SET FSK;INVERS=0"}}));
    EXPECT_EQ(h.device->Transceiver().serialSpeed, 4800);
    EXPECT_EQ(h.device->Transceiver().serialMode, "7E2");

    cat->SetSettings(4800, 8, kParityNone, kStopBitsOne);
    h.Tick(1001);
    EXPECT_EQ(LaterCommands(h).back(), (std::pair<int, std::string>{5005, "SET CAT;MODE=8N1"}));
}

TEST(SettingsPoll, HangUpSpeedIsNeverForwarded) {
    LinkHarness h;
    h.link.fskInversionPending = 0;
    auto cat = h.AddPort(kCat);
    cat->SetSettings(4800, 8, kParityNone, kStopBitsOne);
    h.Tick(1001);
    cat->SetSettings(0, 8, kParityNone, kStopBitsOne);
    h.Tick(2002);
    EXPECT_EQ(LaterCommands(h),
              (Commands{{1001, "SET CAT;SPEED=4800"}, {1001, "SET CAT;MODE=8N1"}}));
    EXPECT_EQ(h.device->Transceiver().serialSpeed, 4800);
}

TEST(SettingsPoll, FskAtDefaultSpeedSendsOnlyItsMode) {
    LinkHarness h;
    auto fsk = h.AddPort(kFsk);
    fsk->SetSettings(45, 5, kParityNone, kStopBitsOnePointFive);
    h.link.fskInversionPending = 0;
    h.Tick(1001);
    EXPECT_EQ(LaterCommands(h), (Commands{{1001, "SET FSK;MODE=5N1.5"}}));
    EXPECT_EQ(h.device->FskMode(), "5N1.5");
}

TEST(SettingsPoll, ModeTextStopsAtAnUnknownParity) {
    LinkHarness h;
    h.link.fskInversionPending = 0;
    auto cat = h.AddPort(kCat);
    cat->SetSettings(9600, 8, 9, kStopBitsTwo);
    h.Tick(1001);
    EXPECT_EQ(LaterCommands(h), (Commands{{1001, "SET CAT;MODE=8"}}));
}

TEST(SettingsPoll, FskInversionGoesOutWithoutAnFskPort) {
    LinkHarness h;
    h.link.fskInverted = 1;
    h.Tick(1001);
    EXPECT_EQ(LaterCommands(h), (Commands{{1001, "SET FSK;INVERS=1"}}));
    h.link.fskInverted = 0;
    h.link.fskInversionPending = 1;
    h.Tick(1001);
    EXPECT_EQ(LaterCommands(h).back(), (std::pair<int, std::string>{2002, "SET FSK;INVERS=0"}));
    EXPECT_EQ(h.device->FskInverted(), 0);
}

TEST(SettingsPoll, RepliesToPollCommandsAreReadUnderTheAwaitedCode) {
    // The version reply stops after the model name, so the wait for it stays open; the reply
    // to the poll's mode command is then taken as the version text.
    SimDeviceConfig config;
    config.replyOverride = [](const std::string& command) -> std::optional<std::string> {
        if (command == "VER") return "HAM RADIO INTERFACE;QX-4";
        return std::nullopt;
    };
    LinkHarness h(config);
    auto cat = h.AddPort(kCat);
    h.Tick(1000);
    EXPECT_EQ(h.link.identityChanged.load(), 0);
    h.Tick(2);
    EXPECT_EQ(LaterCommands(h).front(), (std::pair<int, std::string>{1001, "SET CAT;MODE=8N1"}));
    EXPECT_EQ(h.link.VersionText(), "OK 00");
    EXPECT_EQ(h.link.identityChanged.load(), 1);
}

}  // namespace
}  // namespace qx::test
