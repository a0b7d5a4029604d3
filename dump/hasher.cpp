#include "dump/hasher.h"

#include "dump/chunk_queue.h"
#include "dump/console.h"
#include "dump/dump.h"
#include "dump/messages.h"

namespace {
// Exactly the chunk's drive bytes: never what a rounded-up last read
// brought in past the drive's end.
bool HashChunk(HashHandle hash, const Chunk& chunk) {
    const char* data = static_cast<const char*>(chunk.buffer);
    uint64_t done = 0, ready = 0;
    while (done < chunk.bytes) {
        if (!WaitReady(HASHER, done, ready)) return false;
        ErrorCode error = 0;
        if (!HashBytes(hash, data + done, ready - done, error)) {
            FailChunkQueue(FailureLine(MSG_HASH_FAILED, error));
            return false;
        }
        done = ready;
    }
    return true;
}
}  // namespace

uint32_t HasherThread(void* hash) {
    HashHandle handle = reinterpret_cast<HashHandle>(hash);
    Chunk chunk{};
    for (int32_t hashed = 0; hashed < ChunkCount && WaitNextChunk(HASHER, chunk, nullptr); ++hashed) {
        if (!HashChunk(handle, chunk)) return 0;
        FinishChunk(HASHER);
    }
    return 0;
}
