// gzip: each piece one member, header and trailer its own, as pigz --independent
// writes them; gzip, zcat and pigz read concatenated members as one file.
#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "dump/codec.h"

namespace {
class GzipEncoder : public Encoder {
public:
    explicit GzipEncoder(libdeflate_compressor* compressor) : compressor_(compressor) {}
    ~GzipEncoder() override { libdeflate_free_compressor(compressor_); }
    GzipEncoder(const GzipEncoder&) = delete;
    GzipEncoder& operator=(const GzipEncoder&) = delete;

    // libdeflate compresses a piece in one call, quickly enough at every
    // level that the stop is asked only before it.
    bool Compress(const char* data, size_t length, char* out, size_t& written, uint64_t& record,
                  const StopCheck& stop) override {
        if (stop()) return false;
        written = libdeflate_gzip_compress(compressor_, data, length, out,
                                           libdeflate_gzip_compress_bound(compressor_, length));
        record = 0;
        return written > 0;
    }

private:
    libdeflate_compressor* compressor_;
};

// libdeflate decodes a whole member from memory, and cannot tell a member
// cut short from a damaged one: a member is decoded only once the window
// holds as much as the largest the writer makes (member_bytes, a piece's
// bound), or the file has ended. The window holds two of them, so that the
// bytes left are moved to its start once per member_bytes taken, not once
// per member.
class GzipDecoder : public Decoder {
public:
    GzipDecoder(libdeflate_decompressor* decompressor, size_t member_bytes)
        : decompressor_(decompressor), member_bytes_(member_bytes) {}
    ~GzipDecoder() override {
        libdeflate_free_decompressor(decompressor_);
        delete[] window_;
        delete[] out_;
    }
    GzipDecoder(const GzipDecoder&) = delete;
    GzipDecoder& operator=(const GzipDecoder&) = delete;

    bool Start() {
        window_ = new (std::nothrow) char[2 * member_bytes_];
        out_ = new (std::nothrow) char[PIECE_BYTES];
        return window_ != nullptr && out_ != nullptr;
    }

    bool Take(const char* data, size_t length, const Out& out) override {
        while (length > 0) {
            if (filled_ == 2 * member_bytes_) {
                std::memmove(window_, window_ + start_, filled_ - start_);
                filled_ -= start_;
                start_ = 0;
            }
            size_t part = std::min(length, 2 * member_bytes_ - filled_);
            std::memcpy(window_ + filled_, data, part);
            filled_ += part;
            data += part;
            length -= part;
            while (filled_ - start_ >= member_bytes_)
                if (!Member(out)) return false;
        }
        return true;
    }

    // A file of no member is no gzip file.
    bool Finish(const Out& out) override {
        while (filled_ > start_)
            if (!Member(out)) return false;
        return members_ > 0;
    }

private:
    // The member at the window's start, whose CRC-32 and size are checked;
    // a piece decodes to PIECE_BYTES at most.
    bool Member(const Out& out) {
        size_t used = 0, decoded = 0;
        if (libdeflate_gzip_decompress_ex(decompressor_, window_ + start_, filled_ - start_, out_, PIECE_BYTES,
                                          &used, &decoded) != LIBDEFLATE_SUCCESS ||
            used == 0)
            return false;
        start_ += used;
        ++members_;
        return decoded == 0 || out(out_, decoded);
    }

    libdeflate_decompressor* decompressor_;
    size_t member_bytes_;
    char* window_ = nullptr;
    char* out_ = nullptr;
    size_t start_ = 0, filled_ = 0;  // the window's bytes not yet decoded
    uint64_t members_ = 0;
};

class GzipCodec : public Codec {
public:
    explicit GzipCodec(int level) : level_(level) {}
    // libdeflate's bound depends on nothing but the length (its level
    // adds no more), so a scratch compressor answers it for all.
    size_t Bound(size_t length) const override {
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(level_);
        if (compressor == nullptr) return length + length / 8 + 4096;
        size_t bound = libdeflate_gzip_compress_bound(compressor, length);
        libdeflate_free_compressor(compressor);
        return bound;
    }
    // libdeflate's compressor holds its hash chains and match buffers:
    // under a MiB at every level.
    uint64_t EncoderMemory() const override { return 1024 * 1024; }
    std::unique_ptr<Encoder> NewEncoder() const override {
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(level_);
        if (compressor == nullptr) return nullptr;
        return std::unique_ptr<Encoder>(new GzipEncoder(compressor));
    }
    std::string Head() const override { return {}; }
    bool Written(uint64_t, size_t) override { return true; }
    bool Tail(std::string& bytes) override {
        bytes.clear();
        return true;
    }
    std::unique_ptr<Decoder> NewDecoder() const override {
        libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
        if (decompressor == nullptr) return nullptr;
        std::unique_ptr<GzipDecoder> decoder(new (std::nothrow) GzipDecoder(decompressor, Bound(PIECE_BYTES)));
        if (decoder == nullptr) libdeflate_free_decompressor(decompressor);
        if (decoder == nullptr || !decoder->Start()) return nullptr;
        return decoder;
    }

private:
    int level_;
};
}  // namespace

std::unique_ptr<Codec> NewGzipCodec(int level) { return std::unique_ptr<Codec>(new GzipCodec(level)); }
