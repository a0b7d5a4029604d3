// Compressed images on the fake platform: every format decodes, by its own
// library's standard decoder, to the drive, whatever the workers' number and
// pace; the file is written in whole aligned blocks, hashed as written, and
// described by its record; failures keep a partial file without a map.
#include <gtest/gtest.h>

#include <libdeflate.h>
#include <lzma.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "dump/chunk_queue.h"
#include "dump/codec.h"
#include "dump/compress.h"
#include "dump/dump.h"
#include "dump/messages.h"
#include "dump/record.h"
#include "tests/fake_platform.h"

namespace {
constexpr uint64_t CHUNK = CHUNK_BYTES;

// Decodes a whole file of concatenated frames, members or blocks as the
// standard tools do; empty on any error. An empty file is none: zstd and
// gzip refuse it.
std::vector<uint8_t> Decode(ImageFormat format, const std::vector<uint8_t>& file, uint64_t size) {
    std::vector<uint8_t> out(size + 1);
    if (file.empty()) return {};
    if (format == ZSTD) {
        size_t got = ZSTD_decompress(out.data(), out.size(), file.data(), file.size());
        if (ZSTD_isError(got)) return {};
        out.resize(got);
    } else if (format == GZIP) {
        libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
        size_t in = 0, done = 0;
        while (in < file.size()) {
            size_t used = 0, got = 0;
            if (libdeflate_gzip_decompress_ex(decompressor, file.data() + in, file.size() - in, out.data() + done,
                                              out.size() - done, &used, &got) != LIBDEFLATE_SUCCESS) {
                libdeflate_free_decompressor(decompressor);
                return {};
            }
            in += used;
            done += got;
        }
        libdeflate_free_decompressor(decompressor);
        out.resize(done);
    } else {
        uint64_t limit = UINT64_MAX;
        size_t in = 0, done = 0;
        if (lzma_stream_buffer_decode(&limit, 0, nullptr, file.data(), &in, file.size(), out.data(), &done,
                                      out.size()) != LZMA_OK ||
            in != file.size())
            return {};
        out.resize(done);
    }
    return out;
}

bool ImageDecodesToDrive(ImageFormat format, uint64_t size) {
    std::vector<uint8_t> drive = Decode(format, Fake->image, size);
    if (drive.size() != size || (size == 0 && Fake->image.empty())) return false;
    for (uint64_t at = 0; at < size; ++at)
        if (drive[at] != Pattern(at)) return false;
    return true;
}

DumpOutcome Compress(const char* name, uint64_t size, int level, unsigned processors) {
    ResetFake(size);
    Fake->processors = processors;
    DumpRequest request;
    request.format = FormatOfName(name);
    request.level = level;
    return DumpDrive("drive", "out.img", request);
}

// A drive of two chunks and a half-piece with a tail short of a block: the
// last chunk's pieces are not whole, and the file ends short of a block. A
// worker count that does not divide the pieces of a chunk, and a slow
// writer, let the pieces finish out of order.
TEST(Compress, EachFormatDecodesToTheDrive) {
    const uint64_t size = 2 * CHUNK + PIECE_BYTES / 2 + 777;
    struct Case {
        const char* name;
        int level;
        unsigned processors;
        int write_delay_ms;
    } cases[] = {{"x.zst", 3, 3, 0}, {"x.zst", 1, 1, 20}, {"x.gz", 6, 2, 0}, {"x.gz", 1, 5, 10}, {"x.xz", 0, 3, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " on " + std::to_string(c.processors));
        ImageFormat format = FormatOfName(c.name);
        ResetFake(size);
        Fake->processors = c.processors;
        Fake->write_delay_ms = c.write_delay_ms;
        DumpRequest request;
        request.format = format;
        request.level = c.level;
        ASSERT_EQ(DumpDrive("drive", "out.img", request), DUMP_COMPLETE) << Fake->console;
        EXPECT_TRUE(ImageDecodesToDrive(format, size));
        EXPECT_LT(Fake->image.size(), size / 2) << "the drive's pattern compresses";
        EXPECT_FALSE(Fake->misaligned_io) << "whole aligned blocks, but for the tail";
        EXPECT_LE(Fake->longest_write, WRITE_BYTES);
        EXPECT_EQ(Fake->tail_written, Fake->image.size() % IO_ALIGN != 0);
        EXPECT_EQ(Fake->files["out.img.sha256"], ImageDigestHex() + "  out.img\n") << "the file as written";
        EXPECT_EQ(RecordLine("drive_sha256"), DriveDigestHex());
        EXPECT_EQ(RecordLine("image_sha256"), ImageDigestHex());
        EXPECT_EQ(RecordLine("image_bytes"), std::to_string(Fake->image.size()));
        EXPECT_EQ(RecordLine("format"), FormatName(format));
        EXPECT_EQ(RecordLine("level"), std::to_string(c.level));
        EXPECT_EQ(RecordLine("drive_bytes"), std::to_string(size));
        EXPECT_EQ(Fake->live_buffers, 0);
        // Three chunks, two slots a worker and the writer's stage.
        EXPECT_LE(Fake->peak_buffers, static_cast<int>(QUEUE_BOUND + 2 * c.processors + 1));
    }
}

// The sizes at the pieces' edges: an empty drive (still a stream that the
// tools read), one byte, a piece and a byte, a whole chunk.
TEST(Compress, EveryDriveSizeDecodes) {
    for (const char* name : {"x.zst", "x.gz", "x.xz"}) {
        for (uint64_t size : {uint64_t{0}, uint64_t{1}, uint64_t{PIECE_BYTES + 1}, CHUNK}) {
            if (size == CHUNK && FormatOfName(name) != ZSTD) continue;
            SCOPED_TRACE(std::string(name) + " of " + std::to_string(size));
            ASSERT_EQ(Compress(name, size, FormatOfName(name) == XZ ? 0 : 1, 2), DUMP_COMPLETE) << Fake->console;
            EXPECT_TRUE(ImageDecodesToDrive(FormatOfName(name), size));
            EXPECT_EQ(RecordLine("image_bytes"), std::to_string(Fake->image.size()));
        }
    }
}

// A raw image's record: both digests the drive's, no level; a rescue's
// names its map and what it could not read.
TEST(Compress, ARecordDescribesTheDriveAndTheImage) {
    ResetFake(CHUNK + 4096);
    Fake->bad_ranges = {{8192, 8704}};
    ASSERT_EQ(DumpDrive("drive", "out.img", true, "korvex --rescue drive out.img"), DUMP_RESCUED);
    EXPECT_EQ(Fake->files["out.img.info"].compare(0, 8, RECORD_START), 0);
    EXPECT_EQ(RecordLine("command"), "korvex --rescue drive out.img");
    EXPECT_EQ(RecordLine("drive"), "drive");
    EXPECT_EQ(RecordLine("drive_opened"), "fake-drive");
    EXPECT_EQ(RecordLine("model"), "Fake Model");
    EXPECT_EQ(RecordLine("serial"), "FAKE123");
    EXPECT_EQ(RecordLine("sector_size"), "512");
    EXPECT_EQ(RecordLine("mode"), "rescue");
    EXPECT_EQ(RecordLine("unreadable_bytes"), "512");
    EXPECT_EQ(RecordLine("map"), "out.img.map");
    EXPECT_EQ(RecordLine("format"), "raw");
    EXPECT_EQ(RecordLine("level"), "(none)");
    EXPECT_EQ(RecordLine("image_sha256"), ImageDigestHex());
    EXPECT_EQ(RecordLine("drive_sha256"), ImageDigestHex()) << "a raw image is the drive as read";

    ResetFake(CHUNK);
    Fake->facts = {"/dev/sdz", "", ""};
    ASSERT_EQ(DumpDrive("drive", "out.img"), DUMP_COMPLETE);
    EXPECT_EQ(RecordLine("mode"), "plain");
    EXPECT_EQ(RecordLine("model"), "(none)") << "what the system does not tell has no line";
    EXPECT_EQ(RecordLine("unreadable_bytes"), "(none)");
    EXPECT_EQ(RecordLine("drive_sha256"), DriveDigestHex());

    // One line a key: a line end escaped, and then the backslashes too, so
    // that the value reads back one way; a plain Windows path as it is.
    Acquisition acquisition;
    acquisition.command_line = "korvex E: D:\\e.img";
    EXPECT_NE(RecordText(acquisition).find("\ncommand: korvex E: D:\\e.img\n"), std::string::npos);
    acquisition.command_line = "korvex E: D:\\x\ny.img";
    EXPECT_NE(RecordText(acquisition).find("\ncommand: korvex E: D:\\\\x\\ny.img\n"), std::string::npos)
        << RecordText(acquisition);

    EXPECT_EQ(UtcText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(UtcText(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(UtcText(1798761599), "2026-12-31T23:59:59Z");
    EXPECT_EQ(UtcText(-1), "1969-12-31T23:59:59Z");
}

// A compressed dump that stops keeps what it wrote under the partial name,
// but no map: its bytes lie at no drive offset. Every buffer is returned,
// and the failure is said once.
TEST(Compress, AStoppedDumpKeepsItsPartialFileWithoutAMap) {
    for (int interrupt = 0; interrupt < 4; ++interrupt) {
        SCOPED_TRACE(std::string(interrupt ? "interrupted" : "write failed") + (interrupt > 1 ? ", xz" : ""));
        ResetFake(3 * CHUNK);
        Fake->processors = interrupt == 3 ? 1 : 3;
        (interrupt ? Fake->interrupt_after : Fake->fail_write_from) = interrupt ? CHUNK + 4096 : 8192;
        DumpRequest request;
        request.format = interrupt > 1 ? XZ : ZSTD;
        request.level = interrupt > 1 ? 9 : 3;
        EXPECT_EQ(DumpDrive("drive", "out.img", request), DUMP_FAILED);
        const std::string line = interrupt ? ConsoleMessage(MSG_INTERRUPTED) : ConsoleMessage(MSG_WRITE_FAILED);
        EXPECT_EQ(Fake->console.find(line), Fake->console.rfind(line)) << Fake->console;
        EXPECT_NE(Fake->console.find(line), std::string::npos) << Fake->console;
        EXPECT_EQ(Fake->image_path, "out.img.part");
        EXPECT_EQ(Fake->files.count("out.img.part.map"), 0u);
        EXPECT_EQ(Fake->files.count("out.img.info"), 0u);
        EXPECT_EQ(Fake->live_buffers, 0);
    }
}

// An interrupted dump does not wait for the pieces on their way: a piece's
// compression, which takes seconds at the highest levels, is given up
// between its steps once asked, and the encoder takes its next piece whole.
TEST(Compress, APieceIsGivenUpPartWayWhenAsked) {
    std::vector<char> piece(PIECE_BYTES);
    for (size_t at = 0; at < piece.size(); ++at) piece[at] = static_cast<char>(Pattern(at));
    for (ImageFormat format : {ZSTD, XZ}) {
        SCOPED_TRACE(FormatName(format));
        auto codec = NewCodec(format, 1);
        auto encoder = codec->NewEncoder();
        std::vector<char> out(codec->Bound(PIECE_BYTES));
        size_t written = 0;
        uint64_t record = 0;
        int asked = 0;
        StopCheck at_third{[](void* count) { return ++*static_cast<int*>(count) == 3; }, &asked};
        EXPECT_FALSE(encoder->Compress(piece.data(), piece.size(), out.data(), written, record, at_third));
        EXPECT_EQ(asked, 3) << "given up at the step it was asked at";
        ASSERT_TRUE(encoder->Compress(piece.data(), piece.size(), out.data(), written, record));
        ResetFake(PIECE_BYTES);
        Fake->image.assign(out.begin(), out.begin() + static_cast<long>(written));
        if (format == XZ) {
            ASSERT_TRUE(codec->Written(record, PIECE_BYTES));
            std::string tail;
            ASSERT_TRUE(codec->Tail(tail));
            std::string head = codec->Head();
            Fake->image.insert(Fake->image.begin(), head.begin(), head.end());
            Fake->image.insert(Fake->image.end(), tail.begin(), tail.end());
        }
        EXPECT_TRUE(ImageDecodesToDrive(format, PIECE_BYTES)) << "the next piece whole";
    }
}

// What is no file (a device, the null device) takes no compressed stream:
// refused as asked wrongly, with nothing written. A raw one shows the
// drive's hash on the console, as nothing beside it does.
TEST(Compress, AnImageThatIsNoFileIsRefusedOrShowsTheHash) {
    ResetFake(CHUNK);
    Fake->image_is_device = true;
    DumpRequest request;
    request.format = XZ;
    request.level = 6;
    EXPECT_EQ(DumpDrive("drive", "out.img", request), DUMP_REFUSED);
    EXPECT_NE(Fake->console.find(ConsoleMessage(MSG_COMPRESS_NOT_FILE)), std::string::npos);
    EXPECT_TRUE(Fake->image.empty());
    EXPECT_EQ(Fake->drive_position, 0u);

    ResetFake(CHUNK);
    Fake->image_is_stream = true;
    EXPECT_EQ(DumpDrive("drive", "out.img"), DUMP_COMPLETE);
    EXPECT_NE(Fake->console.find("\n" + DriveDigestHex() + "  drive\n" + ConsoleMessage(MSG_COMPLETE)),
              std::string::npos)
        << Fake->console;
    // A name that would add a line, or read as one escaped, is escaped as
    // sha256sum escapes it.
    ResetFake(CHUNK);
    Fake->image_is_stream = true;
    Fake->drive_name = "d\\r\nive";
    EXPECT_EQ(DumpDrive("d\\r\nive", "out.img"), DUMP_COMPLETE);
    EXPECT_NE(Fake->console.find("\n\\" + DriveDigestHex() + "  d\\\\r\\nive\n" + ConsoleMessage(MSG_COMPLETE)),
              std::string::npos)
        << Fake->console;
}

TEST(Compress, FormatsAndLevelsByName) {
    EXPECT_EQ(FormatOfName("card.img.zst"), ZSTD);
    EXPECT_EQ(FormatOfName("CARD.IMG.GZ"), GZIP);
    EXPECT_EQ(FormatOfName("d/card.xz"), XZ);
    EXPECT_EQ(FormatOfName(".zst"), RAW) << "a name that is only the ending";
    EXPECT_EQ(FormatOfName("./.zst"), RAW) << "in a folder too";
    EXPECT_EQ(FormatOfName("d/x.GZ"), GZIP);
    EXPECT_EQ(FormatOfName("card.zst.img"), RAW);
    EXPECT_EQ(FormatOfName("card.tgz"), RAW);
    EXPECT_TRUE(LevelInRange(XZ, 0) && LevelInRange(ZSTD, 19) && LevelInRange(GZIP, 9));
    EXPECT_FALSE(LevelInRange(ZSTD, 0) || LevelInRange(ZSTD, 20) || LevelInRange(GZIP, 10) || LevelInRange(XZ, 10));
    // However many processors, the pool stays within its bound.
    for (ImageFormat format : {ZSTD, GZIP, XZ}) {
        auto codec = NewCodec(format, format == XZ ? 9 : DefaultLevel(format));
        unsigned workers = CompressWorkers(*codec, 1000);
        EXPECT_GE(workers, 1u);
        EXPECT_LE(workers * (codec->EncoderMemory() + 2 * codec->Bound(PIECE_BYTES)), POOL_BYTES);
    }
}
}  // namespace
