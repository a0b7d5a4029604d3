#pragma once

#include <cstdint>

#include "platform/platform.h"

// What the hasher's thread is handed; it outlives the thread.
struct HasherContext {
    HashHandle hash;
    int32_t chunks;  // the dump's (DumpPlan)
    // A dump gone on with: the bytes before its chunks, first, read back
    // from the partial file through image (ReadImageHandle) up to held,
    // zeros from there to start (where ddrescue left the file short). The
    // reader and the writer go on meanwhile, as far as the queue's bound.
    FileHandle image = -1;
    uint64_t held = 0, start = 0;
};

// The hasher's thread procedure; its argument is a HasherContext. Adds the
// bytes of the dump's chunks from the queue to the hash in drive order, as
// their reads land, beside the writer, and ends after them, when the reader
// closes the queue early, or at its first failure, which it reports and
// marks on the queue.
uint32_t HasherThread(void* context);
