#include "dump/writer.h"

#include <algorithm>

#include "dump/chunk_queue.h"
#include "dump/console.h"
#include "dump/dump.h"
#include "dump/messages.h"
#include "dump/progress.h"

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

// Whole blocks go unbuffered, WRITE_BYTES at most at a time. Only the
// drive's last piece can end short of a block; those bytes go through the
// tail write, so that nothing past the drive's end is ever written.
bool WritePiece(void* context, const char* data, uint64_t length) {
    FileHandle handle = static_cast<WriterContext*>(context)->image;
    uint64_t blocks = RoundDown(length, IO_ALIGN);
    ErrorCode error = 0;
    for (uint64_t written = 0; written < length;) {
        if (Interrupted()) {
            FailChunkQueue(InterruptLine());
            return false;
        }
        uint64_t piece = written < blocks ? std::min<uint64_t>(WRITE_BYTES, blocks - written) : length - written;
        if (!WriteWhole(written < blocks ? WriteImage : WriteImageTail, handle, data + written, piece, error)) {
            FailChunkQueue(FailureOrInterruptLine(MSG_WRITE_FAILED, error));
            return false;
        }
        ReportWritten(piece);
        written += piece;
    }
    return true;
}
}  // namespace

uint32_t WriterThread(void* context) {
    ConsumeChunks(WRITER, static_cast<WriterContext*>(context)->chunks, MARK_WRITE, WritePiece, context);
    return 0;
}
