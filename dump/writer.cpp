#include "dump/writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dump/chunk_queue.h"
#include "dump/compress.h"
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

// A compressed image's bytes on their way out: gathered into an aligned
// buffer and written in whole blocks, WRITE_BYTES at a time, as a raw
// image's are; only the stream's last bytes short of a block go through
// the tail write. Each byte is hashed as it is gathered.
class Stage {
public:
    explicit Stage(WriterContext& context) : context_(context) {}
    ~Stage() {
        if (buffer_ != nullptr) ReleaseBuffer(buffer_, WRITE_BYTES);
    }
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    bool Start() {
        ErrorCode error = 0;
        buffer_ = static_cast<char*>(ObtainBuffer(WRITE_BYTES, error));
        if (buffer_ != nullptr) return true;
        FailChunkQueue(FailureOrInterruptLine(MSG_NO_MEMORY, error));
        return false;
    }

    bool Add(const char* data, size_t length) {
        ErrorCode error = 0;
        if (!HashBytes(context_.image_hash, data, length, error)) {
            FailChunkQueue(FailureOrInterruptLine(MSG_HASH_FAILED, error));
            return false;
        }
        while (length > 0) {
            size_t part = std::min(length, WRITE_BYTES - filled_);
            std::memcpy(buffer_ + filled_, data, part);
            filled_ += part;
            data += part;
            length -= part;
            if (filled_ == WRITE_BYTES && !Put(WRITE_BYTES, WriteImage)) return false;
        }
        return true;
    }

    bool Finish() {
        size_t blocks = RoundDown(filled_, IO_ALIGN);
        return (blocks == 0 || Put(blocks, WriteImage)) && (filled_ == 0 || Put(filled_, WriteImageTail));
    }

private:
    // Writes the buffer's first length bytes and keeps the rest at its start.
    bool Put(size_t length, WriteCall write) {
        ErrorCode error = 0;
        if (Interrupted()) {
            FailChunkQueue(InterruptLine());
            return false;
        }
        if (!WriteWhole(write, context_.image, buffer_, length, error)) {
            FailChunkQueue(FailureOrInterruptLine(MSG_WRITE_FAILED, error));
            return false;
        }
        std::memmove(buffer_, buffer_ + length, filled_ - length);
        filled_ -= length;
        context_.image_bytes += length;
        return true;
    }

    WriterContext& context_;
    char* buffer_ = nullptr;
    size_t filled_ = 0;
};

bool AddEmptyPiece(Codec& codec, Stage& stage) {
    std::unique_ptr<Encoder> encoder = codec.NewEncoder();
    std::vector<char> out(codec.Bound(0));
    size_t bytes = 0;
    uint64_t record = 0;
    if (encoder == nullptr || !encoder->Compress(out.data(), 0, out.data(), bytes, record) ||
        !codec.Written(record, 0)) {
        FailChunkQueue(ConsoleMessage(MSG_COMPRESS_FAILED));
        return false;
    }
    return stage.Add(out.data(), bytes);
}

// The codec's head, every piece the pool hands back in drive order, and
// the codec's end once every piece is out. The pool's threads are waited
// for before the chunks they read can go.
void WriteCompressed(WriterContext& context) {
    Codec& codec = *context.codec;
    Stage stage(context);
    CompressPool pool(codec, context.workers, context.chunks, context.total);
    std::string head = codec.Head();
    if (!stage.Start() || !stage.Add(head.data(), head.size()) || !pool.Start()) return pool.Stop();
    uint64_t written = 0;
    CompressedPiece piece{};
    while (pool.Next(piece)) {
        if (ChunkQueueFailed() || !stage.Add(piece.data, piece.bytes)) return pool.Stop();
        if (!codec.Written(piece.record, piece.length)) {
            FailChunkQueue(ConsoleMessage(MSG_COMPRESS_FAILED));
            return pool.Stop();
        }
        ReportWritten(piece.length);
        written += piece.length;
        pool.Written();
    }
    if (written < context.total || ChunkQueueFailed()) return;
    // An empty drive still makes a file the decoders take: one empty piece
    // (a gzip file or zstd file of no member or frame is refused by them).
    if (context.total == 0 && !AddEmptyPiece(codec, stage)) return;
    std::string tail;
    if (!codec.Tail(tail)) {
        FailChunkQueue(ConsoleMessage(MSG_COMPRESS_FAILED));
        return;
    }
    if (stage.Add(tail.data(), tail.size())) stage.Finish();
}
}  // namespace

uint32_t WriterThread(void* context) {
    WriterContext& writer = *static_cast<WriterContext*>(context);
    if (writer.codec != nullptr)
        WriteCompressed(writer);
    else
        ConsumeChunks(WRITER, writer.chunks, MARK_WRITE, WritePiece, context);
    return 0;
}
