// The hand-over of chunks from the reader (main thread) to the writer and
// the hasher.
//
// One producer, two consumers, each taking every chunk in drive order. The
// queue is bounded: it holds at most QUEUE_BOUND chunks, counting the ones
// the writer or the hasher is still on (a chunk stays queued until both are
// done with it) and the one the reader is filling (it is queued before its
// first read, and its filled count grows as the reads land, so the
// consumers can start on a chunk while the rest of it is read). The reader
// takes a buffer only once there is room, so no more than QUEUE_BOUND
// buffers are in flight at once. The reader waits while the queue is full,
// a consumer while it has nothing to take; each is woken by the others'
// moves, so there is no polling delay anywhere.
//
// Buffers both consumers are done with go back to a free list that the
// reader takes from before it asks the platform for a new one: a dump
// allocates at most QUEUE_BOUND buffers however long the drive.
//
// The reader's and the writer's progress marks and every failure line share
// standard output: a failure line is printed under the queue's lock
// (FailChunkQueue), and so is a mark, only while no failure is marked
// (PrintMarkUnlessFailed), so that a mark never follows an error line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

constexpr size_t QUEUE_BOUND = 3;

// The threads that take the reader's chunks.
enum Consumer { WRITER, HASHER, CONSUMERS };

// A buffer of CHUNK_BYTES that is to hold bytes of drive data from its
// start, of which the first filled are read.
struct Chunk {
    void* buffer;
    uint32_t bytes;
    uint32_t filled;
};

// Empties the queue and its failure mark for a new dump.
void ResetChunkQueue();

// Reader: a free buffer, reused or new; nullptr with the code when the
// platform has no memory for one.
void* ObtainChunkBuffer(ErrorCode& error);

// Reader: waits until the queue can take another chunk. False once either
// side failed, and after the interrupt's line when an interrupt comes while
// it waits.
bool WaitForRoom();

// Reader: queues the chunk, waiting while the queue is full. False, with the
// chunk not taken, once the writer has failed.
bool AppendChunk(Chunk chunk);

// Reader: the chunk it appended last now holds filled bytes. False once the
// writer has failed.
bool ChunkFilled(uint32_t filled);

// Reader: no more reads will come. A writer waiting for data ends.
void CloseChunkQueue();

// Consumer: its next chunk, waiting while there is none. False when the
// queue is closed and that consumer has taken every chunk, or a failure is
// marked.
bool WaitNextChunk(Consumer consumer, Chunk& chunk);

// Reader or consumer: prints mark, under the queue's lock, unless a failure
// is marked. False, with nothing printed, once one is: the caller stops.
bool PrintMarkUnlessFailed(const char* mark);

// Consumer: waits until more than the taken bytes of its chunk can be taken
// and sets ready to that length: whole IO_ALIGN blocks, and at the end of
// the chunk all its bytes. False when the reader stopped before filling it.
bool WaitReady(Consumer consumer, uint64_t taken, uint64_t& ready);

// Consumer: done with its chunk. The buffer goes to the free list once both
// consumers are done with it.
void FinishChunk(Consumer consumer);

// Consumer: on to its next chunk, keeping this one's buffer, whose bytes it
// still reads elsewhere (a compressing writer's pieces in flight).
void LeaveChunk(Consumer consumer);

// Consumer: done with the oldest chunk it left and kept; that may come
// before the LeaveChunk it answers, which the buffer then waits for.
void ReleaseChunk(Consumer consumer);

// A consumer's work on a piece of its chunk; false once it has failed and
// said so (FailChunkQueue).
using TakePiece = bool (*)(void* context, const char* data, uint64_t length);

// A consumer thread's whole work: the dump's chunks in drive order, mark
// printed before each, each handed to take piece by piece as its reads land
// (see WaitReady). Ends after them, when the reader closes the queue early,
// at any failure, once take fails, or at an interrupt, which it reports.
// keep: each chunk is left, not finished (LeaveChunk); the consumer
// releases it once done with its pieces.
void ConsumeChunks(Consumer consumer, int32_t chunks, const char* mark, TakePiece take, void* context,
                   bool keep = false);

// Reader: puts a buffer it could not queue back on the free list.
void ReleaseChunkBuffer(void* buffer);

// Any thread: it failed; prints line (under the queue's lock, see the top
// of this file) unless a failure is marked already, and marks the failure.
// The others stop at their next step: a reader waiting for room, a consumer
// waiting for a chunk.
void FailChunkQueue(const std::string& line);

bool ChunkQueueFailed();

// After the consumers have ended: hands every buffer still queued or free
// back to the platform.
void DropChunkBuffers();
