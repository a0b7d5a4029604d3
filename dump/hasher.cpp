#include "dump/hasher.h"

#include <algorithm>

#include "dump/chunk_queue.h"
#include "dump/console.h"
#include "dump/messages.h"
#include "dump/rewrite.h"

namespace {
// Exactly the drive's bytes: never what a rounded-up last read brought in
// past the drive's end.
bool HashPiece(void* context, const char* data, uint64_t length) {
    ErrorCode error = 0;
    if (HashBytes(static_cast<HasherContext*>(context)->hash, data, length, error)) return true;
    FailChunkQueue(FailureOrInterruptLine(MSG_HASH_FAILED, error));
    return false;
}

// False after the line of what stopped it, marked on the queue. A dump that
// failed meanwhile (its drive, its target) is not kept waiting for the rest
// of a read-back that may take hours: its line is already out.
bool HashWrittenBefore(HasherContext& hasher) {
    ErrorCode error = 0;
    bool read = AddImageToHash(hasher.image, hasher.held, hasher.hash, error, ChunkQueueFailed);
    if (!read && ChunkQueueFailed()) return false;
    static const char zeros[65536] = {};
    for (uint64_t at = hasher.held; read && at < hasher.start; at += sizeof zeros)
        read = HashBytes(hasher.hash, zeros, std::min<uint64_t>(sizeof zeros, hasher.start - at), error);
    if (read) return true;
    FailChunkQueue(Interrupted() ? InterruptLine() : FailureOrInterruptLine(MSG_IMAGE_READ_FAILED, error));
    return false;
}
}  // namespace

uint32_t HasherThread(void* context) {
    HasherContext& hasher = *static_cast<HasherContext*>(context);
    if (hasher.start > 0 && !HashWrittenBefore(hasher)) return 0;
    ConsumeChunks(HASHER, hasher.chunks, nullptr, HashPiece, context);
    return 0;
}
