#include "dump/hasher.h"

#include "dump/chunk_queue.h"
#include "dump/console.h"
#include "dump/messages.h"

namespace {
// Exactly the drive's bytes: never what a rounded-up last read brought in
// past the drive's end.
bool HashPiece(void* context, const char* data, uint64_t length) {
    ErrorCode error = 0;
    if (HashBytes(static_cast<HasherContext*>(context)->hash, data, length, error)) return true;
    FailChunkQueue(FailureOrInterruptLine(MSG_HASH_FAILED, error));
    return false;
}
}  // namespace

uint32_t HasherThread(void* context) {
    ConsumeChunks(HASHER, static_cast<HasherContext*>(context)->chunks, nullptr, HashPiece, context);
    return 0;
}
