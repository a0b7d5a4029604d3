// xz: one stream whose blocks are the pieces, each with its sizes in its
// header and a CRC64 as the xz tool writes by default, and the index of
// every block at the end, so that `xz -l` knows the whole and a decoder
// could start at any block.
#include <lzma.h>

#include <algorithm>

#include "dump/codec.h"

namespace {
// The filter chain of a level, its dictionary no larger than a piece: a
// block never looks back further than its own start, and the larger
// dictionaries of levels 7 to 9 would only take more memory, in the
// encoder and in every decoder.
struct Filters {
    lzma_options_lzma options{};
    lzma_filter chain[2]{};

    bool Set(int level) {
        if (lzma_lzma_preset(&options, static_cast<uint32_t>(level))) return false;
        options.dict_size = std::min<uint32_t>(options.dict_size, PIECE_BYTES);
        chain[0] = {LZMA_FILTER_LZMA2, &options};
        chain[1] = {LZMA_VLI_UNKNOWN, nullptr};
        return true;
    }
};

class XzEncoder : public Encoder {
public:
    explicit XzEncoder(int level) { filters_.Set(level); }

    bool Compress(const char* data, size_t length, char* out, size_t& written, uint64_t& record) override {
        lzma_block block{};
        block.version = 0;
        block.check = LZMA_CHECK_CRC64;
        block.filters = filters_.chain;
        size_t position = 0;
        if (lzma_block_buffer_encode(&block, nullptr, reinterpret_cast<const uint8_t*>(data), length,
                                     reinterpret_cast<uint8_t*>(out), &position,
                                     lzma_block_buffer_bound(length)) != LZMA_OK)
            return false;
        written = position;
        record = lzma_block_unpadded_size(&block);
        return record != 0;
    }

private:
    Filters filters_;
};

class XzCodec : public Codec {
public:
    explicit XzCodec(int level) : level_(level), index_(lzma_index_init(nullptr)) {}
    ~XzCodec() override { lzma_index_end(index_, nullptr); }
    XzCodec(const XzCodec&) = delete;
    XzCodec& operator=(const XzCodec&) = delete;

    size_t Bound(size_t length) const override { return lzma_block_buffer_bound(length); }
    uint64_t EncoderMemory() const override {
        Filters filters;
        if (!filters.Set(level_)) return 0;
        uint64_t memory = lzma_raw_encoder_memusage(filters.chain);
        return memory == UINT64_MAX ? 0 : memory;
    }
    std::unique_ptr<Encoder> NewEncoder() const override {
        Filters filters;
        if (index_ == nullptr || !filters.Set(level_)) return nullptr;
        return std::unique_ptr<Encoder>(new XzEncoder(level_));
    }
    std::string Head() const override {
        lzma_stream_flags flags{};
        flags.version = 0;
        flags.check = LZMA_CHECK_CRC64;
        uint8_t header[LZMA_STREAM_HEADER_SIZE];
        if (lzma_stream_header_encode(&flags, header) != LZMA_OK) return {};
        return std::string(reinterpret_cast<char*>(header), sizeof header);
    }
    bool Written(uint64_t record, size_t length) override {
        return index_ != nullptr && lzma_index_append(index_, nullptr, record, length) == LZMA_OK;
    }
    bool Tail(std::string& bytes) override {
        bytes.clear();
        if (index_ == nullptr) return false;
        lzma_stream_flags flags{};
        flags.version = 0;
        flags.check = LZMA_CHECK_CRC64;
        flags.backward_size = lzma_index_size(index_);
        std::string tail(static_cast<size_t>(flags.backward_size) + LZMA_STREAM_HEADER_SIZE, '\0');
        uint8_t* out = reinterpret_cast<uint8_t*>(&tail[0]);
        size_t position = 0;
        if (lzma_index_buffer_encode(index_, out, &position, static_cast<size_t>(flags.backward_size)) != LZMA_OK ||
            lzma_stream_footer_encode(&flags, out + position) != LZMA_OK)
            return false;
        bytes = tail;
        return true;
    }

private:
    int level_;
    lzma_index* index_;
};
}  // namespace

std::unique_ptr<Codec> NewXzCodec(int level) { return std::unique_ptr<Codec>(new XzCodec(level)); }
