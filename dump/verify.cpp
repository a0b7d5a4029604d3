#include "dump/verify.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dump/console.h"
#include "dump/dump.h"
#include "dump/messages.h"
#include "dump/read_back.h"

namespace {
// A hash of what is read back, dropped unless finished.
class ReadHash {
public:
    ReadHash() = default;
    ~ReadHash() {
        if (started_) DropHash(handle_);
    }
    ReadHash(const ReadHash&) = delete;
    ReadHash& operator=(const ReadHash&) = delete;

    bool Start(ErrorCode& error) { return started_ = StartHash(handle_, error); }
    bool Add(const char* data, size_t length, ErrorCode& error) { return HashBytes(handle_, data, length, error); }
    // same: the bytes added hash to expected.
    bool Finish(const uint8_t (&expected)[DIGEST_BYTES], bool& same, ErrorCode& error) {
        uint8_t digest[DIGEST_BYTES] = {};
        started_ = false;
        if (!FinishHash(handle_, digest, error)) return false;
        same = std::equal(std::begin(digest), std::end(digest), std::begin(expected));
        return true;
    }

private:
    HashHandle handle_ = 0;
    bool started_ = false;
};

// The copy's bytes of [at, at + length) in data: zeros wherever copied
// does not say read. first, the first area not wholly before at, is kept
// from one call to the next, as the image is read in order.
void KeepCopied(const std::vector<MapArea>& copied, size_t& first, uint64_t at, char* data, uint64_t length) {
    while (first < copied.size() && copied[first].pos + copied[first].size <= at) ++first;
    for (size_t n = first; n < copied.size() && copied[n].pos < at + length; ++n) {
        if (copied[n].status == READ) continue;
        uint64_t from = std::max(copied[n].pos, at), to = std::min(copied[n].pos + copied[n].size, at + length);
        std::memset(data + (from - at), 0, to - from);
    }
}
}  // namespace

ReadBack ReadImageBack(FileHandle image, const WrittenImage& written, std::string& line) {
    ErrorCode error = 0;
    ReadHash file, content;
    auto hash_failed = [&line](ErrorCode code) {
        line = FailureOrInterruptLine(MSG_HASH_FAILED, code);
        return NOT_COMPARED;
    };
    // A raw image is the drive's size, whatever the disk it may be; a
    // compressed file is read to its end.
    ReadBackPieces pieces(image, written.codec != nullptr ? UINT64_MAX : written.total);
    if (!pieces.Start(error)) {
        line = FailureOrInterruptLine(MSG_NO_MEMORY, error);
        return NOT_COMPARED;
    }
    if (!file.Start(error) || (written.content_known && !content.Start(error))) return hash_failed(error);
    std::unique_ptr<Decoder> decoder;
    if (written.codec != nullptr && (decoder = written.codec->NewDecoder()) == nullptr) {
        line = ConsoleMessage(MSG_COMPRESS_FAILED);
        return NOT_COMPARED;
    }
    uint64_t decoded = 0;
    bool hashed = true;
    ErrorCode hash_error = 0;
    // A stream that decodes to more than the drive is not the drive's,
    // and is not decoded on.
    const Decoder::Out out = [&](const char* data, size_t length) {
        decoded += length;
        return decoded <= written.total && (hashed = content.Add(data, length, hash_error));
    };
    size_t area = 0;
    uint64_t at = 0;
    for (bool more = true; more;) {
        char* data = nullptr;
        uint64_t length = 0;
        switch (pieces.Next(data, length, error)) {
            case ReadBackPieces::STOPPED: line = InterruptLine(); return NOT_COMPARED;
            case ReadBackPieces::FAILED:
                line = FailureOrInterruptLine(MSG_IMAGE_READ_FAILED, error);
                return Interrupted() ? NOT_COMPARED : UNREADABLE;
            case ReadBackPieces::END: more = false; continue;
            case ReadBackPieces::PIECE: break;
        }
        if (!file.Add(data, length, error)) return hash_failed(error);
        if (decoder != nullptr) {
            if (!decoder->Take(data, length, out)) return hashed ? DIFFERENT : hash_failed(hash_error);
        } else if (written.content_known) {
            KeepCopied(written.copied, area, at, data, length);
            if (!content.Add(data, length, error)) return hash_failed(error);
        }
        at += length;
    }
    if (decoder != nullptr && !decoder->Finish(out)) return hashed ? DIFFERENT : hash_failed(hash_error);
    bool same_file = false, same_content = true;
    if (!file.Finish(written.file_digest, same_file, error) ||
        (written.content_known && !content.Finish(written.content_digest, same_content, error)))
        return hash_failed(error);
    return same_file && same_content ? SAME : DIFFERENT;
}
