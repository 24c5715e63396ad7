// What a link hands to the trace as it relays: commands and replies, CAT bytes both ways, the
// settings a program chose, and the keying lines, in the order they passed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/trace.h"
#include "tests/support/link_harness.h"

namespace qx {
namespace {

std::string Contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    return text;
}

TEST(LinkTrace, CommandsCatExchangeSettingsAndKeyingAppearInTheOrderTheyPassed) {
    test::LinkHarness h;
    h.link.key = "QX4SIM0001";
    std::FILE* out = std::tmpfile();
    {
        TraceSession session({.out = out});
        h.Tick(50);  // the start-up sequence: commands and their replies
        const auto cat = h.AddPort(kCat);
        cat->ProgramWrites("FA;");
        h.Tick(5);
        cat->SetSettings(4800, 8, kParityNone, kStopBitsTwo);
        h.Tick(1001);  // one settings poll
        const auto ptt = h.AddPort(kPttCw);
        ptt->SetLines(true, false);
        h.Tick(2);
        ptt->SetLines(false, false);
        h.Tick(2);
        ptt->SetLines(false, true);
        h.Tick(2);
        session.Flush();
    }
    const std::string text = Contents(out);
    std::fclose(out);
    const std::vector<std::string> inOrder = {
        "QX4SIM0001        command         ",
        "QX4SIM0001        reply           ",
        "QX4SIM0001 CAT    program->device 46 41 3B |FA;|",
        "QX4SIM0001 CAT    device->program 46 41 30 30 30 31 34 30 37 34 30 30 30 3B "
        "|FA00014074000;|",
        "QX4SIM0001 CAT    settings        MODE=8N2",
        "QX4SIM0001 PTT/CW lines           PTT(RTS)=1 CW(DTR)=0",
        "QX4SIM0001 PTT/CW lines           PTT(RTS)=0 CW(DTR)=0",
        "QX4SIM0001 PTT/CW lines           PTT(RTS)=0 CW(DTR)=1",
    };
    std::size_t at = 0;
    for (const std::string& line : inOrder) {
        const std::size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing after offset " << at << ": " << line << "\n"
                                            << text;
        at = found + line.size();
    }
    // The baud rate was forwarded before the framing, and both as commands too.
    EXPECT_LT(text.find("settings        SPEED=4800"), text.find("settings        MODE=8N2"));
    EXPECT_NE(text.find("command         SET CAT;MODE=8N2"), std::string::npos);
}

TEST(LinkTrace, AReportTheDeviceRefusesIsTracedAndCounted) {
    test::LinkHarness h;
    h.link.key = "QX4SIM0001";
    std::FILE* out = std::tmpfile();
    {
        TraceSession session({.out = out});
        h.Tick(50);
        const auto cat = h.AddPort(kCat);
        h.device->SetPlugged(false);  // writes fail from now on
        cat->ProgramWrites("FA;");
        h.Tick(2);
        session.Flush();
    }
    const std::string text = Contents(out);
    std::fclose(out);
    EXPECT_NE(text.find("QX4SIM0001        write refused   report id 2, 1 refused so far"),
              std::string::npos)
        << text;
    EXPECT_EQ(h.link.reportWritesRefused.load(), 1u);
}

// Dropped bytes are not traced as delivered; the trace says when dropping starts and stops.
TEST(LinkTrace, DroppingStartsAndStopsWithTheCount) {
    test::LinkHarness h(test::SilentDevice());
    h.link.key = "QX4SIM0001";
    const auto cat = h.AddPort(kCat);
    cat->capacity = 14;
    std::FILE* out = std::tmpfile();
    {
        TraceSession session({.out = out});
        for (const char* answer : {"FA00014074000;", "FB00007000000;", "IF;"})
            h.device->QueueChannelData(kCat, answer);
        h.Tick(3);
        cat->TakeToProgram();  // the program reads again
        h.device->QueueChannelData(kCat, "ID019;");
        h.Tick();
        session.Flush();
    }
    const std::string text = Contents(out);
    std::fclose(out);
    const std::vector<std::string> inOrder = {
        "CAT    device->program 46 41 30",
        "CAT    dropped         program not reading: 14 bytes dropped in all",
        "CAT    dropped         stopped: 17 bytes dropped, 17 in all",
        "CAT    device->program 49 44 30 31 39 3B |ID019;|",
    };
    std::size_t at = 0;
    for (const std::string& line : inOrder) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << text;
    }
    EXPECT_EQ(text.find("|FB00007000000;|"), std::string::npos) << text;
}

}  // namespace
}  // namespace qx
