// zstd: each piece one frame, with its content size, so that `zstd -l`
// and writers that show progress know the whole; frames concatenated are
// one file to every zstd decoder.
// The memory estimate is of zstd's advanced API.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <new>

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

// Frames one after another, as the zstd tool reads them; each frame's
// checksum is checked as it ends.
class ZstdDecoder : public Decoder {
public:
    ZstdDecoder(ZSTD_DCtx* context, char* out) : context_(context), out_(out) {}
    ~ZstdDecoder() override {
        ZSTD_freeDCtx(context_);
        delete[] out_;
    }
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

    bool Take(const char* data, size_t length, const Out& out) override {
        ZSTD_inBuffer in{data, length, 0};
        // A full output buffer may leave decoded bytes behind: asked again
        // until one is not.
        bool full = false;
        while (in.pos < in.size || full) {
            ZSTD_outBuffer decoded{out_, ZSTD_DStreamOutSize(), 0};
            size_t result = ZSTD_decompressStream(context_, &decoded, &in);
            if (ZSTD_isError(result) || (decoded.pos > 0 && !out(out_, decoded.pos))) return false;
            frame_ended_ = result == 0;
            full = decoded.pos == decoded.size;
        }
        return true;
    }
    bool Finish(const Out&) override { return frame_ended_; }

private:
    ZSTD_DCtx* context_;
    char* out_;
    bool frame_ended_ = false;
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
    std::unique_ptr<Decoder> NewDecoder() const override {
        ZSTD_DCtx* context = ZSTD_createDCtx();
        char* out = new (std::nothrow) char[ZSTD_DStreamOutSize()];
        // A frame of a piece needs no window larger than the piece; a
        // damaged header that asks for more is refused, not given memory.
        if (context == nullptr || out == nullptr ||
            ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, WINDOW_LOG))) {
            ZSTD_freeDCtx(context);
            delete[] out;
            return nullptr;
        }
        return std::unique_ptr<Decoder>(new ZstdDecoder(context, out));
    }

private:
    // 2^24: PIECE_BYTES.
    static constexpr int WINDOW_LOG = 24;
    int level_;
};
}  // namespace

std::unique_ptr<Codec> NewZstdCodec(int level) { return std::unique_ptr<Codec>(new ZstdCodec(level)); }
