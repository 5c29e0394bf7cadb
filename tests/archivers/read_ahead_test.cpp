// The read-ahead of both writers: results in the writer's order, memory
// bounded by its window, and a failing worker never ends the program.
#include <algorithm>
#include <atomic>
#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include "common/read_ahead.h"

namespace {

using archivers::ReadAhead;

TEST(ReadAhead, DeliversInOrderAndNeverRunsPastItsWindow)
{
    // Every third index is the writer's own (a folder or a large file).
    constexpr size_t kCount = 400;
    std::vector<std::optional<std::uint64_t>> sizes(kCount);
    for (size_t i = 0; i < kCount; ++i)
        if (i % 3 != 0)
            sizes[i] = 1 + (i * 7919) % (2u << 20);
    std::atomic<size_t> writerAt{0};
    std::atomic<size_t> farthest{0};
    std::atomic<std::uint64_t> started{0};
    ReadAhead<size_t> ahead(sizes, [&]() {
        return [&](size_t index) {
            ++started;
            const size_t lead = index - std::min(index, writerAt.load());
            size_t seen = farthest.load();
            while (lead > seen && !farthest.compare_exchange_weak(seen, lead)) {
            }
            return index * 10;
        };
    });
    for (size_t i = 0; i < kCount; ++i) {
        writerAt = i;
        ahead.reached(i);
        if (ahead.handles(i))
            ASSERT_EQ(ahead.take(i), i * 10);
        else
            EXPECT_FALSE(sizes[i].has_value());
    }
    EXPECT_EQ(started.load(), kCount - (kCount + 2) / 3);
    EXPECT_LE(farthest.load(), archivers::kAheadFiles);
}

TEST(ReadAhead, WhatAWorkerThrowsReachesTheWriter)
{
    std::vector<std::optional<std::uint64_t>> sizes(10, std::uint64_t{100});
    ReadAhead<int> ahead(sizes, []() {
        return [](size_t index) -> int {
            if (index == 4)
                throw std::bad_alloc();
            if (index == 6)
                throw std::runtime_error("unexpected");
            return static_cast<int>(index);
        };
    });
    for (size_t i = 0; i < 10; ++i) {
        ahead.reached(i);
        if (i == 4)
            EXPECT_THROW(ahead.take(i), std::bad_alloc);
        else if (i == 6)
            EXPECT_THROW(ahead.take(i), std::runtime_error);
        else
            EXPECT_EQ(ahead.take(i), static_cast<int>(i));
    }
}

TEST(ReadAhead, AWorkerThatCannotBeMadeFailsItsFilesAndTheWriterMayStop)
{
    std::vector<std::optional<std::uint64_t>> sizes(50, std::uint64_t{100});
    {
        ReadAhead<int> ahead(sizes, []() -> ReadAhead<int>::Worker { throw std::bad_alloc(); });
        ahead.reached(0);
        EXPECT_THROW(ahead.take(0), std::bad_alloc);
        // The writer gives up here; the threads end with the object.
    }
    SUCCEED();
}

} // namespace
