// --verify on the fake platform: the image read back once flushed and
// compared with what was written, raw, in each format and after a rescue;
// a target that returns other bytes fails the dump and keeps the partial
// file without a map; a read error and an interrupt while reading back; an
// image that cannot be read back refused before the copy. And each format's
// decoder, which reads a compressed image back.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dump/codec.h"
#include "dump/dump.h"
#include "dump/messages.h"
#include "dump/verify.h"
#include "tests/fake_platform.h"

namespace {
constexpr uint64_t CHUNK = CHUNK_BYTES;

DumpOutcome DumpVerified(ImageFormat format, bool rescue = false) {
    DumpRequest request;
    request.format = format;
    // The fastest levels: what is checked is the read-back, not the ratio.
    request.level = format == XZ ? 0 : 1;
    request.rescue = rescue;
    request.verify = true;
    request.command_line = "korvex --verify drive out.img";
    return DumpDrive("drive", "out.img", request);
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Failed with line last: the partial file kept, no map beside it, nothing
// of the set at the image's name.
void ExpectKeptWithoutMap(const std::string& line) {
    EXPECT_TRUE(EndsWith(Fake->console, line + "\n")) << Fake->console;
    EXPECT_EQ(Fake->console.find(MSG_COMPLETE), std::string::npos);
    EXPECT_EQ(Fake->image_path, "out.img.part");
    EXPECT_EQ(Fake->files.count("out.img.part.map"), 0u) << "a map would call held what the target did not keep";
    for (const char* name : {"out.img", "out.img.sha256", "out.img.info", "out.img.map"})
        EXPECT_EQ(Fake->files.count(name), 0u) << name;
    EXPECT_EQ(Fake->live_buffers, 0);
    EXPECT_FALSE(Fake->misaligned_io);
}

// Every format, its image read back whole once flushed; then the same dump
// onto a target that returns one byte other than written: the file's
// first, one in its middle, its last (the tail, written through the cache).
TEST(Verify, EachFormatIsReadBackAfterItsFlushAndAChangedByteFailsTheDump) {
    const uint64_t size = CHUNK + PIECE_BYTES / 2 + 777;
    for (ImageFormat format : {RAW, ZSTD, GZIP, XZ}) {
        SCOPED_TRACE(FormatName(format));
        ResetFake(size);
        ASSERT_EQ(DumpVerified(format), DUMP_COMPLETE) << Fake->console;
        EXPECT_EQ(RecordLine("verified"), "yes");
        EXPECT_NE(RecordLine("verify_seconds").find('.'), std::string::npos) << RecordLine("verify_seconds");
        EXPECT_EQ(Fake->read_back_flushed, Fake->image.size()) << "every byte read back once, after the flush";
        EXPECT_FALSE(Fake->misaligned_io);
        const uint64_t file_bytes = Fake->image.size();
        for (uint64_t at : {uint64_t{0}, file_bytes / 2, file_bytes - 1}) {
            SCOPED_TRACE(at);
            ResetFake(size);
            Fake->corrupt_image_at = at;
            EXPECT_EQ(DumpVerified(format), DUMP_FAILED);
            ExpectKeptWithoutMap(MSG_VERIFY_FAILED);
            EXPECT_EQ(Fake->image.size(), file_bytes) << "the partial file kept whole";
        }
    }
    // Without --verify nothing is read back, and the record says so.
    ResetFake(size);
    ASSERT_EQ(DumpDrive("drive", "out.img"), DUMP_COMPLETE);
    EXPECT_EQ(RecordLine("verified"), "no");
    EXPECT_EQ(RecordLine("verify_seconds"), "(none)");
    EXPECT_EQ(Fake->read_back_flushed, 0u);
}

// A rescue whose later phases wrote into the image: the bytes the copy
// wrote are compared with the copy's hash, even where the phases' own
// read-back met the same changed byte; those the phases wrote, with the
// image as that read-back found it.
TEST(Verify, ARescuedImageIsComparedWithWhatTheCopyAndThePhasesWrote) {
    const uint64_t total = CHUNK + 4096;
    auto rescue = [total](uint64_t corrupt_at, bool after_flush_only) {
        ResetFake(total);
        Fake->bad_ranges = {{8192, 8704}};
        Fake->corrupt_image_at = corrupt_at;
        Fake->corrupt_after_flush_only = after_flush_only;
        return DumpVerified(RAW, true);
    };
    ASSERT_EQ(rescue(UINT64_MAX, false), DUMP_RESCUED) << Fake->console;
    EXPECT_GT(Fake->rewrites, 0) << "the later phases wrote in place";
    EXPECT_EQ(RecordLine("verified"), "yes");
    EXPECT_EQ(RecordLine("image_sha256"), ImageDigestHex());
    EXPECT_EQ(Fake->read_back_flushed, total);
    EXPECT_NE(Fake->files["out.img.map"].find("# Finished"), std::string::npos);

    EXPECT_EQ(rescue(CHUNK / 2, false), DUMP_FAILED) << "a byte the copy wrote";
    ExpectKeptWithoutMap(MSG_VERIFY_FAILED);
    // The far edge's read from 128 KiB back wrote 64 KiB to 128 KiB.
    EXPECT_EQ(rescue(100 * 1024, true), DUMP_FAILED) << "a byte the phases wrote";
    ExpectKeptWithoutMap(MSG_VERIFY_FAILED);
}

// A read that fails while reading back: the target may not hold what it
// was given, so no map. An interrupt: the bytes were flushed and not found
// wrong, so the partial file keeps its map, as after any interrupt.
TEST(Verify, AReadErrorOrAnInterruptWhileReadingBackKeepsThePartialFile) {
    ResetFake(2 * CHUNK);
    Fake->fail_image_read_from = CHUNK;
    EXPECT_EQ(DumpVerified(RAW), DUMP_FAILED);
    ExpectKeptWithoutMap(std::string(MSG_IMAGE_READ_FAILED) + "5");
    EXPECT_TRUE(ImageMatchesDrive());

    ResetFake(2 * CHUNK);
    Fake->interrupt_at_read_back = CHUNK;
    EXPECT_EQ(DumpVerified(RAW), DUMP_FAILED);
    EXPECT_TRUE(EndsWith(Fake->console, std::string(MSG_INTERRUPTED) + "\n")) << Fake->console;
    EXPECT_EQ(Fake->image_path, "out.img.part");
    EXPECT_NE(Fake->files["out.img.part.map"].find("0x00000000  0x08000000  +"), std::string::npos)
        << Fake->files["out.img.part.map"];
    EXPECT_EQ(Fake->files.count("out.img.sha256") + Fake->files.count("out.img.info"), 0u);
    EXPECT_LT(Fake->read_back_flushed, 2 * CHUNK) << "stopped at the interrupt";
}

// What cannot be read back (a pipe, the null device) is refused as asked
// wrongly before a byte is read or written; a disk is read back as a file
// is, its first drive-size bytes.
TEST(Verify, AnImageThatCannotBeReadBackIsRefusedAndADiskIsReadBack) {
    ResetFake(CHUNK);
    Fake->image_is_stream = true;
    EXPECT_EQ(DumpVerified(RAW), DUMP_REFUSED);
    EXPECT_TRUE(EndsWith(Fake->console, std::string(MSG_VERIFY_UNREADABLE) + "\n")) << Fake->console;
    EXPECT_EQ(Fake->reads, 0);
    EXPECT_TRUE(Fake->image.empty());
    EXPECT_TRUE(Fake->files.empty());

    ResetFake(CHUNK + 512);
    Fake->image_is_device = true;
    EXPECT_EQ(DumpVerified(RAW), DUMP_COMPLETE) << Fake->console;
    EXPECT_EQ(Fake->read_back_flushed, CHUNK + 512);
    EXPECT_NE(Fake->console.find(DriveDigestHex() + "  drive\n"), std::string::npos);
}

// The codec's own file of data: its head, pieces and tail; an empty drive
// is one empty piece, as the writer makes it.
std::string Compressed(Codec& codec, const std::string& data) {
    std::unique_ptr<Encoder> encoder = codec.NewEncoder();
    std::string file = codec.Head();
    size_t at = 0;
    do {
        size_t length = std::min<size_t>(PIECE_BYTES, data.size() - at);
        std::string out(codec.Bound(length), '\0');
        size_t written = 0;
        uint64_t record = 0;
        EXPECT_TRUE(encoder->Compress(data.data() + at, length, &out[0], written, record));
        EXPECT_TRUE(codec.Written(record, length));
        file += out.substr(0, written);
        at += length;
    } while (at < data.size());
    std::string tail;
    EXPECT_TRUE(codec.Tail(tail));
    return file + tail;
}

// file handed to a new decoder in slices of the sizes given, in turn;
// false where the decoder refuses it.
bool Decodes(const Codec& codec, const std::string& file, std::string& decoded) {
    const size_t slices[] = {1, 3, 4096, 1048583, 7 * 1048576 + 1};
    std::unique_ptr<Decoder> decoder = codec.NewDecoder();
    EXPECT_NE(decoder, nullptr);
    decoded.clear();
    const Decoder::Out out = [&decoded](const char* data, size_t length) {
        decoded.append(data, length);
        return true;
    };
    size_t at = 0;
    for (size_t n = 0; at < file.size(); ++n) {
        size_t length = std::min(slices[n % 5], file.size() - at);
        if (!decoder->Take(file.data() + at, length, out)) return false;
        at += length;
    }
    return decoder->Finish(out);
}

// Whatever the slices, a file decodes to its data, gzip members larger
// than the slices and the window's moves included (an incompressible
// drive); cut short, changed, followed by other bytes, or empty, it does
// not.
TEST(Verify, EachDecoderTakesBackItsFileAndNothingElse) {
    std::mt19937_64 random(7);
    std::string data(2 * PIECE_BYTES + PIECE_BYTES / 3, '\0');
    for (size_t at = 0; at + 8 <= data.size(); at += 8) {
        uint64_t word = random();
        std::memcpy(&data[at], &word, 8);
    }
    // Text after the noise: pieces that compress, and a last one short.
    for (size_t at = data.size() / 2; at < data.size(); ++at) data[at] = static_cast<char>('a' + at % 23);
    for (ImageFormat format : {ZSTD, GZIP, XZ}) {
        SCOPED_TRACE(FormatName(format));
        std::unique_ptr<Codec> codec = NewCodec(format, format == XZ ? 0 : 1);
        const std::string file = Compressed(*codec, data);
        std::string decoded;
        EXPECT_TRUE(Decodes(*codec, file, decoded));
        EXPECT_TRUE(decoded == data) << decoded.size() << " bytes decoded of " << data.size();
        EXPECT_FALSE(Decodes(*codec, file.substr(0, file.size() - 1), decoded)) << "cut short";
        EXPECT_FALSE(Decodes(*codec, file.substr(0, file.size() / 2), decoded)) << "cut in half";
        std::string changed = file;
        changed[file.size() / 3] ^= 0x10;
        EXPECT_FALSE(Decodes(*codec, changed, decoded) && decoded == data) << "a changed byte";
        EXPECT_FALSE(Decodes(*codec, file + "x", decoded)) << "a byte after the stream";
        EXPECT_FALSE(Decodes(*codec, "", decoded)) << "no stream at all";
        std::unique_ptr<Codec> empty = NewCodec(format, 1);
        EXPECT_TRUE(Decodes(*codec, Compressed(*empty, ""), decoded) && decoded.empty())
            << "an empty drive's one empty piece";
    }
}

void Digest(const std::string& bytes, uint8_t (&digest)[DIGEST_BYTES]) {
    HashHandle hash = 0;
    ErrorCode error = 0;
    ASSERT_TRUE(StartHash(hash, error) && HashBytes(hash, bytes.data(), bytes.size(), error) &&
                FinishHash(hash, digest, error));
}

// The file read back whole and as written is not enough: it must decode to
// the drive's bytes as read, so that a stream the compressing got wrong is
// found too, and one that decodes to more than the drive is not decoded on.
TEST(Verify, ACompressedFileIsComparedWithTheDriveDecoded) {
    std::string data(PIECE_BYTES + 4097, '\0');
    for (size_t at = 0; at < data.size(); ++at) data[at] = static_cast<char>(at * 7 / 4096);
    std::unique_ptr<Codec> codec = NewCodec(GZIP, 1);
    std::string file = Compressed(*codec, data);
    ResetFake(0);
    ErrorCode error = 0;
    bool partial = false;
    FileHandle image = CreateImage(OpenDrive(DevicePath("drive"), error), "x.gz", 0, 0, partial, error);
    ASSERT_GE(image, 0);
    Fake->image.assign(file.begin(), file.end());
    WrittenImage written;
    written.codec = codec.get();
    written.total = data.size();
    Digest(file, written.file_digest);
    written.content_known = true;
    Digest(data, written.content_digest);
    std::string line;
    EXPECT_EQ(ReadImageBack(image, written, line), SAME);
    EXPECT_EQ(Fake->read_back_flushed, file.size());
    written.total = data.size() - 1;
    EXPECT_EQ(ReadImageBack(image, written, line), DIFFERENT) << "more than the drive";
    written.total = data.size();
    data[PIECE_BYTES] ^= 1;
    Digest(data, written.content_digest);
    EXPECT_EQ(ReadImageBack(image, written, line), DIFFERENT) << "the file as written, but not the drive";
}
}  // namespace
