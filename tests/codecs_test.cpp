// The codec libraries as linked into the engine (Debian's on Linux, the
// static MinGW builds under Wine): what each encoder makes, its own standard
// decoder gives back byte for byte.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <lzma.h>
#include <zstd.h>

#include <cstdint>
#include <vector>

namespace {
// Runs of repeated text between stretches of noise: both the matching and
// the literal paths of each encoder.
std::vector<uint8_t> Sample() {
    std::vector<uint8_t> data(3 << 18);
    uint32_t state = 12345;
    for (size_t i = 0; i < data.size(); ++i) {
        state = state * 1103515245 + 12345;
        data[i] = (i / 4096) % 3 == 0 ? static_cast<uint8_t>(state >> 24) : "korvex image "[i % 13];
    }
    return data;
}

TEST(Codecs, ZstdFrameDecodes) {
    const std::vector<uint8_t> data = Sample();
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ASSERT_NE(cctx, nullptr);
    ASSERT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3)));
    ASSERT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1)));
    std::vector<uint8_t> packed(ZSTD_compressBound(data.size()));
    const size_t size = ZSTD_compress2(cctx, packed.data(), packed.size(), data.data(), data.size());
    ZSTD_freeCCtx(cctx);
    ASSERT_FALSE(ZSTD_isError(size)) << ZSTD_getErrorName(size);
    EXPECT_LT(size, data.size());
    EXPECT_EQ(ZSTD_getFrameContentSize(packed.data(), size), data.size());
    std::vector<uint8_t> back(data.size());
    EXPECT_EQ(ZSTD_decompress(back.data(), back.size(), packed.data(), size), data.size());
    EXPECT_EQ(back, data);
}

TEST(Codecs, DeflateGzipMemberDecodes) {
    const std::vector<uint8_t> data = Sample();
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    ASSERT_NE(compressor, nullptr);
    std::vector<uint8_t> packed(libdeflate_gzip_compress_bound(compressor, data.size()));
    const size_t size = libdeflate_gzip_compress(compressor, data.data(), data.size(), packed.data(), packed.size());
    libdeflate_free_compressor(compressor);
    ASSERT_GT(size, 18u);
    EXPECT_LT(size, data.size());
    EXPECT_EQ(packed[0], 0x1f);
    EXPECT_EQ(packed[1], 0x8b);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    ASSERT_NE(decompressor, nullptr);
    std::vector<uint8_t> back(data.size());
    size_t out = 0;
    EXPECT_EQ(libdeflate_gzip_decompress(decompressor, packed.data(), size, back.data(), back.size(), &out),
              LIBDEFLATE_SUCCESS);
    libdeflate_free_decompressor(decompressor);
    EXPECT_EQ(out, data.size());
    EXPECT_EQ(back, data);
}

// An .xz stream put together block by block, as an image is written chunk
// by chunk: header, two blocks, their index, footer.
TEST(Codecs, XzStreamOfBlocksDecodes) {
    const std::vector<uint8_t> data = Sample();
    const size_t half = data.size() / 2;
    lzma_options_lzma options;
    ASSERT_FALSE(lzma_lzma_preset(&options, LZMA_PRESET_DEFAULT));
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream_flags flags{};
    flags.check = LZMA_CHECK_CRC64;
    std::vector<uint8_t> packed(2 * LZMA_STREAM_HEADER_SIZE + 2 * lzma_block_buffer_bound(half) + 1024);
    size_t pos = 0;
    ASSERT_EQ(lzma_stream_header_encode(&flags, packed.data()), LZMA_OK);
    pos += LZMA_STREAM_HEADER_SIZE;
    lzma_index* index = lzma_index_init(nullptr);
    ASSERT_NE(index, nullptr);
    for (size_t start : {size_t{0}, half}) {
        lzma_block block{};
        block.check = flags.check;
        block.filters = filters;
        ASSERT_EQ(lzma_block_buffer_encode(&block, nullptr, data.data() + start, half, packed.data(), &pos,
                                           packed.size()),
                  LZMA_OK);
        ASSERT_EQ(lzma_index_append(index, nullptr, lzma_block_unpadded_size(&block), block.uncompressed_size),
                  LZMA_OK);
    }
    flags.backward_size = lzma_index_size(index);
    ASSERT_EQ(lzma_index_buffer_encode(index, packed.data(), &pos, packed.size()), LZMA_OK);
    lzma_index_end(index, nullptr);
    ASSERT_LE(pos + LZMA_STREAM_HEADER_SIZE, packed.size());
    ASSERT_EQ(lzma_stream_footer_encode(&flags, packed.data() + pos), LZMA_OK);
    pos += LZMA_STREAM_HEADER_SIZE;
    EXPECT_LT(pos, data.size());

    std::vector<uint8_t> back(data.size());
    uint64_t memlimit = UINT64_MAX;
    size_t in = 0, out = 0;
    EXPECT_EQ(lzma_stream_buffer_decode(&memlimit, 0, nullptr, packed.data(), &in, pos, back.data(), &out,
                                        back.size()),
              LZMA_OK);
    EXPECT_EQ(in, pos);
    EXPECT_EQ(out, data.size());
    EXPECT_EQ(back, data);
}
}  // namespace
