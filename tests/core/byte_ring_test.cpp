#include "core/byte_ring.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace qx {
namespace {

std::vector<uint8_t> Bytes(uint8_t first, size_t count) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

// Each case fills a ring of four, takes some out, then pushes again so the data wraps (or not).
TEST(ByteRing, KeepsOrderAcrossTheWrapAndTakesOnlyWhatFits) {
    struct Case {
        size_t firstPush, pop, secondPush;
        size_t taken;     // by the second push
        size_t frontRun;  // bytes that lie together at the front afterwards
    };
    const Case cases[] = {
        {4, 0, 1, 0, 4},  // full: nothing more is taken
        {4, 3, 3, 3, 1},  // the new bytes wrap behind the one left at the end
        {3, 3, 4, 4, 4},  // emptied: the front starts again at the beginning
        {2, 1, 5, 3, 3},  // only the free space is taken
        {0, 2, 2, 2, 2},  // popping from an empty ring takes nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.firstPush << "/" << c.pop << "/" << c.secondPush);
        ByteRing ring(4);
        std::vector<uint8_t> expected = Bytes(0, c.firstPush);
        ASSERT_EQ(ring.Push(expected.data(), expected.size()), c.firstPush);
        std::vector<uint8_t> popped(c.pop);
        const size_t gone = ring.Pop(popped.data(), popped.size());
        expected.erase(expected.begin(), expected.begin() + gone);
        const std::vector<uint8_t> more = Bytes(100, c.secondPush);
        EXPECT_EQ(ring.Push(more.data(), more.size()), c.taken);
        expected.insert(expected.end(), more.begin(), more.begin() + c.taken);
        EXPECT_EQ(ring.Size(), expected.size());
        EXPECT_EQ(ring.Free(), 4 - expected.size());
        EXPECT_EQ(ring.FrontRun(), c.frontRun);

        std::vector<uint8_t> all(8);
        all.resize(ring.Pop(all.data(), all.size()));
        EXPECT_EQ(all, expected);
        EXPECT_TRUE(ring.Empty());
    }
}

// Front and Drop hand out the stored bytes run by run, as a writer of the ring does.
TEST(ByteRing, FrontAndDropWalkTheRunsInOrder) {
    ByteRing ring(4);
    const std::vector<uint8_t> first = Bytes(0, 3);
    ring.Push(first.data(), first.size());
    ring.Drop(2);
    const std::vector<uint8_t> second = Bytes(10, 3);
    ring.Push(second.data(), second.size());
    std::vector<uint8_t> seen;
    while (!ring.Empty()) {
        seen.insert(seen.end(), ring.Front(), ring.Front() + ring.FrontRun());
        ring.Drop(ring.FrontRun());
    }
    EXPECT_EQ(seen, (std::vector<uint8_t>{2, 10, 11, 12}));
    ring.Drop(5);  // dropping more than is there leaves an empty, usable ring
    EXPECT_EQ(ring.Size(), 0u);
    EXPECT_EQ(ring.Push(first.data(), first.size()), 3u);
}

}  // namespace
}  // namespace qx
