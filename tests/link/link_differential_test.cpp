// Two links, one device script: one link ticks every millisecond, the other runs the worker's
// schedule (sleeping, woken by news, stalled by the scheduler) with its TickClock on simulated
// time. Each pass must send exactly what the ticks it stands for sent, and both must learn the
// same report ids, channels and version.
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
    std::vector<std::pair<int64_t, News>> news;         // (time), outside stalls unless noted
    std::vector<std::pair<int64_t, int64_t>> stalls;    // [begin, end) the worker cannot run
    int64_t end = 0;
};

Report TextReport(int id, const std::string& text) {
    Report report{static_cast<uint8_t>(id), 0xA5};
    std::memcpy(report.data() + 2, text.data(), std::min<std::size_t>(text.size(), 62));
    return report;
}

Report Reply(const std::string& text) { return TextReport(kCommandReportId, text); }

Report InputState(int state) { return Report{3, static_cast<uint8_t>(state)}; }

// One link and the ports a radio program holds on it.
struct Side {
    Side() : h(SilentDevice()), ptt(h.AddPort(kPttCw)), cat(h.AddPort(kCat, false)) {}

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

bool InStall(const Script& script, int64_t time) {
    return std::any_of(script.stalls.begin(), script.stalls.end(),
                       [&](const auto& s) { return time >= s.first && time < s.second; });
}

int64_t StallEnd(const Script& script, int64_t time) {
    for (const auto& [begin, end] : script.stalls)
        if (time >= begin && time < end) return end;
    return time;
}

class Differential {
public:
    explicit Differential(const Script& script) : script_(script) {}

    // Runs the script; a failure message names the pass where the links parted.
    void Run() {
        while (true) {
            const int64_t wake = NextWake();
            if (wake > script_.end) break;
            const int64_t elapsed = clock_.Pass(wake);
            const int last = late_.h.ticks;
            const int pass = last + static_cast<int>(elapsed);
            ASSERT_EQ(pass, wake / kMs) << "the pass's ticks fell behind the milliseconds";
            RunPass(last, pass, wake);
            const std::size_t sent = late_.h.sent.size();
            ASSERT_EQ(Bytes(ticking_.h, compared_), Bytes(late_.h, compared_))
                << "pass at tick " << pass << " standing for " << elapsed << " ticks";
            compared_ = sent;
            lastWake_ = wake;
        }
        for (Channel channel : kAllChannels) {
            EXPECT_EQ(late_.h.link.reportIds[channel].load(),
                      ticking_.h.link.reportIds[channel].load());
            EXPECT_EQ(late_.h.link.channelPresent[channel].load(),
                      ticking_.h.link.channelPresent[channel].load());
        }
        EXPECT_EQ(late_.h.link.VersionText(), ticking_.h.link.VersionText());
    }

    const LinkHarness& Ticking() const { return ticking_.h; }

private:
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
            if (news < wake) wake = std::max(news, clock_.TickTime(1));
        }
        return StallEnd(script_, wake);
    }

    void RunPass(int last, int pass, int64_t wake) {
        // The late link's device holds each report back until the read of its tick: a pass
        // reads from the first tick the previous pass asked for, one report per tick.
        const int firstRead = static_cast<int>(std::min<int64_t>(late_.h.due, pass - last));
        std::vector<std::pair<int, Report>> reports;
        for (; nextReport_ < script_.deviceReports.size() &&
               script_.deviceReports[nextReport_].first <= pass;
             ++nextReport_) {
            const auto& [tick, report] = script_.deviceReports[nextReport_];
            late_.h.device->QueueInput(report, std::max(tick - last - firstRead, 0));
            reports.push_back({tick, report});
        }
        // News in a stall reaches the ticking link when it happened, other news on the pass's
        // own tick, where the late link takes it.
        std::vector<std::pair<int, News>> news;
        for (; nextNews_ < script_.news.size() && script_.news[nextNews_].first <= wake;
             ++nextNews_) {
            const auto& [time, what] = script_.news[nextNews_];
            late_.Apply(what);
            news.push_back(
                {InStall(script_, time) ? static_cast<int>(time / kMs) + 1 : pass, what});
        }
        for (int tick = last + 1; tick <= pass; ++tick) {
            for (const auto& [at, what] : news)
                if (at == tick || (tick == last + 1 && at <= last)) ticking_.Apply(what);
            for (const auto& [at, report] : reports)
                if (at == tick || (tick == last + 1 && at <= last))
                    ticking_.h.device->QueueInput(report);
            ticking_.h.Tick();
        }
        late_.h.Pass(pass - last);
    }

    const Script& script_;
    Side ticking_;
    Side late_;
    TickClock clock_{0};
    int64_t lastWake_ = 0;
    std::size_t nextNews_ = 0;
    std::size_t nextReport_ = 0;
    std::size_t compared_ = 0;
};

