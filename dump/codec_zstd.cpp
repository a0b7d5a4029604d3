// zstd: each piece one frame, with its content size, so that `zstd -l`
// and writers that show progress know the whole; frames concatenated are
// one file to every zstd decoder.
// The memory estimate and the stable buffers are of zstd's advanced API.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <new>

#include "dump/codec.h"

namespace {
class ZstdEncoder : public Encoder {
public:
    explicit ZstdEncoder(ZSTD_CCtx* context) : context_(context) {}
    ~ZstdEncoder() override { ZSTD_freeCCtx(context_); }
    ZstdEncoder(const ZstdEncoder&) = delete;
    ZstdEncoder& operator=(const ZstdEncoder&) = delete;

    // One frame, its content size pledged so that its header holds it as
    // ZSTD_compress2 would write it; fed a step at a time.
    bool Compress(const char* data, size_t length, char* out, size_t& written, uint64_t& record,
                  const StopCheck& stop) override {
        record = 0;
        bool done = Frame(data, length, out, written, stop);
        // A frame given up leaves the context mid-frame; the next starts anew.
        if (!done) ZSTD_CCtx_reset(context_, ZSTD_reset_session_only);
        return done;
    }

private:
    bool Frame(const char* data, size_t length, char* out, size_t& written, const StopCheck& stop) {
        if (ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(context_, length))) return false;
        ZSTD_outBuffer output{out, ZSTD_compressBound(length), 0};
        ZSTD_inBuffer input{data, 0, 0};
        for (;;) {
            if (stop()) return false;
            input.size = std::min(length, input.pos + STEP_BYTES);
            bool last = input.size == length;
            size_t before = output.pos + input.pos;
            size_t left = ZSTD_compressStream2(context_, &output, &input, last ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left)) return false;
            if (last && left == 0) break;
            // The bound holds every frame: an output that is full stays so.
            if (output.pos + input.pos == before && output.pos == output.size) return false;
        }
        written = output.pos;
        return true;
    }

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
        // The piece and its output stay where they are while the frame is
        // fed a step at a time: zstd reads and writes them in place, as it
        // would in one call, rather than through buffers of its own.
        if (ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level_)) ||
            ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1)) ||
            ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_stableInBuffer, 1)) ||
            ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_stableOutBuffer, 1))) {
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
