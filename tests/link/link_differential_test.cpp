// Two links, one device script. The late link runs the worker's schedule on simulated time with
// its TickClock: it sleeps while nothing is due, news and device reports wake it, and stalls
// hold it past the tick it asked for. The reference link runs ServiceTick for every tick the
// late link's pass stands for: each tick slept before the one the worker asked for, in full (a
// slept tick that had work to do shows), then the pass's own tick with the news and the device
// reports that came meanwhile. A worker held past its due tick is woken as by a periodic timer
// that does not make up missed periods: that tick runs once. Each pass must send exactly what
// the reference's ticks sent; fixed scripts also say what the links must learn. A script's
// device may also answer the commands the links send, in order and late by the script's delays
// of real time, stalls or not; it names report ids unlike the defaults, and no report id may
// ever be one the device did not give that channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "link/tick_clock.h"
#include "tests/support/link_harness.h"

namespace qx::test {
namespace {

constexpr int64_t kMs = TickClock::kTickNanoseconds;
using Report = std::array<uint8_t, 64>;

enum class News { kRts, kDtr, kPttTest, kCwTest, kInversion, kCatWrite, kCatOpen, kCatSettings };

struct Script {
    std::vector<std::pair<int, Report>> deviceReports;  // (tick it can first be read, report)
    std::vector<std::pair<int64_t, News>> news;         // (time)
    std::vector<std::pair<int64_t, int64_t>> stalls;    // [begin, end) the worker cannot run
    int64_t end = 0;
    // The n-th command the links send is answered this long after it went out (the last delay
    // for all later ones), but never before the answer to the one before; none: no answers.
    std::vector<int64_t> answerDelays;
    std::array<int, kChannelCount> answerIds{6, 7, 8, 9};
    std::vector<std::string> unanswered;  // command texts the device never answers
};

Report TextReport(int id, const std::string& text) {
    Report report{static_cast<uint8_t>(id), 0xA5};
    std::memcpy(report.data() + 2, text.data(), std::min<std::size_t>(text.size(), 62));
    return report;
}

Report Reply(const std::string& text) { return TextReport(kCommandReportId, text); }

Report InputState(int state) { return Report{3, static_cast<uint8_t>(state)}; }

SimDeviceConfig ScriptedDevice(const Script& script) {
    SimDeviceConfig config = SilentDevice();  // the script answers
    config.reportIds = script.answerIds;
    return config;
}

// One link and the ports a radio program holds on it.
struct Side {
    explicit Side(const Script& script)
        : h(ScriptedDevice(script)), ptt(h.AddPort(kPttCw)), cat(h.AddPort(kCat, false)) {}

    void Apply(News news) {
        switch (news) {
        case News::kRts: ptt->SetLines(!ptt->rts, ptt->dtr); break;
        case News::kDtr: ptt->SetLines(ptt->rts, !ptt->dtr); break;
        case News::kPttTest: h.link.StartPttTest(); break;
        case News::kCwTest: h.link.StartCwTest(); break;
        case News::kInversion: h.link.RequestFskInversion(!h.link.fskInverted.load()); break;
        case News::kCatWrite:
            if (cat->open) cat->ProgramWrites("xy");
            break;
        case News::kCatOpen: cat->SetOpen(!cat->open); break;
        case News::kCatSettings:
            cat->SetSettings(cat->baudRate == 4800 ? 9600 : 4800, 7, kParityEven, kStopBitsTwo);
            break;
        }
    }

    LinkHarness h;
    std::shared_ptr<FakePortState> ptt;
    std::shared_ptr<FakePortState> cat;
};

int64_t StallEnd(const Script& script, int64_t time) {
    for (const auto& [begin, end] : script.stalls)
        if (time >= begin && time < end) return end;
    return time;
}

// Queued commands are the start-up's; the poll's settings commands ("SET ...") go out beside them.
int QueuedCommands(const LinkHarness& h, std::size_t from) {
    int count = 0;
    for (std::size_t i = from; i < h.sent.size(); ++i) {
        const auto& bytes = h.sent[i].bytes;
        if (bytes[0] == kCommandReportId && std::memcmp(&bytes[1], "SET ", 4) != 0) ++count;
    }
    return count;
}

class Differential {
public:
    explicit Differential(const Script& script)
        : script_(script), reference_(script), late_(script) {}

