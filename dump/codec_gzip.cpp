// gzip: each piece one member, header and trailer its own, as pigz --independent
// writes them; gzip, zcat and pigz read concatenated members as one file.
#include <libdeflate.h>

#include "dump/codec.h"

namespace {
class GzipEncoder : public Encoder {
public:
    explicit GzipEncoder(libdeflate_compressor* compressor) : compressor_(compressor) {}
    ~GzipEncoder() override { libdeflate_free_compressor(compressor_); }
    GzipEncoder(const GzipEncoder&) = delete;
    GzipEncoder& operator=(const GzipEncoder&) = delete;

    bool Compress(const char* data, size_t length, char* out, size_t& written, uint64_t& record) override {
        written = libdeflate_gzip_compress(compressor_, data, length, out,
                                           libdeflate_gzip_compress_bound(compressor_, length));
        record = 0;
        return written > 0;
    }

private:
    libdeflate_compressor* compressor_;
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

private:
    int level_;
};
}  // namespace

std::unique_ptr<Codec> NewGzipCodec(int level) { return std::unique_ptr<Codec>(new GzipCodec(level)); }
