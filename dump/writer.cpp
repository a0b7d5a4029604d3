#include "dump/writer.h"

#include "dump/chunk_queue.h"
#include "dump/console.h"
#include "dump/dump.h"
#include "dump/messages.h"

namespace {
bool WriteWhole(FileHandle image, const char* data, uint64_t length, ErrorCode& error) {
    while (length > 0) {
        int64_t written = WriteImage(image, data, length, error);
        if (written < 0) return false;
        data += written;
        length -= static_cast<uint64_t>(written);
    }
    return true;
}

// Writes the front chunk as its reads land. The last chunk's tail past the
// drive's end is cut by the final size; only the padding to a whole block
// that unbuffered I/O needs is written. False when the chunk was not
// written: a failed write (reported here) or a reader that stopped.
bool WriteChunk(FileHandle image, const Chunk& chunk) {
    const char* data = static_cast<const char*>(chunk.buffer);
    const uint64_t end = RoundUp(chunk.bytes, IO_ALIGN);
    uint64_t written = 0, writable = 0;
    while (written < end) {
        if (!WaitWritable(written, writable)) return false;
        ErrorCode error = 0;
        if (!WriteWhole(image, data + written, writable - written, error)) {
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
    for (int32_t written = 0; written < ChunkCount && WaitFrontChunk(chunk); ++written) {
        PrintMark(MARK_WRITE);
        if (!WriteChunk(handle, chunk)) return 0;
        ReleaseChunkBuffer(chunk.buffer);
        RemoveFrontChunk();
    }
    return 0;
}
