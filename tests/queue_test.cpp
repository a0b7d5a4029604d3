// The hand-over between the two threads: order, bound, and the wake-ups that
// end a waiting side when the other one stops.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <chrono>
#include <random>
#include <thread>

#include "dump/chunk_queue.h"
#include "dump/dump.h"
#include "tests/fake_platform.h"

namespace {
using std::chrono::microseconds;
using std::chrono::milliseconds;

Chunk Numbered(uint32_t n) { return {nullptr, n, 0}; }

void Pause(std::mt19937& random) {
    if (random() % 4 == 0) std::this_thread::sleep_for(microseconds(random() % 200));
}

// Both consumers see every chunk in order, whatever their pace.
TEST(ChunkQueue, KeepsOrderForBothConsumersUnderConcurrentAppendAndRemove) {
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
    auto consume = [](Consumer consumer, uint32_t seed, uint32_t& taken) {
        std::mt19937 random(seed);
        Chunk chunk{};
        while (WaitNextChunk(consumer, chunk)) {
            ASSERT_EQ(chunk.bytes, taken++);
            Pause(random);
            FinishChunk(consumer);
        }
    };
    uint32_t written = 0, hashed = 0;
    std::thread hasher(consume, HASHER, 3, std::ref(hashed));
    consume(WRITER, 2, written);
    hasher.join();
    reader.join();
    EXPECT_EQ(written, COUNT);
    EXPECT_EQ(hashed, COUNT);
    DropChunkBuffers();
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
    FinishChunk(WRITER);
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(appended) << "the front chunk was let go before the hasher was done";
    FinishChunk(HASHER);
    reader.join();
    EXPECT_TRUE(appended);
    DropChunkBuffers();
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

TEST(ChunkQueue, ReaderFailureReleasesAWaitingConsumer) {
    ResetChunkQueue();
    std::thread writer([] {
        Chunk chunk{};
        EXPECT_FALSE(WaitNextChunk(HASHER, chunk));
    });
    std::this_thread::sleep_for(milliseconds(20));
    FailChunkQueue("failed");
    writer.join();
}

// A mark after the failure's line would read as though the dump went on.
TEST(ChunkQueue, NoMarkFollowsAFailureLine) {
    ResetFake(MIB);
    ResetChunkQueue();
    EXPECT_TRUE(PrintMarkUnlessFailed("R"));
    FailChunkQueue("failed");
    EXPECT_FALSE(PrintMarkUnlessFailed("W"));
    EXPECT_EQ(Fake->console, "Rfailed\n");
    ResetChunkQueue();
    EXPECT_TRUE(PrintMarkUnlessFailed("W")) << "a new dump prints its marks again";
}

TEST(ChunkQueue, ClosingEndsAWaitingWriterOnlyOnceDrained) {
    ResetChunkQueue();
    ASSERT_TRUE(AppendChunk(Numbered(7)));
    std::thread writer([] {
        Chunk chunk{};
        ASSERT_TRUE(WaitNextChunk(WRITER, chunk)) << "a chunk queued before the close is still written";
        EXPECT_EQ(chunk.bytes, 7u);
        FinishChunk(WRITER);
        EXPECT_FALSE(WaitNextChunk(WRITER, chunk));
    });
    std::this_thread::sleep_for(milliseconds(20));
    CloseChunkQueue();
    writer.join();
}
}  // namespace

namespace {
// A consumer that keeps chunks (a compressing writer) may let one go before
// it has left it: the buffer waits until it has, and the reader's room with
// it, so that a chunk still being taken is never handed out again.
TEST(ChunkQueue, AKeptChunkIsFreedOnlyOnceLeftAndReleased) {
    ResetChunkQueue();
    for (uint32_t n = 0; n < QUEUE_BOUND; ++n) ASSERT_TRUE(AppendChunk(Numbered(n)));
    Chunk chunk{};
    ASSERT_TRUE(WaitNextChunk(HASHER, chunk));
    FinishChunk(HASHER);
    ASSERT_TRUE(WaitNextChunk(WRITER, chunk));
    ReleaseChunk(WRITER);
    std::atomic<bool> appended{false};
    std::thread reader([&] {
        EXPECT_TRUE(AppendChunk(Numbered(QUEUE_BOUND)));
        appended = true;
    });
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(appended) << "released but not left: chunk 0 is still the writer's";
    LeaveChunk(WRITER);
    reader.join();
    EXPECT_TRUE(appended);
    ASSERT_TRUE(WaitNextChunk(WRITER, chunk));
    EXPECT_EQ(chunk.bytes, 1u) << "the writer goes on with the next chunk";
    FailChunkQueue("");
    DropChunkBuffers();
}
}  // namespace