// The start-up replies of a device that answers every command at once.
std::vector<std::pair<int, Report>> PromptStartupReplies(int from) {
    std::vector<std::pair<int, Report>> replies;
    for (const char* text : {"CAT;PTTCW;FSK;WINKEY", "4800;9600;115200", "2", "3", "4", "5",
                             "HAM RADIO INTERFACE;QX-4;1.0.5"})
        replies.push_back({from++, Reply(text)});
    return replies;
}

struct Case {
    const char* name;
    std::function<void(Script&)> build;
};

const Case kCases[] = {
    {"25 ms stall after GET CAT;DESC, the radio's input queued before the reply",
     [](Script& s) {
         s.deviceReports = {{2, Reply("CAT;PTTCW;FSK;WINKEY")},
                            {3, Reply("4800;9600;115200")},
                            {4, InputState(1)},
                            {4, Reply("2")},
                            {5, Reply("3")},
                            {6, Reply("4")},
                            {7, Reply("5")},
                            {8, Reply("HAM RADIO INTERFACE;QX-4;1.0.5")}};
         s.stalls = {{3 * kMs + kMs / 2, 29 * kMs}};
         s.news = {{40 * kMs + kMs / 3, News::kCatOpen}, {45 * kMs + 7, News::kCatWrite}};
         s.end = 1200 * kMs;
     }},
    {"4 ms pass across tick 20",
     [](Script& s) {
         s.deviceReports = {{18, Reply("CAT;PTTCW;FSK;WINKEY")}};
         for (auto& reply : PromptStartupReplies(40)) s.deviceReports.push_back(reply);
         s.deviceReports.erase(s.deviceReports.begin() + 1);  // "LIST" was answered late
         s.stalls = {{17 * kMs + kMs / 4, 21 * kMs}};
         s.end = 200 * kMs;
     }},
    {"news every 1.9 ms",
     [](Script& s) {
         s.deviceReports = PromptStartupReplies(2);
         s.news.push_back({kMs / 2, News::kCatOpen});
         for (int64_t t = 20 * kMs; t < 2100 * kMs; t += 19 * kMs / 10)
             s.news.push_back({t, News::kCatWrite});
         s.news.push_back({1500 * kMs + kMs / 5, News::kRts});
         s.end = 2100 * kMs;
     }},
    {"a line repeat and a test end in one pass",
     [](Script& s) {
         s.deviceReports = PromptStartupReplies(2);
         s.news = {{200 * kMs + kMs / 2, News::kCwTest}, {1175 * kMs + kMs / 2, News::kRts}};
         s.stalls = {{1196 * kMs + kMs / 5, 1205 * kMs}};
         s.end = 1300 * kMs;
     }},
    {"a poll after a stall sends what was asked for before its tick",
     [](Script& s) {
         s.deviceReports = PromptStartupReplies(2);
         s.news = {{1500 * kMs + kMs / 2, News::kCwTest},
                   {2001 * kMs + kMs / 3, News::kInversion},  // in the stall
                   {2001 * kMs + kMs / 2, News::kCatOpen}};   // in the stall
         s.stalls = {{1999 * kMs + kMs / 2, 2010 * kMs}};
         s.end = 3100 * kMs;
     }},
};

TEST(LinkDifferential, IssueCasesPassAsTheirTicks) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Script script;
        c.build(script);
        Differential(script).Run();
    }
}

// A device that answers at random ticks with replies, stray tokens, keying input and data;
// stalls of 1 to 60 ms; news of every kind at random times outside the stalls.
Script RandomScript(uint32_t seed) {
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
    s.end = 2300 * kMs;
    for (int tick = static_cast<int>(uniform(1, 4)); tick < 2300;
         tick += static_cast<int>(uniform(0, tick < 200 ? 6 : 150))) {
        const int64_t kind = uniform(0, 9);
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
    // News the worker would take within a tick of a stall's start lands in the stall: its
    // tick there is unknowable to the worker, so the script keeps clear of it.
    for (int64_t t = uniform(0, 10 * kMs); t < s.end; t += uniform(kMs / 10, 40 * kMs))
        if (!InStall(s, t) && !InStall(s, t + kMs))
            s.news.push_back({t, static_cast<News>(uniform(0, 7))});
    return s;
}

TEST(LinkDifferential, RandomScriptsPassAsTheirTicks) {
    for (uint32_t seed = 1; seed <= 2000; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const Script script = RandomScript(seed);
        Differential(script).Run();
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace qx::test
