// Whole dumps through the fake platform: what reaches the image and the
// console on the complete path and on every failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "dump/dump.h"
#include "dump/fingerprint.h"
#include "dump/messages.h"
#include "dump/progress.h"
#include "tests/fake_platform.h"

namespace {
constexpr uint64_t CHUNK = CHUNK_BYTES;

bool Dump(uint64_t drive_size) {
    ResetFake(drive_size);
    return DumpDrive("drive", "out.img");
}

// Dumps with the faults that configure() sets on a fresh fake.
template <typename Configure>
DumpOutcome DumpWith(uint64_t drive_size, Configure configure) {
    ResetFake(drive_size);
    configure(*Fake);
    return DumpDrive("drive", "out.img");
}

std::string Line(const char* message, uint32_t code) {
    return message + std::to_string(code) + "\n";
}

constexpr char FINGERPRINT[] = "out.img.sha256";
// An older image's fingerprint and map, as sha256sum and ddrescue write them.
const std::string STALE = std::string(64, 'e') + "  out.img\n", OLD_MAP_TEXT = "# Mapfile of the old image\n";

// The fingerprint of this drive, as sha256sum writes its line.
std::string Fingerprint() { return DriveDigestHex() + "  out.img\n"; }

constexpr char RECORD[] = "out.img.info";

// The new image's record stands beside it, of its own digest; taken out so
// that the rest of the set compares.
void TakeRecord() {
    EXPECT_NE(Fake->files[RECORD].find("image_sha256: " + DriveDigestHex() + "\n"), std::string::npos)
        << Fake->files[RECORD];
    Fake->files.erase(RECORD);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The marks between the start line and the completion line: as many "W" as
// "R", and never a "W" before its "R".
void ExpectMarks(const std::string& marks, int chunks) {
    int reads = 0, writes = 0;
    for (char mark : marks) {
        ASSERT_TRUE(mark == 'R' || mark == 'W') << marks;
        (mark == 'R' ? reads : writes)++;
        ASSERT_LE(writes, reads) << marks;
    }
    EXPECT_EQ(reads, chunks);
    EXPECT_EQ(writes, chunks);
}

void ExpectCleanEnd() {
    EXPECT_EQ(Fake->live_buffers, 0) << "a chunk buffer was not released";
    EXPECT_FALSE(Fake->misaligned_io);
}

TEST(Dump, CopiesEveryByteWithTheFullTranscript) {
    for (uint64_t size : {uint64_t{0}, uint64_t{1}, uint64_t{511}, uint64_t{4096}, MIB - 1, CHUNK,
                          CHUNK + 512, 2 * CHUNK + 1}) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(Dump(size));
        EXPECT_TRUE(ImageMatchesDrive()) << "not a byte more or less than the drive is written";
        EXPECT_EQ(Fake->reserved, size);
        EXPECT_EQ(Fake->image_path, "out.img");
        EXPECT_EQ(Fake->files[FINGERPRINT], Fingerprint()) << "every drive byte hashed once, in order";
        const std::string& console = Fake->console;
        std::string start = std::string("\n") + MSG_START + "\n";
        std::string complete = std::string("\n") + MSG_COMPLETE + "\n";
        size_t marks_at = console.find(start) + start.size();
        ASSERT_NE(console.find(start), std::string::npos);
        ASSERT_GE(console.size(), marks_at + complete.size());
        EXPECT_EQ(console.substr(console.size() - complete.size()), complete);
        ExpectMarks(console.substr(marks_at, console.size() - complete.size() - marks_at),
                    CountChunks(size));
        ExpectCleanEnd();
    }
}

TEST(Dump, ShortTransfersAreContinued) {
    ASSERT_TRUE(DumpWith(2 * CHUNK + 512, [](FakeState& f) { f.max_read = 5 * MIB + 512; }));
    EXPECT_TRUE(ImageMatchesDrive());
    ASSERT_TRUE(DumpWith(CHUNK + 4095, [](FakeState& f) { f.max_write = 3 * MIB; }));
    EXPECT_TRUE(ImageMatchesDrive());
    ExpectCleanEnd();
}

TEST(Dump, HoldsAtMostThreeBuffersAndReusesThemBehindASlowWriterOrHasher) {
    for (bool slow_writer : {true, false}) {
        ASSERT_TRUE(DumpWith(5 * CHUNK + 512, [&](FakeState& f) {
            (slow_writer ? f.write_delay_ms : f.hash_delay_ms) = 30;
        }));
        EXPECT_TRUE(ImageMatchesDrive());
        EXPECT_EQ(Fake->files[FINGERPRINT], Fingerprint());
        EXPECT_LE(Fake->peak_buffers, 3);
        EXPECT_LE(Fake->obtained_buffers, 3);
        ExpectCleanEnd();
    }
}

TEST(Dump, WriteFailureOnTheSecondChunkStopsTheReader) {
    // The second chunk's second transfer is read only once the writer has
    // failed on its first: the reader stops right after it.
    EXPECT_FALSE(DumpWith(6 * CHUNK, [](FakeState& f) {
        f.fail_write_from = CHUNK, f.reads_wait_from = CHUNK + TRANSFER_BYTES;
    }));
    EXPECT_LT(Fake->drive_position, 2 * CHUNK) << "the reader read on after the writer failed";
    EXPECT_TRUE(ImageMatches(CHUNK));
    EXPECT_EQ(Fake->image.size(), CHUNK) << "a failed image is cut back to what was written";
    const std::string& console = Fake->console;
    EXPECT_TRUE(Contains(console, Line(MSG_WRITE_FAILED, 27)));
    EXPECT_FALSE(Contains(console, MSG_COMPLETE));
    EXPECT_EQ(std::count(console.begin(), console.end(), 'W'), 2);
    EXPECT_LT(std::count(console.begin(), console.end(), 'R'), 6) << "the reader went on";
    ExpectCleanEnd();
}

TEST(Dump, ReadFailuresStopTheDumpAfterWhatWasRead) {
    // A read error at the second chunk; a drive that ends before its size.
    EXPECT_FALSE(DumpWith(3 * CHUNK, [](FakeState& f) { f.fail_read_from = CHUNK; }));
    size_t line_at = Fake->console.find(Line(MSG_READ_FAILED, 23));
    ASSERT_NE(line_at, std::string::npos);
    EXPECT_NE(std::string("RW").find(Fake->console.at(line_at - 1)), std::string::npos)
        << "the line ends the line of marks";
    EXPECT_TRUE(ImageMatches(CHUNK)) << "the chunk read before the failure is written";
    EXPECT_FALSE(Contains(Fake->console, MSG_COMPLETE));
    ExpectCleanEnd();

    EXPECT_FALSE(DumpWith(2 * CHUNK, [](FakeState& f) { f.drive_ends_at = CHUNK + 4096; }));
    EXPECT_TRUE(Contains(Fake->console, Line(MSG_READ_FAILED, 5)));
    EXPECT_FALSE(Contains(Fake->console, MSG_COMPLETE));
    ExpectCleanEnd();
}

TEST(Dump, EachFailureHasItsLineAndNoCompletion) {
    const struct {
        const char* name;
        void (*configure)(FakeState&);
        std::string line;
    } cases[] = {
        {"open", [](FakeState& f) { f.open_error = 13; }, Line(MSG_OPEN_FAILED, 13)},
        {"no medium", [](FakeState& f) { f.size_query_error = 21; }, Line(MSG_OPEN_FAILED, 21)},
        {"create", [](FakeState& f) { f.create_error = 2; }, Line(MSG_CREATE_FAILED, 2)},
        {"image is the drive", [](FakeState& f) { f.image_is_drive = true; },
         Line(MSG_CREATE_FAILED, 22)},
        {"thread", [](FakeState& f) { f.thread_error = 11; }, Line(MSG_THREAD_FAILED, 11)},
        {"memory", [](FakeState& f) { f.fail_obtain_number = 2; }, Line(MSG_NO_MEMORY, 12)},
        {"tail write", [](FakeState& f) { f.fail_write_from = 2 * CHUNK; }, Line(MSG_WRITE_FAILED, 27)},
        {"read", [](FakeState& f) { f.fail_read_from = CHUNK; }, Line(MSG_READ_FAILED, 23)},
        {"hash start", [](FakeState& f) { f.hash_start_error = 38; }, Line(MSG_HASH_FAILED, 38)},
        {"hash", [](FakeState& f) { f.hash_error = 31; }, Line(MSG_HASH_FAILED, 31)},
        {"hasher thread", [](FakeState& f) { f.thread_error = 11, f.fail_thread_number = 2; },
         Line(MSG_THREAD_FAILED, 11)},
        {"leftover", [](FakeState& f) {
             f.files["out.img.sha256.part"] = STALE, f.remove_error = 21, f.remove_fails_at = "out.img.sha256.part";
         },
         Line(MSG_FINGERPRINT_FAILED, 21)},
        {"interrupt", [](FakeState& f) { f.interrupt_after = 0; }, std::string(MSG_INTERRUPTED) + "\n"},
        {"fingerprint", [](FakeState& f) { f.small_file_error = 28; }, Line(MSG_FINGERPRINT_FAILED, 28)},
        {"flush", [](FakeState& f) { f.flush_error = 5; }, Line(MSG_WRITE_FAILED, 5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(DumpWith(2 * CHUNK + 512, c.configure));
        const std::string& console = Fake->console;
        EXPECT_TRUE(Contains(console, c.line)) << console;
        EXPECT_EQ(console.substr(console.find(c.line) + c.line.size()), "")
            << "no mark follows an error line";
        EXPECT_FALSE(Contains(console, MSG_COMPLETE));
        EXPECT_EQ(Fake->files.count(FINGERPRINT), 0u) << "no fingerprint beside a failed image";
        ExpectCleanEnd();
    }
}

TEST(Dump, NothingIsCreatedBeforeTheDriveOpensOrOverTheDrive) {
    EXPECT_FALSE(DumpWith(CHUNK, [](FakeState& f) {
        f.small_file_error = 36, f.small_file_fails_empty = true, f.small_file_fails_at = "out.img.set-name-test";
    }));
    EXPECT_TRUE(Contains(Fake->console, Line(MSG_MAP_FAILED, 36)));
    EXPECT_FALSE(Fake->image_exists) << "a fingerprint that cannot be made is told before the copy";
    EXPECT_EQ(Fake->drive_position, 0u);
    EXPECT_FALSE(DumpWith(CHUNK, [](FakeState& f) { f.open_error = 13; }));
    EXPECT_FALSE(Fake->image_exists);
    EXPECT_FALSE(Contains(Fake->console, MSG_START));
    EXPECT_FALSE(DumpWith(CHUNK, [](FakeState& f) { f.image_is_drive = true; }));
    EXPECT_FALSE(Fake->image_exists);
    EXPECT_FALSE(DumpWith(CHUNK, [](FakeState& f) { f.hash_start_error = 38; }));
    EXPECT_FALSE(Fake->image_exists) << "a hash that cannot start is told before the image exists";
}

// The old image and its fingerprint stand until the new image is complete:
// a refused, failed or interrupted dump leaves them as they were, and its
// bytes under the partial name.
TEST(Dump, TheImageTakesItsNameOnlyWhenComplete) {
    auto stale = [](FakeState& f) { f.files[FINGERPRINT] = STALE; };
    EXPECT_FALSE(DumpWith(CHUNK, [&](FakeState& f) { stale(f), f.image_is_drive = true; }));
    EXPECT_EQ(Fake->files[FINGERPRINT], STALE);
    EXPECT_FALSE(Fake->image_exists);

    const struct {
        const char* name;
        void (*configure)(FakeState&);
        std::string line;
        uint64_t read_at_most;
        std::string old_fingerprint;
    } cases[] = {
        {"read", [](FakeState& f) { f.fail_read_from = CHUNK; }, Line(MSG_READ_FAILED, 23), CHUNK, STALE},
        {"interrupt", [](FakeState& f) { f.interrupt_after = CHUNK + 512; }, std::string(MSG_INTERRUPTED) + "\n",
         CHUNK + 2 * TRANSFER_BYTES, STALE},
        {"new fingerprint", [](FakeState& f) { f.small_file_error = 28; }, Line(MSG_FINGERPRINT_FAILED, 28),
         2 * CHUNK, STALE},
        {"rename", [](FakeState& f) { f.rename_error = 13, f.rename_fails_at = "out.img"; },
         Line(MSG_CREATE_FAILED, 13), 2 * CHUNK, STALE},
        {"setting the old one aside", [](FakeState& f) { f.rename_error = 13, f.rename_fails_at = FINGERPRINT; },
         Line(MSG_FINGERPRINT_FAILED, 13), 2 * CHUNK, STALE},
        {"the old one set aside, not flushed", [](FakeState& f) { f.rename_unflushed_at = FINGERPRINT; },
         Line(MSG_FINGERPRINT_FAILED, 5), 2 * CHUNK, STALE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(DumpWith(2 * CHUNK, [&](FakeState& f) { stale(f), c.configure(f); }));
        const std::string& console = Fake->console;
        ASSERT_TRUE(Contains(console, c.line)) << console;
        EXPECT_EQ(console.substr(console.find(c.line) + c.line.size()), "") << "one line, at the end";
        EXPECT_EQ(Fake->image_path, "out.img.part");
        EXPECT_LE(Fake->drive_position, c.read_at_most) << "the reader stopped";
        EXPECT_EQ(Fake->files[FINGERPRINT], c.old_fingerprint) << "the old fingerprint still vouches for the old image";
        EXPECT_EQ(Fake->files.count(std::string(FINGERPRINT) + ".part"), 0u);
        EXPECT_TRUE(ImageMatches(Fake->image.size()));
        EXPECT_EQ(Fake->image.size(), Fake->image_position) << "the partial file is cut to what was written";
        ExpectCleanEnd();
    }

    ASSERT_TRUE(DumpWith(CHUNK + 1, stale));
    EXPECT_EQ(Fake->image_path, "out.img");
    EXPECT_EQ(Fake->files[FINGERPRINT], Fingerprint());
    EXPECT_GT(Fake->reserved_beside, Fingerprint().size()) << "room for the fingerprint taken before the copy";
    ASSERT_TRUE(DumpWith(CHUNK, [&](FakeState& f) { stale(f), f.image_is_device = true; }));
    EXPECT_EQ(Fake->files[FINGERPRINT], STALE) << "a device image has no fingerprint to make or remove";
    EXPECT_EQ(Fake->image_path, "out.img");
}
}  // namespace

namespace {
constexpr char OLD_MAP[] = "out.img.map", PART_MAP[] = "out.img.part.map";

// The map's status lines, less its comments and times.
std::string MapLines(const std::string& map) {
    std::string lines;
    for (size_t at = 0; at < map.size();) {
        size_t end = map.find('\n', at);
        if (map[at] != '#') lines += map.substr(at, end - at + 1);
        at = end + 1;
    }
    return lines;
}

// The files of an image's set describe the image beside them, or are gone:
// an old map never outlives its image, a map of a removed partial file never
// stands beside a new one, and what a killed dump left is cleared.
TEST(Dump, TheSetIsReplacedWhole) {
    auto old_set = [](FakeState& f) {
        f.files = {{FINGERPRINT, STALE}, {OLD_MAP, OLD_MAP_TEXT}, {PART_MAP, "# Mapfile of a removed partial file"},
                   {"out.img.sha256.part", STALE}, {"out.img.map.part", "# Mapfile, killed"},
                   {"out.img.part.map.part", "# Mapfile"}, {"out.img.sha256.old", ""}};
    };
    ASSERT_EQ(DumpWith(2 * CHUNK, old_set), DUMP_COMPLETE);
    TakeRecord();
    std::map<std::string, std::string> want = {{FINGERPRINT, Fingerprint()}};
    EXPECT_EQ(Fake->files, want) << "the old map went with the old image; the leftovers are cleared";

    // Interrupted: the partial file has a map of its own, of what it holds.
    EXPECT_EQ(DumpWith(2 * CHUNK, [&](FakeState& f) { old_set(f), f.interrupt_after = CHUNK; }), DUMP_FAILED);
    ASSERT_EQ(Fake->image_path, "out.img.part");
    char want_map[160];
    uint64_t kept = Fake->image.size();
    std::snprintf(want_map, sizeof want_map, "0x%08llX     ?               1\n0x00000000  0x%08llX  +\n0x%08llX  0x%08llX  ?\n",
                  static_cast<unsigned long long>(kept), static_cast<unsigned long long>(kept),
                  static_cast<unsigned long long>(kept), static_cast<unsigned long long>(2 * CHUNK - kept));
    EXPECT_EQ(MapLines(Fake->files[PART_MAP]), want_map);
    EXPECT_TRUE(kept > 0 && kept <= CHUNK && ImageMatches(kept));
    EXPECT_LE(Fingerprint().size() + Fake->files[PART_MAP].size(), Fake->reserved_beside) << "room kept for it";
    EXPECT_EQ(Fake->files[FINGERPRINT], STALE);
    EXPECT_EQ(Fake->files[OLD_MAP], OLD_MAP_TEXT);
    EXPECT_EQ(Fake->files.size(), 3u);

    EXPECT_FALSE(Fake->map_beside_new_partial) << "the stale map went before the new partial file came";

    // A partial file that cannot be flushed gets no map: it could claim
    // bytes a power cut takes back, also where a second flush reports no
    // failure.
    EXPECT_EQ(DumpWith(2 * CHUNK, [](FakeState& f) { f.fail_read_from = CHUNK, f.flush_error = 5; }), DUMP_FAILED);
    EXPECT_EQ(Fake->files.count(PART_MAP), 0u);
    EXPECT_EQ(DumpWith(CHUNK, [](FakeState& f) { f.flush_error = 5, f.flush_fails_once = true; }), DUMP_FAILED);
    EXPECT_EQ(Fake->files.count(PART_MAP), 0u);

    // A complete image that cannot take its name is kept with its map.
    EXPECT_EQ(DumpWith(CHUNK, [](FakeState& f) { f.rename_error = 1, f.rename_fails_at = "out.img"; }), DUMP_FAILED);
    EXPECT_EQ(MapLines(Fake->files[PART_MAP]), "0x04000000     +               1\n0x00000000  0x04000000  +\n");
}

// Windows ends a process seconds after its console is closed, whatever the
// writer is doing: it hands the image a few MiB at a time and stops at an
// interrupt between them, however much the reader has ready, and the map
// tells what it wrote.
TEST(Dump, TheWriterStopsBetweenWritesOfAFewMiB) {
    ASSERT_TRUE(Dump(2 * CHUNK));
    EXPECT_EQ(Fake->longest_write, WRITE_BYTES);
    EXPECT_EQ(DumpWith(2 * CHUNK, [](FakeState& f) { f.interrupt_at_written = WRITE_BYTES + 512; }), DUMP_FAILED);
    EXPECT_EQ(Fake->image.size(), 2 * WRITE_BYTES) << "stopped at the write after the interrupt";
    EXPECT_TRUE(ImageMatches(2 * WRITE_BYTES));
    EXPECT_TRUE(Contains(MapLines(Fake->files[PART_MAP]), "0x00000000  0x00800000  +\n"));
}

// The fingerprint's line is sha256sum's, escapes included: a name with a
// line end or a carriage return is checked as itself.
TEST(Dump, TheFingerprintLineIsSha256sums) {
    uint8_t digest[DIGEST_BYTES];
    for (size_t n = 0; n < DIGEST_BYTES; ++n) digest[n] = static_cast<uint8_t>(n * 8);
    std::string hex = "0008101820283038404850586068707880889098a0a8b0b8c0c8d0d8e0e8f0f8";
    EXPECT_EQ(FingerprintLine(digest, "dir/e.img"), hex + "  e.img\n");
    EXPECT_EQ(FingerprintLine(digest, "dir/a\rb\nc"), "\\" + hex + "  a\\rb\\nc\n");
}

// No name the dump may make, replace or remove is the drive's: each is
// refused before anything is created or read.
TEST(Dump, NoNameOfTheSetIsTheDrives) {
    for (const char* name : {"out.img", "out.img.part", "out.img.sha256", "out.img.map", "out.img.part.map",
                             "out.img.sha256.part", "out.img.map.part", "out.img.part.map.part", "out.img.sha256.old",
                             "out.img.map.old", "out.img.set-name-test"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(DumpWith(CHUNK, [&](FakeState& f) { f.drive_at = {name}; }), DUMP_FAILED);
        EXPECT_TRUE(Contains(Fake->console, Line(MSG_CREATE_FAILED, 22)));
        EXPECT_FALSE(Fake->image_exists);
        EXPECT_EQ(Fake->drive_position, 0u);
    }
}

// What stands at a name of the set and is not such a file (another image
// named out.img.sha256, the partial file of a dump into it) is neither
// replaced nor removed: the dump is refused before the copy.
TEST(Dump, WhatIsNoFileOfTheSetIsLeftAlone) {
    const std::string image = "\x7f" "ELF another image";
    for (const char* name : {FINGERPRINT, OLD_MAP, "out.img.sha256.part", "out.img.map.old", PART_MAP, "-",
                             "out.img.map.part"}) {
        SCOPED_TRACE(name);
        // An empty partial file is a dump's into that name until its first
        // write.
        bool empty = std::string(name) == "-";
        if (empty) name = "out.img.part.map.part";
        bool map = std::string(name).find(".map") != std::string::npos;
        std::string content = empty ? "" : map ? "# not a map: an image that begins with #" : image;
        EXPECT_EQ(DumpWith(CHUNK, [&](FakeState& f) { f.files[name] = content; }), DUMP_FAILED);
        EXPECT_TRUE(Contains(Fake->console, Line(map ? MSG_MAP_FAILED : MSG_FINGERPRINT_FAILED, 17)));
        EXPECT_EQ(Fake->files[name], content);
        EXPECT_EQ(Fake->drive_position, 0u);
    }
}

// Once the new image has its name the old image is gone: a failure after
// that is no plain failure (exit 1 promises the old image), and only files
// that describe the new image stand beside it.
TEST(Dump, AFailureAfterTheRenameSaysTheImageIsNamed) {
    auto old_set = [](FakeState& f) { f.files = {{FINGERPRINT, STALE}, {OLD_MAP, OLD_MAP_TEXT}}; };
    EXPECT_EQ(DumpWith(CHUNK, [&](FakeState& f) { old_set(f), f.name_flush_error = 5; }), DUMP_NAMED_ONLY);
    EXPECT_TRUE(Contains(Fake->console, Line(MSG_CREATE_FAILED, 5)));
    EXPECT_FALSE(Contains(Fake->console, MSG_COMPLETE));
    EXPECT_EQ(Fake->image_path, "out.img");
    TakeRecord();
    std::map<std::string, std::string> want = {{FINGERPRINT, Fingerprint()}};
    EXPECT_EQ(Fake->files, want);

    EXPECT_EQ(DumpWith(CHUNK, [&](FakeState& f) {
                  old_set(f), f.rename_error = 13, f.rename_fails_at = "out.img.sha256.part";
              }),
              DUMP_NAMED_ONLY);
    EXPECT_TRUE(Contains(Fake->console, Line(MSG_FINGERPRINT_FAILED, 13)));
    EXPECT_EQ(Fake->image_path, "out.img");
    TakeRecord();
    EXPECT_TRUE(Fake->files.empty()) << "no old fingerprint or map beside the new image, and no leftovers";

    // A rescued image with zeros in it says how many, even without its map.
    EXPECT_EQ(DumpWith(CHUNK, [&](FakeState& f) {
                  f.bad_ranges = {{4096, 4608}}, f.rename_error = 5, f.rename_fails_at = "out.img.map.part";
              }),
              DUMP_FAILED) << "a plain dump fails at the bad sector";
    ResetFake(CHUNK);
    Fake->bad_ranges = {{4096, 4608}}, Fake->rename_error = 5, Fake->rename_fails_at = "out.img.map.part";
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_NAMED_ONLY);
    EXPECT_TRUE(Contains(Fake->console, Line(MSG_MAP_FAILED, 5) + MSG_RESCUED + "512\n"));
}

// A refused lock and the title tell the user; neither changes the dump.
// A whole disk has a lock per volume, and each refusal its own line.
TEST(Dump, TheLockWarningAndTheTitleLeaveTheDumpAsItIs) {
    ASSERT_TRUE(DumpWith(2 * CHUNK, [](FakeState& f) { f.lock_errors = {5, 32}, f.has_title = true; }));
    EXPECT_TRUE(ImageMatchesDrive());
    EXPECT_TRUE(Contains(Fake->console, Line(MSG_LOCK_FAILED, 5) + Line(MSG_LOCK_FAILED, 32) + "\n" + MSG_START + "\n"))
        << "the warnings come before the start line";
    ASSERT_GE(Fake->titles.size(), 2u);
    EXPECT_EQ(Fake->titles.front(), "korvex drive 0%");
    EXPECT_EQ(Fake->titles.back(), "(restored)");
    EXPECT_FALSE(Contains(Fake->console, "korvex drive")) << "nothing of the title in the transcript";

    EXPECT_FALSE(DumpWith(2 * CHUNK, [](FakeState& f) { f.has_title = true, f.fail_read_from = CHUNK; }));
    EXPECT_EQ(Fake->titles.back(), "(restored)") << "restored after a failure too";

    EXPECT_EQ(ProgressTitle("E:", 850 * MIB, 22270 * MIB, 10), "korvex E: 3% 85 MB/s 4:12");
    EXPECT_EQ(ProgressTitle("E:", MIB, 3601 * MIB + MIB, 1), "korvex E: 0% 1 MB/s 1:00:01");
    EXPECT_EQ(ProgressTitle("E:", 0, 0, 0), "korvex E: 100%");
}
}  // namespace
