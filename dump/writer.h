#pragma once

#include <cstdint>

#include "dump/codec.h"
#include "platform/platform.h"

// What the writer's thread is handed; it outlives the thread.
struct WriterContext {
    FileHandle image;
    int32_t chunks;  // the dump's (DumpPlan)
    uint64_t total;  // the drive's bytes (DumpPlan)
    // A compressed image: its codec and workers (compress.h), and the hash
    // of the file as written, since the drive's bytes are not the file's.
    Codec* codec = nullptr;
    unsigned workers = 1;
    HashHandle image_hash = 0;
    uint64_t image_bytes = 0;  // the compressed file's size, once the writer has ended
};

// The writer's thread procedure; its argument is a WriterContext. Writes
// the dump's chunks from the queue in order, printing "W" before each, and
// ends after them, when the reader closes the queue early, or at its first
// failed write, which it reports and marks on the queue. A compressed
// image's chunks go through the pool, and the writer writes the pieces it
// hands back, in order, then the codec's end.
uint32_t WriterThread(void* context);