    // Runs the script; a failure message names the pass where the links parted.
    void Run() {
        while (true) {
            const int64_t wake = NextWake();
            if (wake > script_.end) break;
            const int64_t elapsed = clock_.Pass(wake);
            const int64_t counted = std::min(elapsed, late_.h.due);
            reference_.h.Tick(static_cast<int>(counted - 1));
            TakeNews(wake);
            reference_.h.Tick();
            late_.h.Pass(static_cast<int>(elapsed));
            ASSERT_EQ(Bytes(reference_.h, compared_), Bytes(late_.h, compared_))
                << "pass at " << wake / kMs << " ms, tick " << reference_.h.ticks << ", " << elapsed
                << " ms after the last";
            ASSERT_LE(QueuedCommands(late_.h, compared_), 1)
                << "pass at " << wake / kMs << " ms sent two queued commands";
            if (!script_.answerDelays.empty()) {
                AnswerCommands(wake);
                ASSERT_NO_FATAL_FAILURE(ExpectOnlyGivenIds(wake));
            }
            compared_ = late_.h.sent.size();
            lastWake_ = wake;
        }
        for (Channel channel : kAllChannels) {
            EXPECT_EQ(late_.h.link.reportIds[channel].load(),
                      reference_.h.link.reportIds[channel].load());
            EXPECT_EQ(late_.h.link.channelPresent[channel].load(),
                      reference_.h.link.channelPresent[channel].load());
        }
        EXPECT_EQ(late_.h.link.VersionText(), reference_.h.link.VersionText());
    }

    const CHVInterface& Late() const { return late_.h.link; }

private:
    // The device answers what the pass sent.
    void AnswerCommands(int64_t wake) {
        for (std::size_t i = compared_; i < late_.h.sent.size(); ++i) {
            const auto& bytes = late_.h.sent[i].bytes;
            if (bytes[0] != kCommandReportId) continue;
            const std::string text(reinterpret_cast<const char*>(&bytes[1]),
                                   strnlen(reinterpret_cast<const char*>(&bytes[1]), 63));
            if (std::ranges::count(script_.unanswered, text) > 0) continue;
            const auto& delays = script_.answerDelays;
            const int64_t delay = delays[std::min(answered_++, delays.size() - 1)];
            const int64_t at = std::max(answers_.empty() ? 0 : answers_.back().first, wake + delay);
            answers_.push_back({at, Reply(late_.h.device->ReplyTo(text))});
        }
    }

    void ExpectOnlyGivenIds(int64_t wake) const {
        for (Channel channel : kAllChannels) {
            const int id = late_.h.link.reportIds[channel].load();
            ASSERT_TRUE(id == 2 + channel || id == script_.answerIds[channel])
                << "pass at " << wake / kMs << " ms: channel " << channel << " took id " << id;
        }
    }

    static std::vector<Report> Bytes(const LinkHarness& h, std::size_t from) {
        std::vector<Report> bytes;
        for (std::size_t i = from; i < h.sent.size(); ++i) bytes.push_back(h.sent[i].bytes);
        return bytes;
    }

    // When the worker runs its next pass: at the tick a rule asked for, or at news (a port, a
    // request, a device report) while it sleeps longer than a tick, but never twice in one
    // tick; a stall holds it until the stall ends.
    int64_t NextWake() const {
        const int64_t due = late_.h.due;
        int64_t wake = due == kNoPassDue ? INT64_MAX : clock_.TickTime(due);
        if (due > 1) {
            int64_t news = INT64_MAX;
            if (nextNews_ < script_.news.size()) news = script_.news[nextNews_].first;
            if (late_.h.device->PendingInputCount() > 0) news = lastWake_;
            if (nextReport_ < script_.deviceReports.size())
                news = std::min(news, script_.deviceReports[nextReport_].first * kMs);
            if (nextAnswer_ < answers_.size()) news = std::min(news, answers_[nextAnswer_].first);
            if (news < wake) wake = std::max(news, clock_.TickTime(1));
        }
        return StallEnd(script_, wake);
    }

    // What happened up to the pass reaches both links before the pass's own tick: the worker
    // cannot tell when in a sleep or a stall it happened.
    void TakeNews(int64_t wake) {
        for (; nextReport_ < script_.deviceReports.size() &&
               script_.deviceReports[nextReport_].first * kMs <= wake;
             ++nextReport_) {
            for (Side* side : {&reference_, &late_})
                side->h.device->QueueInput(script_.deviceReports[nextReport_].second);
        }
        for (; nextAnswer_ < answers_.size() && answers_[nextAnswer_].first <= wake;
             ++nextAnswer_) {
            for (Side* side : {&reference_, &late_})
                side->h.device->QueueInput(answers_[nextAnswer_].second);
        }
        for (; nextNews_ < script_.news.size() && script_.news[nextNews_].first <= wake;
             ++nextNews_) {
            for (Side* side : {&reference_, &late_}) side->Apply(script_.news[nextNews_].second);
        }
    }

