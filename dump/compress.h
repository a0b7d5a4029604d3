// A compressed image's pool: the writer's side of the chunk queue cut into
// pieces (PIECE_BYTES of drive data, never across a chunk), each compressed
// on its own by one of a pool of worker threads, and handed back to the
// writer in drive order.
//
// The pieces wait in a bounded ring of slots, two per worker, each with an
// output buffer of the codec's bound: a cutter thread takes the writer's
// chunks from the queue and fills a slot per piece while one is free; a
// worker takes the oldest piece not yet started; the writer takes the
// oldest piece once it is compressed, and frees its slot once it has
// written it. A chunk's buffer stays queued, held by its pieces, until its
// last piece is written (LeaveChunk, ReleaseChunk), so the reader still has
// at most QUEUE_BOUND chunks in flight, and the ring at most its slots: the
// memory is bounded whatever the drive's size or the devices' speeds. The
// writer never waits on the queue, so a chunk's pieces, once compressed,
// always reach the image and free its buffer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "dump/codec.h"
#include "platform/platform.h"

// The most the pool's slots and encoders take: the workers are as many as
// the processors, fewer where they would take more. Less for a 32-bit
// program, whose address space must also hold the chunks.
constexpr uint64_t POOL_BYTES = sizeof(void*) >= 8 ? 1024ull << 20 : 512ull << 20;

// The workers codec gets on processors processors: at least one.
unsigned CompressWorkers(const Codec& codec, unsigned processors);

// A piece compressed: its drive bytes, and what the codec made of them.
struct CompressedPiece {
    const char* data;  // the compressed bytes
    size_t bytes;
    size_t length;     // drive bytes it holds
    uint64_t record;   // for the codec's end (Codec::Written)
};

class CompressPool {
public:
    // For a dump of chunks chunks and total drive bytes.
    CompressPool(const Codec& codec, unsigned workers, int32_t chunks, uint64_t total);
    // Waits for every thread it started.
    ~CompressPool();
    CompressPool(const CompressPool&) = delete;
    CompressPool& operator=(const CompressPool&) = delete;

    // Writer: the slots, the encoders and the threads. False, after the
    // failure's line (marked on the queue), when any cannot be had.
    bool Start();

    // Writer: the oldest piece, once compressed. False when every piece
    // was written, or the dump failed (said by whoever failed).
    bool Next(CompressedPiece& piece);

    // Writer: the piece Next gave is written; its slot is free, and its
    // chunk let go once it was the chunk's last.
    void Written();

    // Any thread: ends the pool's work at its next step.
    void Stop();

    // For the threads' procedures.
    static uint32_t CutterThread(void* pool);
    static uint32_t WorkerThread(void* pool);

private:
    struct Slot {
        const char* data = nullptr;  // the piece's drive bytes, in a queued chunk
        size_t length = 0;
        bool chunk_end = false;      // the chunk's last piece
        char* out = nullptr;         // Bound(PIECE_BYTES) bytes
        size_t bytes = 0;
        uint64_t record = 0;
        bool done = false;
    };

    static bool TakeBytes(void* pool, const char* data, uint64_t length);
    bool Submit(const char* data, size_t length, bool chunk_end);
    void Cut();
    void Work(Encoder& encoder);
    Slot& SlotOf(uint64_t number) { return slots_[number % slots_.size()]; }

    // What a worker's thread is handed: its pool and its own encoder.
    struct WorkerStart {
        CompressPool* pool;
        Encoder* encoder;
    };

    const Codec& codec_;
    const unsigned workers_;
    const int32_t chunks_;
    const uint64_t total_;
    size_t out_bytes_;
    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<Encoder>> encoders_;
    std::vector<WorkerStart> starts_;
    std::vector<ThreadHandle> threads_;

    // Pieces are numbered from 0 in drive order: submitted by the cutter,
    // started by a worker, written by the writer, each count no greater
    // than the one before it, and submitted less written at most the slots.
    std::mutex lock_;
    std::condition_variable changed_;
    uint64_t submitted_ = 0, started_ = 0, written_ = 0;
    bool closed_ = false;   // the cutter has submitted its last piece
    bool stopped_ = false;

    // The cutter's own: the piece it is cutting, and the end of its chunk.
    uint64_t offset_ = 0;  // drive offset of the piece's first byte
    const char* piece_ = nullptr;
    size_t piece_length_ = 0;
    uint64_t chunk_end_ = 0;
};
