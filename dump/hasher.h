#pragma once

#include <cstdint>

// The hasher's thread procedure; its argument is the HashHandle. Adds the
// bytes of ChunkCount chunks from the queue to the hash in drive order, as
// their reads land, beside the writer, and ends after them, when the reader
// closes the queue early, or at its first failure, which it reports and
// marks on the queue.
uint32_t HasherThread(void* hash);
