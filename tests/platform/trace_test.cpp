#include "platform/trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qx {
namespace {

TraceEntry EntryNumbered(uint32_t number) {
    TraceEntry entry;
    entry.length = sizeof number;
    std::memcpy(entry.payload, &number, sizeof number);
    return entry;
}

uint32_t NumberOf(const TraceEntry& entry) {
    uint32_t number = 0;
    std::memcpy(&number, entry.payload, sizeof number);
    return number;
}

TEST(TraceQueue, KeepsOrderAndCountsWhatAFullQueueDrops) {
    TraceQueue queue(4);
    for (uint32_t i = 0; i < 6; ++i) queue.Push(EntryNumbered(i));
    EXPECT_EQ(queue.TakeDropped(), 2u);
    EXPECT_EQ(queue.TakeDropped(), 0u);
    TraceEntry entry;
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(queue.Pop(entry));
        EXPECT_EQ(NumberOf(entry), i);
    }
    EXPECT_FALSE(queue.Pop(entry));
    // The ring wraps: room again after the pops.
    EXPECT_TRUE(queue.Push(EntryNumbered(9)));
    ASSERT_TRUE(queue.Pop(entry));
    EXPECT_EQ(NumberOf(entry), 9u);
}

// Several workers push while one writer pops: every entry arrives once, each worker's in order.
TEST(TraceQueue, ManyProducersOneConsumerLoseNothingWhileThereIsRoom) {
    constexpr uint32_t kProducers = 4;
    constexpr uint32_t kEach = 20000;
    TraceQueue queue(256);
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, p] {
            for (uint32_t i = 0; i < kEach;) {
                if (queue.Push(EntryNumbered(p << 24 | i))) ++i;
            }
        });
    }
    std::vector<uint32_t> next(kProducers, 0);
    uint32_t received = 0;
    TraceEntry entry;
    while (received < kProducers * kEach) {
        if (!queue.Pop(entry)) continue;
        const uint32_t number = NumberOf(entry);
        ASSERT_EQ(number & 0xffffff, next[number >> 24]++);
        ++received;
    }
    for (std::thread& producer : producers) producer.join();
    EXPECT_FALSE(queue.Pop(entry));
}

TEST(TraceFormat, BytesInHexAndTextWithUnprintablesAsDots) {
    TraceEntry entry;
    std::snprintf(entry.source, sizeof entry.source, "QX4SIM0001");
    std::snprintf(entry.channel, sizeof entry.channel, "CAT");
    entry.kind = TraceKind::kToDevice;
    const uint8_t bytes[] = {'F', 'A', ';', 0x0d, 0xff};
    entry.length = sizeof bytes;
    std::memcpy(entry.payload, bytes, sizeof bytes);
    const std::string line = FormatTraceLine(entry);
    EXPECT_NE(line.find(" QX4SIM0001 CAT    program->device 46 41 3B 0D FF |FA;..|"),
              std::string::npos)
        << line;
    EXPECT_EQ(line[2], ':');  // starts with the time of day

    entry.kind = TraceKind::kSettings;
    const std::string text = "SPEED=4800\n";
    entry.length = static_cast<uint8_t>(text.size());
    std::memcpy(entry.payload, text.data(), text.size());
    EXPECT_NE(FormatTraceLine(entry).find("settings        SPEED=4800."), std::string::npos);
}

class TraceSessionTest : public ::testing::Test {
protected:
    std::string Written() {
        std::fflush(out_);
        std::rewind(out_);
        std::string text;
        for (int c; (c = std::fgetc(out_)) != EOF;) text += static_cast<char>(c);
        return text;
    }
    std::FILE* out_ = std::tmpfile();
    ~TraceSessionTest() override { std::fclose(out_); }
};

TEST_F(TraceSessionTest, WritesEntriesInOrderOnlyWhileOn) {
    TraceText("QX4SIM0001", "CAT", TraceKind::kCommand, "before");
    {
        TraceSession session({.out = out_});
        EXPECT_TRUE(TraceOn());
        TraceText("QX4SIM0001", "", TraceKind::kCommand, "LIST");
        TraceText("QX4SIM0001", "", TraceKind::kReply, "CAT,PTTCW,FSK,WINKEY");
        const uint8_t lines[] = {'R', 'T', 'S', '=', '1'};
        TraceBytes("QX4SIM0001", "PTT/CW", TraceKind::kLines, lines, sizeof lines);
        session.Flush();
    }
    EXPECT_FALSE(TraceOn());
    TraceText("QX4SIM0001", "CAT", TraceKind::kCommand, "after");
    const std::string text = Written();
    EXPECT_EQ(text.find("before"), std::string::npos);
    EXPECT_EQ(text.find("after"), std::string::npos);
    const auto list = text.find("command         LIST");
    const auto reply = text.find("reply           CAT,PTTCW,FSK,WINKEY");
    const auto rts = text.find("PTT/CW lines           RTS=1");
    ASSERT_NE(list, std::string::npos) << text;
    ASSERT_NE(reply, std::string::npos) << text;
    ASSERT_NE(rts, std::string::npos) << text;
    EXPECT_LT(list, reply);
    EXPECT_LT(reply, rts);
}

TEST_F(TraceSessionTest, AFullQueueIsDrainedWithTheCountOfDroppedEntries) {
    {
        TraceSession session({.out = out_});
        // The writer wakes every few milliseconds; pushing far more than the queue holds in
        // between overflows it whatever the timing.
        for (int i = 0; i < 100000; ++i) TraceText("S", "CAT", TraceKind::kCommand, "x");
    }
    const std::string text = Written();
    EXPECT_NE(text.find("entries dropped (the writer fell behind)"), std::string::npos);
}

TEST(StderrIsJournal, OnlyWhenJournalStreamNamesStandardError) {
    const char* saved = std::getenv("JOURNAL_STREAM");
    const std::string kept = saved ? saved : "";
    struct stat info {};
    ASSERT_EQ(::fstat(STDERR_FILENO, &info), 0);
    const std::string own = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    ::setenv("JOURNAL_STREAM", own.c_str(), 1);
    EXPECT_TRUE(StderrIsJournal());
    ::setenv("JOURNAL_STREAM",
             (std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino + 1)).c_str(), 1);
    EXPECT_FALSE(StderrIsJournal());
    ::setenv("JOURNAL_STREAM", "garbage", 1);
    EXPECT_FALSE(StderrIsJournal());
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(StderrIsJournal());
    if (saved) ::setenv("JOURNAL_STREAM", kept.c_str(), 1);
}

TEST(TraceRequested, BySwitchOrByEnvironment) {
    unsetenv("QXM_TRACE");
    EXPECT_FALSE(TraceRequested(false));
    EXPECT_TRUE(TraceRequested(true));
    setenv("QXM_TRACE", "1", 1);
    EXPECT_TRUE(TraceRequested(false));
    setenv("QXM_TRACE", "0", 1);
    EXPECT_FALSE(TraceRequested(false));
    unsetenv("QXM_TRACE");
}

}  // namespace
}  // namespace qx
