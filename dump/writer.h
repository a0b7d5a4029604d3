#pragma once

#include <cstdint>

#include "platform/platform.h"

// What the writer's thread is handed; it outlives the thread.
struct WriterContext {
    FileHandle image;
    int32_t chunks;  // the dump's (DumpPlan)
};

// The writer's thread procedure; its argument is a WriterContext. Writes
// the dump's chunks from the queue in order, printing "W" before each, and
// ends after them, when the reader closes the queue early, or at its first
// failed write, which it reports and marks on the queue.
uint32_t WriterThread(void* context);
