// zstd: each piece one frame, with its content size, so that `zstd -l`
// and writers that show progress know the whole; frames concatenated are
// one file to every zstd decoder.
// The memory estimate is of zstd's advanced API.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "dump/codec.h"

namespace {
class ZstdEncoder : public Encoder {
public:
    explicit ZstdEncoder(ZSTD_CCtx* context) : context_(context) {}
    ~ZstdEncoder() override { ZSTD_freeCCtx(context_); }
    ZstdEncoder(const ZstdEncoder&) = delete;
    ZstdEncoder& operator=(const ZstdEncoder&) = delete;

    bool Compress(const char* data, size_t length, char* out, size_t& written, uint64_t& record) override {
        size_t result = ZSTD_compress2(context_, out, ZSTD_compressBound(length), data, length);
        if (ZSTD_isError(result)) return false;
        written = result;
        record = 0;
        return true;
    }

private:
    ZSTD_CCtx* context_;
};

class ZstdCodec : public Codec {
public:
    explicit ZstdCodec(int level) : level_(level) {}
    size_t Bound(size_t length) const override { return ZSTD_compressBound(length); }
    uint64_t EncoderMemory() const override {
        return ZSTD_estimateCCtxSize_usingCParams(ZSTD_getCParams(level_, PIECE_BYTES, 0));
    }
    std::unique_ptr<Encoder> NewEncoder() const override {
        ZSTD_CCtx* context = ZSTD_createCCtx();
        if (context == nullptr) return nullptr;
        // A checksum per frame, as the zstd tool writes by default, so that
        // `zstd -t` finds a damaged piece.
        if (ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level_)) ||
            ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1))) {
            ZSTD_freeCCtx(context);
            return nullptr;
        }
        return std::unique_ptr<Encoder>(new ZstdEncoder(context));
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

std::unique_ptr<Codec> NewZstdCodec(int level) { return std::unique_ptr<Codec>(new ZstdCodec(level)); }
