// xz: one stream whose blocks are the pieces, each with its sizes in its
// header and a CRC64 as the xz tool writes by default, and the index of
// every block at the end, so that `xz -l` knows the whole and a decoder
// could start at any block.
#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <new>

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

// A block as lzma_block_buffer_encode writes it, its sizes in its header,
// but its LZMA2 data made a step at a time: the raw encoder's output goes
// after room for the longest header the piece can need, and the header is
// made once the compressed size is known. LZMA2 stores what does not
// compress as it stands, so the data stays within the block's bound.
// The most a block of length bytes takes. The raw encoder fed a step at a
// time has no fallback to stored data, as lzma_block_buffer_encode has: on
// data that does not compress, the fast levels' LZMA2 chunks take more than
// that call's bound, so a block is given room for that too.
size_t XzBound(size_t length) { return lzma_block_buffer_bound(length) + length / 16 + 65536; }

class XzEncoder : public Encoder {
public:
    explicit XzEncoder(int level) { filters_.Set(level); }

    bool Compress(const char* data, size_t length, char* out, size_t& written, uint64_t& record,
                  const StopCheck& stop) override {
        constexpr size_t CHECK_BYTES = 8;  // CRC64
        lzma_block block{};
        block.version = 0;
        block.check = LZMA_CHECK_CRC64;
        block.filters = filters_.chain;
        block.uncompressed_size = length;
        const size_t bound = XzBound(length);
        block.compressed_size = bound;
        if (lzma_block_header_size(&block) != LZMA_OK) return false;
        const size_t room = block.header_size;
        uint8_t* const start = reinterpret_cast<uint8_t*>(out);
        size_t compressed = 0;
        uint64_t crc = 0;
        if (!Data(reinterpret_cast<const uint8_t*>(data), length, start + room, bound - room - 3 - CHECK_BYTES,
                  compressed, crc, stop))
            return false;
        block.compressed_size = compressed;
        if (lzma_block_header_size(&block) != LZMA_OK) return false;
        const size_t header = block.header_size;
        std::memmove(start + header, start + room, compressed);
        if (lzma_block_header_encode(&block, start) != LZMA_OK) return false;
        size_t at = header + compressed;
        while (at % 4 != 0) start[at++] = 0;
        for (size_t n = 0; n < CHECK_BYTES; ++n) start[at++] = static_cast<uint8_t>(crc >> (8 * n));
        written = at;
        record = lzma_block_unpadded_size(&block);
        return record != 0;
    }

private:
    // The raw LZMA2 data of length bytes into capacity bytes at out, and
    // the CRC64 of the bytes, fed a step at a time.
    bool Data(const uint8_t* data, size_t length, uint8_t* out, size_t capacity, size_t& compressed, uint64_t& crc,
              const StopCheck& stop) {
        lzma_stream stream = LZMA_STREAM_INIT;
        if (lzma_raw_encoder(&stream, filters_.chain) != LZMA_OK) return false;
        stream.next_out = out;
        stream.avail_out = capacity;
        lzma_ret result = LZMA_OK;
        for (size_t fed = 0; result == LZMA_OK;) {
            if (stop()) break;
            size_t step = std::min(STEP_BYTES, length - fed);
            crc = lzma_crc64(data + fed, step, crc);
            stream.next_in = data + fed;
            stream.avail_in = step;
            fed += step;
            do
                result = lzma_code(&stream, fed == length ? LZMA_FINISH : LZMA_RUN);
            while (result == LZMA_OK && (stream.avail_in > 0 || fed == length) && stream.avail_out > 0);
        }
        compressed = static_cast<size_t>(stream.total_out);
        lzma_end(&stream);
        return result == LZMA_STREAM_END;
    }

    Filters filters_;
};

// The one stream, its blocks' CRC64s and its index checked as they come;
// a byte after its end is no part of it.
class XzDecoder : public Decoder {
public:
    XzDecoder() = default;
    ~XzDecoder() override {
        lzma_end(&stream_);
        delete[] out_;
    }
    XzDecoder(const XzDecoder&) = delete;
    XzDecoder& operator=(const XzDecoder&) = delete;

    // A block's dictionary is at most a piece (Filters): a damaged header
    // that asks for far more is refused, not given memory.
    bool Start() {
        out_ = new (std::nothrow) char[OUT_BYTES];
        return out_ != nullptr && lzma_stream_decoder(&stream_, 4 * PIECE_BYTES, 0) == LZMA_OK;
    }
    bool Take(const char* data, size_t length, const Out& out) override { return Run(data, length, LZMA_RUN, out); }
    // LZMA_FINISH: a stream cut short ends in LZMA_BUF_ERROR rather than
    // waiting for more.
    bool Finish(const Out& out) override { return Run(nullptr, 0, LZMA_FINISH, out) && ended_; }

private:
    static constexpr size_t OUT_BYTES = 1024 * 1024;

    bool Run(const char* data, size_t length, lzma_action action, const Out& out) {
        if (ended_) return length == 0;
        stream_.next_in = reinterpret_cast<const uint8_t*>(data);
        stream_.avail_in = length;
        for (;;) {
            stream_.next_out = reinterpret_cast<uint8_t*>(out_);
            stream_.avail_out = OUT_BYTES;
            lzma_ret result = lzma_code(&stream_, action);
            size_t decoded = OUT_BYTES - stream_.avail_out;
            if (decoded > 0 && !out(out_, decoded)) return false;
            if (result == LZMA_STREAM_END) {
                ended_ = true;
                return stream_.avail_in == 0;
            }
            if (result != LZMA_OK) return false;
            if (action == LZMA_RUN && stream_.avail_in == 0 && stream_.avail_out > 0) return true;
        }
    }

    lzma_stream stream_ = LZMA_STREAM_INIT;
    char* out_ = nullptr;
    bool ended_ = false;
};

class XzCodec : public Codec {
public:
    explicit XzCodec(int level) : level_(level), index_(lzma_index_init(nullptr)) {}
    ~XzCodec() override { lzma_index_end(index_, nullptr); }
    XzCodec(const XzCodec&) = delete;
    XzCodec& operator=(const XzCodec&) = delete;

    size_t Bound(size_t length) const override { return XzBound(length); }
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
    std::unique_ptr<Decoder> NewDecoder() const override {
        std::unique_ptr<XzDecoder> decoder(new (std::nothrow) XzDecoder);
        if (decoder == nullptr || !decoder->Start()) return nullptr;
        return decoder;
    }

private:
    int level_;
    lzma_index* index_;
};
}  // namespace

std::unique_ptr<Codec> NewXzCodec(int level) { return std::unique_ptr<Codec>(new XzCodec(level)); }
