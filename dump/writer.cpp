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
}  // namespace

uint32_t WriterThread(void* image) {
    FileHandle handle = reinterpret_cast<FileHandle>(image);
    Chunk chunk{};
    for (int32_t written = 0; written < ChunkCount && WaitFrontChunk(chunk); ++written) {
        PrintMark(MARK_WRITE);
        ErrorCode error = 0;
        // The last chunk's tail past the drive's end is cut by the final
        // size; only the sector padding that unbuffered I/O needs is written.
        if (!WriteWhole(handle, static_cast<const char*>(chunk.buffer),
                        RoundUp(chunk.bytes, IO_ALIGN), error)) {
            FailChunkQueue(FailureLine(MSG_WRITE_FAILED, error));
            return 0;
        }
        ReleaseChunkBuffer(chunk.buffer);
        RemoveFrontChunk();
    }
    return 0;
}
