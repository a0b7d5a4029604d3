#pragma once

#include <cstdint>

// The writer's thread procedure; its argument is the image's FileHandle.
// Writes ChunkCount chunks from the queue in order, printing "W" before each,
// and ends after them, when the reader closes the queue early, or at its
// first failed write, which it reports and marks on the queue.
uint32_t WriterThread(void* image);
