#include "dump/chunk_queue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "dump/console.h"
#include "dump/dump.h"

std::deque<Chunk> ChunkQueue;

namespace {
std::mutex QueueLock;
std::condition_variable DataArrived;  // a chunk was queued or filled further, closed, or failed
std::condition_variable RoomFreed;     // the queue is no longer full, or failed
std::vector<void*> FreeBuffers;
bool Closed = false;
bool Failed = false;
// Chunks are numbered from 0 in drive order. The front chunk's number; for
// each consumer how many it has left, which is also the number of the chunk
// it is on, and how many of those it has let go (fewer only while a
// compressing writer still has pieces of them in flight). The queue's front
// is the lowest let go, and never passes a chunk a consumer is on.
uint64_t FrontNumber = 0;
uint64_t Left[CONSUMERS] = {};
uint64_t Released[CONSUMERS] = {};

// The consumer's chunk's place in the queue; the queue's size when it has
// taken every queued chunk.
size_t Place(Consumer consumer) { return static_cast<size_t>(Left[consumer] - FrontNumber); }

// Holding the lock: the chunks every consumer has let go back to the free list.
void FreeReleased() {
    uint64_t released = std::min(*std::min_element(std::begin(Released), std::end(Released)),
                                 *std::min_element(std::begin(Left), std::end(Left)));
    while (!ChunkQueue.empty() && FrontNumber < released) {
        FreeBuffers.push_back(ChunkQueue.front().buffer);
        ChunkQueue.pop_front();
        ++FrontNumber;
        RoomFreed.notify_one();
    }
}
}  // namespace

void ResetChunkQueue() {
    std::lock_guard<std::mutex> lock(QueueLock);
    ChunkQueue.clear();
    FrontNumber = 0;
    std::fill(std::begin(Left), std::end(Left), 0);
    std::fill(std::begin(Released), std::end(Released), 0);
    Closed = false;
    Failed = false;
}

void* ObtainChunkBuffer(ErrorCode& error) {
    {
        std::lock_guard<std::mutex> lock(QueueLock);
        if (!FreeBuffers.empty()) {
            void* buffer = FreeBuffers.back();
            FreeBuffers.pop_back();
            return buffer;
        }
    }
    return ObtainBuffer(CHUNK_BYTES, error);
}

namespace {
// Waits, holding lock, until the queue has room or the writer has failed;
// true when there is room to use.
// An interrupt cannot wake a waiting thread, so the reader looks for one
// now and then while the consumers hold the queue full (a writer blocked on
// a stalled pipe), and marks the failure that ends the dump.
bool AwaitRoom(std::unique_lock<std::mutex>& lock) {
    while (!RoomFreed.wait_for(lock, std::chrono::milliseconds(250),
                               [] { return Failed || ChunkQueue.size() < QUEUE_BOUND; })) {
        if (!Interrupted()) continue;
        PrintLine(InterruptLine());
        Failed = true;
        DataArrived.notify_all();
    }
    return !Failed;
}
}  // namespace

bool WaitForRoom() {
    std::unique_lock<std::mutex> lock(QueueLock);
    return AwaitRoom(lock);
}

bool AppendChunk(Chunk chunk) {
    std::unique_lock<std::mutex> lock(QueueLock);
    if (!AwaitRoom(lock)) return false;
    ChunkQueue.push_back(chunk);
    DataArrived.notify_all();
    return true;
}

bool ChunkFilled(uint32_t filled) {
    std::lock_guard<std::mutex> lock(QueueLock);
    ChunkQueue.back().filled = filled;
    DataArrived.notify_all();
    return !Failed;
}

void CloseChunkQueue() {
    std::lock_guard<std::mutex> lock(QueueLock);
    Closed = true;
    DataArrived.notify_all();
}

bool WaitNextChunk(Consumer consumer, Chunk& chunk) {
    std::unique_lock<std::mutex> lock(QueueLock);
    DataArrived.wait(lock, [&] { return Closed || Failed || Place(consumer) < ChunkQueue.size(); });
    if (Failed || Place(consumer) >= ChunkQueue.size()) return false;
    chunk = ChunkQueue[Place(consumer)];
    return true;
}

bool PrintMarkUnlessFailed(const char* mark) {
    std::lock_guard<std::mutex> lock(QueueLock);
    if (Failed) return false;
    PrintMark(mark);
    return true;
}

namespace {
uint64_t Writable(const Chunk& chunk) {
    if (chunk.filled >= chunk.bytes) return chunk.bytes;
    return RoundDown(chunk.filled, IO_ALIGN);
}
}  // namespace

bool WaitReady(Consumer consumer, uint64_t taken, uint64_t& ready) {
    std::unique_lock<std::mutex> lock(QueueLock);
    // The place is asked anew after each wait: the other consumer may have
    // let the front go meanwhile.
    DataArrived.wait(lock, [&] { return Closed || Writable(ChunkQueue[Place(consumer)]) > taken; });
    ready = Writable(ChunkQueue[Place(consumer)]);
    return ready > taken;
}

void FinishChunk(Consumer consumer) {
    std::lock_guard<std::mutex> lock(QueueLock);
    ++Left[consumer];
    ++Released[consumer];
    FreeReleased();
}

void LeaveChunk(Consumer consumer) {
    std::lock_guard<std::mutex> lock(QueueLock);
    ++Left[consumer];
    FreeReleased();
}

void ReleaseChunk(Consumer consumer) {
    std::lock_guard<std::mutex> lock(QueueLock);
    ++Released[consumer];
    FreeReleased();
}

void ConsumeChunks(Consumer consumer, int32_t chunks, const char* mark, TakePiece take, void* context, bool keep) {
    Chunk chunk{};
    for (int32_t number = 0; number < chunks && WaitNextChunk(consumer, chunk); ++number) {
        if (mark != nullptr && !PrintMarkUnlessFailed(mark)) return;
        const char* data = static_cast<const char*>(chunk.buffer);
        uint64_t taken = 0, ready = 0;
        while (taken < chunk.bytes) {
            if (Interrupted()) return FailChunkQueue(InterruptLine());
            if (!WaitReady(consumer, taken, ready) || !take(context, data + taken, ready - taken)) return;
            taken = ready;
        }
        if (keep)
            LeaveChunk(consumer);
        else
            FinishChunk(consumer);
    }
}

void ReleaseChunkBuffer(void* buffer) {
    std::lock_guard<std::mutex> lock(QueueLock);
    FreeBuffers.push_back(buffer);
}

void FailChunkQueue(const std::string& line) {
    std::lock_guard<std::mutex> lock(QueueLock);
    // One failure, one line: a second one racing in says nothing new.
    if (!Failed) PrintLine(line);
    Failed = true;
    RoomFreed.notify_one();
    DataArrived.notify_all();
}

bool ChunkQueueFailed() {
    std::lock_guard<std::mutex> lock(QueueLock);
    return Failed;
}

void DropChunkBuffers() {
    std::lock_guard<std::mutex> lock(QueueLock);
    for (const Chunk& chunk : ChunkQueue) ReleaseBuffer(chunk.buffer, CHUNK_BYTES);
    ChunkQueue.clear();
    for (void* buffer : FreeBuffers) ReleaseBuffer(buffer, CHUNK_BYTES);
    FreeBuffers.clear();
}
