#include "dump/rewrite.h"

#include <algorithm>
#include <cstring>

#include "dump/dump.h"
#include "dump/read_back.h"

namespace {
struct Buffer {
    explicit Buffer(size_t bytes) : length(bytes) {}
    ~Buffer() {
        if (data != nullptr) ReleaseBuffer(data, length);
    }
    bool Obtain(ErrorCode& error) {
        data = static_cast<char*>(ObtainBuffer(length, error));
        return data != nullptr;
    }
    size_t length;
    char* data = nullptr;
};

// A block's stored bytes, of which those in [from, to) are replaced.
bool MergeBlock(FileHandle image, uint64_t total, const char* data, uint64_t base, uint64_t block, uint64_t from,
                uint64_t to, ErrorCode& error) {
    Buffer stored(IO_ALIGN);
    if (!stored.Obtain(error)) return false;
    uint64_t length = std::min<uint64_t>(IO_ALIGN, total - block);
    for (uint64_t got = 0; got < length;) {
        int64_t read = ReadImageAt(image, block + got, stored.data + got, IO_ALIGN - got, error);
        if (read <= 0) {
            if (read == 0) error = EndOfDriveCode();
            return false;
        }
        got += static_cast<uint64_t>(read);
    }
    uint64_t first = std::max(from, block), last = std::min(to, block + length);
    std::memcpy(stored.data + (first - block), data + (first - base), last - first);
    return WriteImageAt(image, block, stored.data, length, error);
}
}  // namespace

bool PatchImage(FileHandle image, uint64_t total, const char* data, uint64_t base, uint64_t from, uint64_t to,
                ErrorCode& error) {
    to = std::min(to, total);
    uint64_t block = RoundDown(from, IO_ALIGN);
    while (block < to) {
        uint64_t block_end = std::min<uint64_t>(block + IO_ALIGN, total);
        if (from > block || to < block_end) {
            if (!MergeBlock(image, total, data, base, block, from, to, error)) return false;
            block += IO_ALIGN;
            continue;
        }
        // The blocks the bytes fill whole go in one write, a last block
        // that ends at the image's end with them.
        uint64_t run_end = block;
        while (run_end < to && std::min<uint64_t>(run_end + IO_ALIGN, total) <= to) run_end += IO_ALIGN;
        run_end = std::min(run_end, total);
        if (!WriteImageAt(image, block, data + (block - base), run_end - block, error)) return false;
        block = run_end;
    }
    return true;
}

bool AddImageToHash(FileHandle image, uint64_t length, HashHandle hash, ErrorCode& error, bool (*stopped)()) {
    ReadBackPieces pieces(image, length);
    if (!pieces.Start(error)) return false;
    uint64_t added = 0;
    for (;;) {
        char* data = nullptr;
        uint64_t bytes = 0;
        switch (pieces.Next(data, bytes, error)) {
            case ReadBackPieces::PIECE:
                if (!HashBytes(hash, data, bytes, error)) return false;
                if (stopped != nullptr && stopped()) return false;
                added += bytes;
                continue;
            case ReadBackPieces::END:
                // The file ended before length.
                if (added < length) error = EndOfDriveCode();
                return added == length;
            case ReadBackPieces::FAILED:
            case ReadBackPieces::STOPPED: return false;
        }
    }
}

bool HashImage(FileHandle image, uint64_t total, uint8_t (&digest)[DIGEST_BYTES], ErrorCode& error) {
    HashHandle hash = 0;
    if (!StartHash(hash, error)) return false;
    if (AddImageToHash(image, total, hash, error)) return FinishHash(hash, digest, error);
    DropHash(hash);
    return false;
}