    const Script& script_;
    Side reference_;
    Side late_;
    TickClock clock_{0};
    int64_t lastWake_ = 0;
    std::size_t nextNews_ = 0;
    std::size_t nextReport_ = 0;
    std::size_t compared_ = 0;
    std::vector<std::pair<int64_t, Report>> answers_;  // (time it reaches the device, reply)
    std::size_t answered_ = 0;                         // commands answered so far
    std::size_t nextAnswer_ = 0;
};

// The start-up replies with the given report ids, one per tick from `from`, some of them with
// the radio's keying input ahead of them (the device holds both until the link reads them).
std::vector<std::pair<int, Report>> StartupReplies(int from, const char* ids,
                                                   const std::vector<int>& inputBefore = {}) {
    std::vector<std::pair<int, Report>> replies{{from, Reply("CAT;PTTCW;FSK;WINKEY")},
                                                {from + 1, Reply("4800;9600;115200")}};
    for (int i = 0; i < 4; ++i) {
        const int tick = from + 2 + i;
        for (int input : inputBefore)
            if (input == i) replies.push_back({tick, InputState(1)});
        replies.push_back({tick, Reply(std::string(1, ids[i]))});
    }
    replies.push_back({from + 6, Reply("HAM RADIO INTERFACE;QX-4;1.0.5")});
    return replies;
}

// The start-up replies of a device whose first description answers late, at tick `late` behind
// two keying input reports; the others, and the version, from tick `rest` on.
std::vector<std::pair<int, Report>> LateFirstDescription(int late, int rest) {
    return {{2, Reply("CAT;PTTCW;FSK;WINKEY")},
            {3, Reply("4800;9600;115200")},
            {late, InputState(1)},
            {late, InputState(0)},
            {late, Reply("6")},
            {rest, Reply("7")},
            {rest + 1, Reply("8")},
            {rest + 2, Reply("9")},
            {rest + 3, Reply("HAM RADIO INTERFACE;QX-4;1.0.5")}};
}

struct Case {
    const char* name;
    std::function<void(Script&)> build;
    const char* ids = nullptr;  // the report ids both links must learn, with all four channels
};

const Case kCases[] = {
    {"25 ms stall after GET CAT;DESC: the keying input and every later reply wait in the device",
     [](Script& s) {
         s.deviceReports = StartupReplies(2, "2345", {0});
         s.stalls = {{3 * kMs + kMs / 2, 29 * kMs}};
         s.news = {{40 * kMs + kMs / 3, News::kCatOpen}, {45 * kMs + 7, News::kCatWrite}};
         s.end = 1200 * kMs;
     },
     "2345"},
    {"the keying input before each description, all waiting through a stall",
     [](Script& s) {
         s.deviceReports = StartupReplies(4, "6789", {0, 1, 2, 3});
         s.stalls = {{2 * kMs + kMs / 5, 40 * kMs}};
         s.end = 300 * kMs;
     },
     "6789"},
    {"the reply wait holds at tick 20 while input reports stand before the reply",
     [](Script& s) {
         s.deviceReports = LateFirstDescription(19, 22);
         s.end = 200 * kMs;
     },
     "6789"},
    {"the same reply wait when a stall ends just before tick 20",
     [](Script& s) {
         s.deviceReports = LateFirstDescription(25, 50);
         s.stalls = {{18 * kMs + kMs / 2, 45 * kMs}};
         s.end = 200 * kMs;
     },
     "6789"},
    {"a silent device stalled 45 ms gets one command per tick",
     [](Script& s) {
         s.stalls = {{10 * kMs + kMs / 2, 55 * kMs},
                     {78 * kMs + kMs / 3, 123 * kMs},
                     {1500 * kMs + kMs / 2, 1545 * kMs}};
         s.news = {{1520 * kMs, News::kRts}};  // in a stall while asleep
         s.end = 2200 * kMs;
     }},
    {"a device answering 25 ms late: the channel list comes while the speed list is awaited",
     [](Script& s) {
         s.answerDelays = {25 * kMs};
         s.end = 5500 * kMs;
     },
     "6789"},
    {"the channel list answered once the start-up is over, the rest at once",
     [](Script& s) {
         s.answerDelays = {300 * kMs, kMs / 2};
         s.end = 5500 * kMs;
     },
     "6789"},
    {"4 ms pass across tick 20 with the channel list waiting",
     [](Script& s) {
         s.answerDelays = {17 * kMs, kMs / 2};
         s.stalls = {{17 * kMs + kMs / 4, 21 * kMs}};
         s.end = 200 * kMs;
     },
     "6789"},
    {"a device answering every command 40 ms late, with stalls and keying input meanwhile",
     [](Script& s) {
         s.answerDelays = {40 * kMs};
         s.answerIds = {7, 6, 8, 9};
         for (int tick : {30, 61, 62, 1030, 1041})
             s.deviceReports.push_back({tick, InputState(tick % 2)});
         s.stalls = {{35 * kMs + kMs / 3, 70 * kMs},
                     {1020 * kMs + kMs / 2, 1060 * kMs},
                     {2030 * kMs, 2050 * kMs}};
         s.end = 5500 * kMs;
     },
     "7689"},
    {"a device answering every command 140 ms late, a program changing CAT settings",
     [](Script& s) {
         s.answerDelays = {140 * kMs};
         s.news = {{500 * kMs, News::kCatOpen},
                   {600 * kMs, News::kCatSettings},
                   {1800 * kMs, News::kCatSettings}};
         s.end = 5500 * kMs;
     },
     "6789"},
    {"a device answering every command 1.02 s late, with stalls",
     [](Script& s) {
         s.answerDelays = {1020 * kMs};
         s.answerIds = {7, 6, 8, 9};
         s.stalls = {{1010 * kMs + kMs / 2, 1030 * kMs}, {3000 * kMs, 3025 * kMs}};
         s.end = 12000 * kMs;
     },
     "7689"},
    {"a device answering every command 4 s late",
     [](Script& s) {
         s.answerDelays = {4000 * kMs};
         s.answerIds = {7, 6, 8, 9};
         s.end = 23000 * kMs;
     },
     "7689"},
    {"a device that never answers the speed list: the descriptions are taken in the start-up",
     [](Script& s) {
         s.answerDelays = {kMs / 2};
         s.unanswered = {"LIST CAT;SPEED"};
         s.end = 300 * kMs;
     },
     "6789"},
    {"the same device streaming a report every tick: the speed list's wait ends at 100 ticks",
     [](Script& s) {
         s.answerDelays = {kMs / 2};
         s.unanswered = {"LIST CAT;SPEED"};
         for (int tick = 1; tick < 600; ++tick)
             s.deviceReports.push_back({tick, TextReport(10, "ab")});
         s.stalls = {{50 * kMs + kMs / 2, 70 * kMs}};
         s.end = 600 * kMs;
     },
     "6789"},
    {"news every 1.9 ms",
     [](Script& s) {
         s.deviceReports = StartupReplies(2, "2345");
         s.news.push_back({kMs / 2, News::kCatOpen});
         for (int64_t t = 20 * kMs; t < 2100 * kMs; t += 19 * kMs / 10)
             s.news.push_back({t, News::kCatWrite});
         s.news.push_back({1500 * kMs + kMs / 5, News::kRts});
         s.end = 2100 * kMs;
     },
     "2345"},
    {"a line repeat and a test end due in one stall",
     [](Script& s) {
         s.deviceReports = StartupReplies(2, "2345");
         s.news = {{200 * kMs + kMs / 2, News::kCwTest}, {1175 * kMs + kMs / 2, News::kRts}};
         s.stalls = {{1196 * kMs + kMs / 5, 1205 * kMs}};
         s.end = 1300 * kMs;
     }},
    {"a poll after a stall sends what was asked for in the stall",
     [](Script& s) {
         s.deviceReports = StartupReplies(2, "2345");
         s.news = {{1500 * kMs + kMs / 2, News::kCwTest},
                   {2001 * kMs + kMs / 3, News::kInversion},  // in the stall
                   {2001 * kMs + kMs / 2, News::kCatOpen}};   // in the stall
         s.stalls = {{1999 * kMs + kMs / 2, 2010 * kMs}};
         s.end = 3100 * kMs;
     }},
    {"device reports and news while asleep, some in a stall",
     [](Script& s) {
         s.deviceReports = StartupReplies(2, "2345");
         for (int tick : {1400, 1400, 1401, 1623, 1623, 1623})
             s.deviceReports.push_back({tick, TextReport(2, "ab")});
         s.deviceReports.push_back({1622, InputState(1)});
         s.news = {{1200 * kMs, News::kCatOpen}, {1621 * kMs + kMs / 2, News::kCatWrite}};
         s.stalls = {{1620 * kMs + kMs / 4, 1650 * kMs}};
         s.end = 2500 * kMs;
     },
     "2345"},
};

// The late link knows all four channels, the report ids the device gave them and its version.
void ExpectLearned(const CHVInterface& link, const std::array<int, kChannelCount>& ids) {
    for (Channel channel : kAllChannels) {
        EXPECT_EQ(link.reportIds[channel].load(), ids[channel]);
        EXPECT_EQ(link.channelPresent[channel].load(), 1);
    }
    EXPECT_EQ(link.VersionText(), "1.0.5");
}

TEST(LinkDifferential, IssueCasesPassAsTheirTicks) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Script script;
        c.build(script);
        Differential differential(script);
        differential.Run();
        if (c.ids)
            ExpectLearned(differential.Late(),
                          {c.ids[0] - '0', c.ids[1] - '0', c.ids[2] - '0', c.ids[3] - '0'});
    }
}

