#include "dump/compress.h"

#include <algorithm>

#include "dump/chunk_queue.h"
#include "dump/console.h"
#include "dump/dump.h"
#include "dump/messages.h"

namespace {
// Each worker brings two slots: one it compresses into while the writer
// writes the other's piece.
constexpr unsigned SLOTS_PER_WORKER = 2;
}  // namespace

unsigned CompressWorkers(const Codec& codec, unsigned processors) {
    uint64_t each = codec.EncoderMemory() + SLOTS_PER_WORKER * static_cast<uint64_t>(codec.Bound(PIECE_BYTES));
    uint64_t fit = POOL_BYTES / std::max<uint64_t>(each, 1);
    return static_cast<unsigned>(std::max<uint64_t>(1, std::min<uint64_t>(processors, fit)));
}

CompressPool::CompressPool(const Codec& codec, unsigned workers, int32_t chunks, uint64_t total)
    : codec_(codec), workers_(workers), chunks_(chunks), total_(total), out_bytes_(codec.Bound(PIECE_BYTES)) {}

CompressPool::~CompressPool() {
    Stop();
    for (ThreadHandle thread : threads_) WaitThread(thread);
    for (Slot& slot : slots_)
        if (slot.out != nullptr) ReleaseBuffer(slot.out, out_bytes_);
}

bool CompressPool::Start() {
    ErrorCode error = 0;
    slots_.resize(static_cast<size_t>(workers_) * SLOTS_PER_WORKER);
    for (Slot& slot : slots_) {
        slot.out = static_cast<char*>(ObtainBuffer(out_bytes_, error));
        if (slot.out == nullptr) {
            FailChunkQueue(FailureOrInterruptLine(MSG_NO_MEMORY, error));
            return false;
        }
    }
    for (unsigned n = 0; n < workers_; ++n) {
        encoders_.push_back(codec_.NewEncoder());
        if (encoders_.back() == nullptr) {
            FailChunkQueue(ConsoleMessage(MSG_COMPRESS_FAILED));
            return false;
        }
    }
    // Filled before any thread starts: a worker keeps a pointer into it.
    for (auto& encoder : encoders_) starts_.push_back({this, encoder.get()});
    chunk_end_ = std::min<uint64_t>(CHUNK_BYTES, total_);
    ThreadHandle thread = 0;
    for (WorkerStart& start : starts_) {
        if (!StartThread(WorkerThread, &start, thread, error)) {
            FailChunkQueue(FailureOrInterruptLine(MSG_THREAD_FAILED, error));
            return false;
        }
        threads_.push_back(thread);
    }
    if (!StartThread(CutterThread, this, thread, error)) {
        FailChunkQueue(FailureOrInterruptLine(MSG_THREAD_FAILED, error));
        return false;
    }
    threads_.push_back(thread);
    return true;
}

bool CompressPool::Submit(const char* data, size_t length, bool chunk_end) {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [this] { return stopped_ || submitted_ - written_ < slots_.size(); });
    if (stopped_) return false;
    Slot& slot = SlotOf(submitted_);
    slot.data = data;
    slot.length = length;
    slot.chunk_end = chunk_end;
    slot.done = false;
    ++submitted_;
    changed_.notify_all();
    return true;
}

// The queue hands the cutter a chunk's bytes as its reads land; they are
// cut where a piece is full or the chunk ends. Pieces begin at a chunk's
// start and PIECE_BYTES divides CHUNK_BYTES, so every piece but a chunk's
// last is whole.
bool CompressPool::TakeBytes(void* context, const char* data, uint64_t length) {
    CompressPool& pool = *static_cast<CompressPool*>(context);
    if (pool.piece_length_ == 0) pool.piece_ = data;
    pool.piece_length_ += static_cast<size_t>(length);
    while (pool.piece_length_ > 0) {
        uint64_t end = pool.offset_ + std::min<uint64_t>(pool.piece_length_, PIECE_BYTES);
        if (pool.piece_length_ < PIECE_BYTES && end < pool.chunk_end_) break;
        size_t piece = static_cast<size_t>(end - pool.offset_);
        bool chunk_end = end == pool.chunk_end_;
        if (!pool.Submit(pool.piece_, piece, chunk_end)) return false;
        pool.piece_ += piece;
        pool.piece_length_ -= piece;
        pool.offset_ = end;
        if (chunk_end) pool.chunk_end_ = std::min<uint64_t>(end + CHUNK_BYTES, pool.total_);
    }
    return true;
}

void CompressPool::Cut() {
    ConsumeChunks(WRITER, chunks_, MARK_WRITE, TakeBytes, this, true);
    std::lock_guard<std::mutex> lock(lock_);
    // The queue failed or closed early: what is in flight is not written.
    if (ChunkQueueFailed() || offset_ < total_) stopped_ = true;
    closed_ = true;
    changed_.notify_all();
}

uint32_t CompressPool::CutterThread(void* pool) {
    static_cast<CompressPool*>(pool)->Cut();
    return 0;
}

void CompressPool::Work(Encoder& encoder) {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        changed_.wait(lock, [this] { return stopped_ || closed_ || started_ < submitted_; });
        if (stopped_ || started_ == submitted_) return;
        Slot& slot = SlotOf(started_++);
        lock.unlock();
        size_t bytes = 0;
        uint64_t record = 0;
        bool compressed = encoder.Compress(slot.data, slot.length, slot.out, bytes, record);
        lock.lock();
        if (!compressed) {
            stopped_ = true;
            changed_.notify_all();
            lock.unlock();
            FailChunkQueue(ConsoleMessage(MSG_COMPRESS_FAILED));
            return;
        }
        slot.bytes = bytes;
        slot.record = record;
        slot.done = true;
        changed_.notify_all();
    }
}

uint32_t CompressPool::WorkerThread(void* start) {
    WorkerStart& worker = *static_cast<WorkerStart*>(start);
    worker.pool->Work(*worker.encoder);
    return 0;
}

bool CompressPool::Next(CompressedPiece& piece) {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [this] {
        return stopped_ || (written_ < submitted_ && SlotOf(written_).done) || (closed_ && written_ == submitted_);
    });
    if (stopped_ || written_ == submitted_) return false;
    const Slot& slot = SlotOf(written_);
    piece = {slot.out, slot.bytes, slot.length, slot.record};
    return true;
}

void CompressPool::Written() {
    bool chunk_end = false;
    {
        std::lock_guard<std::mutex> lock(lock_);
        chunk_end = SlotOf(written_).chunk_end;
        ++written_;
        changed_.notify_all();
    }
    if (chunk_end) ReleaseChunk(WRITER);
}

void CompressPool::Stop() {
    std::lock_guard<std::mutex> lock(lock_);
    stopped_ = true;
    changed_.notify_all();
}
