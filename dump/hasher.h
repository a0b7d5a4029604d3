#pragma once

#include <cstdint>

#include "platform/platform.h"

// What the hasher's thread is handed; it outlives the thread.
struct HasherContext {
    HashHandle hash;
    int32_t chunks;  // the dump's (DumpPlan)
};

// The hasher's thread procedure; its argument is a HasherContext. Adds the
// bytes of the dump's chunks from the queue to the hash in drive order, as
// their reads land, beside the writer, and ends after them, when the reader
// closes the queue early, or at its first failure, which it reports and
// marks on the queue.
uint32_t HasherThread(void* context);