// A device that answers at random ticks with replies, stray tokens, keying input and data;
// stalls of 1 to 60 ms; news of every kind at random times. Device reports and news come while
// the link sleeps and while it is stalled alike. An answering device sends no stray replies but
// answers every command, up to 5, 30 or 150 ms late, with report ids of its own.
Script RandomScript(uint32_t seed, bool answering) {
    std::mt19937 random(seed);
    auto uniform = [&](int64_t low, int64_t high) {
        return std::uniform_int_distribution<int64_t>(low, high)(random);
    };
    static const char* const kReplies[] = {"CAT;PTTCW;FSK;WINKEY",
                                           "CAT;FSK",
                                           "4800;9600;115200",
                                           "7",
                                           "2",
                                           "3",
                                           "9",
                                           "C",
                                           "",
                                           "OK 00",
                                           "ERROR",
                                           "HAM RADIO INTERFACE;QX-4;1.0.5",
                                           "1",
                                           "0"};
    Script s;
    s.end = (answering ? 6500 : 2300) * kMs;
    for (int tick = static_cast<int>(uniform(1, 4)); tick < 2300;
         tick += static_cast<int>(uniform(0, tick < 200 ? 6 : 150))) {
        const int64_t kind = uniform(answering ? 6 : 0, 9);
        if (kind < 6)
            s.deviceReports.push_back({tick, Reply(kReplies[uniform(0, std::size(kReplies) - 1)])});
        else if (kind < 8)
            s.deviceReports.push_back({tick, InputState(static_cast<int>(uniform(0, 1)))});
        else
            s.deviceReports.push_back({tick, TextReport(2 + 2 * (kind - 8), "ab")});
    }
    for (int64_t t = uniform(0, 30) * kMs; t < s.end; t += uniform(2, 400) * kMs) {
        const int64_t begin = t + uniform(0, kMs - 1);
        t = (begin / kMs + uniform(1, 60)) * kMs;
        s.stalls.push_back({begin, t});
    }
    for (int64_t t = uniform(0, 10 * kMs); t < s.end; t += uniform(kMs / 10, 40 * kMs))
        s.news.push_back({t, static_cast<News>(uniform(0, 7))});
    if (answering) {
        const int64_t slowest = std::array<int64_t, 3>{5, 30, 150}[uniform(0, 2)] * kMs;
        for (int i = 0; i < 16; ++i) s.answerDelays.push_back(uniform(0, slowest));
        std::shuffle(s.answerIds.begin(), s.answerIds.end(), random);
    }
    return s;
}

TEST(LinkDifferential, RandomScriptsPassAsTheirTicks) {
    for (uint32_t seed = 1; seed <= 2000; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const Script script = RandomScript(seed, false);
        Differential(script).Run();
        if (HasFailure()) return;
    }
}

TEST(LinkDifferential, RandomLateDevicesAreLearnedWithNothingMisattributed) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const Script script = RandomScript(seed, true);
        Differential differential(script);
        differential.Run();
        ExpectLearned(differential.Late(), script.answerIds);
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace qx::test
