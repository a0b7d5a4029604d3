// The hand-over between the two threads: order, bound, and the wake-ups that
// end a waiting side when the other one stops.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "dump/chunk_queue.h"

namespace {
using std::chrono::microseconds;
using std::chrono::milliseconds;

Chunk Numbered(uint32_t n) { return {nullptr, n, 0}; }

void Pause(std::mt19937& random) {
    if (random() % 4 == 0) std::this_thread::sleep_for(microseconds(random() % 200));
}

TEST(ChunkQueue, KeepsOrderUnderConcurrentAppendAndRemove) {
    ResetChunkQueue();
    constexpr uint32_t COUNT = 5000;
    std::thread reader([] {
        std::mt19937 random(1);
        for (uint32_t n = 0; n < COUNT; ++n) {
            Pause(random);
            ASSERT_TRUE(AppendChunk(Numbered(n)));
        }
        CloseChunkQueue();
    });
    std::mt19937 random(2);
    uint32_t expected = 0;
    Chunk chunk{};
    while (WaitFrontChunk(chunk, "")) {
        ASSERT_EQ(chunk.bytes, expected++);
        Pause(random);
        RemoveFrontChunk();
    }
    reader.join();
    EXPECT_EQ(expected, COUNT);
}

TEST(ChunkQueue, ReaderWaitsWhileThreeAreQueued) {
    ResetChunkQueue();
    for (uint32_t n = 0; n < QUEUE_BOUND; ++n) ASSERT_TRUE(AppendChunk(Numbered(n)));
    std::atomic<bool> appended{false};
    std::thread reader([&] {
        EXPECT_TRUE(AppendChunk(Numbered(3)));
        appended = true;
    });
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(appended) << "a fourth chunk was queued";
    RemoveFrontChunk();
    reader.join();
    EXPECT_TRUE(appended);
}

TEST(ChunkQueue, WriterFailureReleasesAWaitingReader) {
    ResetChunkQueue();
    for (uint32_t n = 0; n < QUEUE_BOUND; ++n) ASSERT_TRUE(AppendChunk(Numbered(n)));
    std::thread reader([] { EXPECT_FALSE(AppendChunk(Numbered(3))); });
    std::this_thread::sleep_for(milliseconds(20));
    FailChunkQueue("failed");
    reader.join();
    EXPECT_TRUE(ChunkQueueFailed());
    EXPECT_FALSE(AppendChunk(Numbered(4))) << "appends after a failure are refused at once";
}

TEST(ChunkQueue, ReaderFailureReleasesAWaitingWriter) {
    ResetChunkQueue();
    std::thread writer([] {
        Chunk chunk{};
        EXPECT_FALSE(WaitFrontChunk(chunk, "W"));
    });
    std::this_thread::sleep_for(milliseconds(20));
    FailChunkQueue("failed");
    writer.join();
}

TEST(ChunkQueue, ClosingEndsAWaitingWriterOnlyOnceDrained) {
    ResetChunkQueue();
    ASSERT_TRUE(AppendChunk(Numbered(7)));
    std::thread writer([] {
        Chunk chunk{};
        ASSERT_TRUE(WaitFrontChunk(chunk, "")) << "a chunk queued before the close is still written";
        EXPECT_EQ(chunk.bytes, 7u);
        RemoveFrontChunk();
        EXPECT_FALSE(WaitFrontChunk(chunk, ""));
    });
    std::this_thread::sleep_for(milliseconds(20));
    CloseChunkQueue();
    writer.join();
}
}  // namespace
