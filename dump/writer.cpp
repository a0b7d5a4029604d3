#include "dump/writer.h"

#include "dump/chunk_queue.h"
#include "dump/console.h"
#include "dump/dump.h"
#include "dump/messages.h"

namespace {
using WriteCall = int64_t (*)(FileHandle, const void*, size_t, ErrorCode&);

bool WriteWhole(WriteCall write, FileHandle image, const char* data, uint64_t length,
                ErrorCode& error) {
    while (length > 0) {
        int64_t written = write(image, data, length, error);
        if (written < 0) return false;
        data += written;
        length -= static_cast<uint64_t>(written);
    }
    return true;
}

// Writes the front chunk as its reads land, whole blocks unbuffered. Only
// the drive's last chunk can end short of a block; those bytes go through
// the tail write, so that nothing past the drive's end is ever written.
// False when the chunk was not written: a failed write (reported here) or a
// reader that stopped.
bool WriteChunk(FileHandle image, const Chunk& chunk) {
    const char* data = static_cast<const char*>(chunk.buffer);
    uint64_t written = 0, writable = 0;
    while (written < chunk.bytes) {
        if (!WaitReady(WRITER, written, writable)) return false;
        uint64_t blocks = writable / IO_ALIGN * IO_ALIGN;
        ErrorCode error = 0;
        if (!WriteWhole(WriteImage, image, data + written, blocks - written, error) ||
            !WriteWhole(WriteImageTail, image, data + blocks, writable - blocks, error)) {
            FailChunkQueue(FailureLine(MSG_WRITE_FAILED, error));
            return false;
        }
        written = writable;
    }
    return true;
}
}  // namespace

uint32_t WriterThread(void* image) {
    FileHandle handle = reinterpret_cast<FileHandle>(image);
    Chunk chunk{};
    for (int32_t written = 0; written < ChunkCount && WaitNextChunk(WRITER, chunk, MARK_WRITE); ++written) {
        if (!WriteChunk(handle, chunk)) return 0;
        FinishChunk(WRITER);
    }
    return 0;
}
