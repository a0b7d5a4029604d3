#include "dump/chunk_queue.h"

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
}  // namespace

void ResetChunkQueue() {
    std::lock_guard<std::mutex> lock(QueueLock);
    ChunkQueue.clear();
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
bool AwaitRoom(std::unique_lock<std::mutex>& lock) {
    RoomFreed.wait(lock, [] { return Failed || ChunkQueue.size() < QUEUE_BOUND; });
    return !Failed;
}
}  // namespace

bool WaitForRoom(const char* mark) {
    std::unique_lock<std::mutex> lock(QueueLock);
    if (!AwaitRoom(lock)) return false;
    PrintMark(mark);
    return true;
}

bool AppendChunk(Chunk chunk) {
    std::unique_lock<std::mutex> lock(QueueLock);
    if (!AwaitRoom(lock)) return false;
    ChunkQueue.push_back(chunk);
    DataArrived.notify_one();
    return true;
}

bool ChunkFilled(uint32_t filled) {
    std::lock_guard<std::mutex> lock(QueueLock);
    ChunkQueue.back().filled = filled;
    DataArrived.notify_one();
    return !Failed;
}

void CloseChunkQueue() {
    std::lock_guard<std::mutex> lock(QueueLock);
    Closed = true;
    DataArrived.notify_one();
}

bool WaitFrontChunk(Chunk& chunk, const char* mark) {
    std::unique_lock<std::mutex> lock(QueueLock);
    DataArrived.wait(lock, [] { return Closed || Failed || !ChunkQueue.empty(); });
    if (Failed || ChunkQueue.empty()) return false;
    chunk = ChunkQueue.front();
    PrintMark(mark);
    return true;
}

namespace {
uint64_t Writable(const Chunk& chunk) {
    if (chunk.filled >= chunk.bytes) return chunk.bytes;
    return chunk.filled / IO_ALIGN * IO_ALIGN;
}
}  // namespace

bool WaitWritable(uint64_t written, uint64_t& writable) {
    std::unique_lock<std::mutex> lock(QueueLock);
    DataArrived.wait(lock, [&] { return Closed || Writable(ChunkQueue.front()) > written; });
    writable = Writable(ChunkQueue.front());
    return writable > written;
}

void RemoveFrontChunk() {
    std::lock_guard<std::mutex> lock(QueueLock);
    ChunkQueue.pop_front();
    RoomFreed.notify_one();
}

void ReleaseChunkBuffer(void* buffer) {
    std::lock_guard<std::mutex> lock(QueueLock);
    FreeBuffers.push_back(buffer);
}

void FailChunkQueue(const std::string& line) {
    std::lock_guard<std::mutex> lock(QueueLock);
    PrintLine(line);
    Failed = true;
    RoomFreed.notify_one();
    DataArrived.notify_one();
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
