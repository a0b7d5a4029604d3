// Going on with a dump that stopped, through the fake platform: after an
// interrupt or a power cut at any step, --resume ends with the image and
// fingerprint a whole dump gives, reading from the drive only what the map
// lacks; a drive or partial file other than the map's is refused; a rescue
// goes on with its phases, and a second rescue into a rescued image goes
// on from its map, never making it worse.
#include <gtest/gtest.h>

#include <cstdio>

#include "dump/dump.h"
#include "dump/mapfile.h"
#include "dump/messages.h"
#include "dump/resume.h"
#include "tests/fake_platform.h"

namespace {
constexpr uint64_t CHUNK = CHUNK_BYTES;

DumpOutcome Dump(bool resume, bool rescue = false, bool verify = false) {
    DumpRequest request;
    request.resume = resume;
    request.rescue = rescue;
    request.verify = verify;
    request.command_line = "korvex";
    return DumpDrive("drive", "out.img", request);
}

std::string Fingerprint() { return DriveDigestHex() + "  out.img\n"; }

bool Said(const char* message) { return Fake->console.find(ConsoleMessage(message)) != std::string::npos; }

ParsedMap MapAt(const std::string& path) {
    ParsedMap map;
    std::string why;
    EXPECT_TRUE(ParseMap(Fake->files[path], map, why)) << why;
    return map;
}

// A fresh run of the program on the same drive and files.
void Rerun() {
    Fake->console.clear();
    Fake->interrupted = false;
    Fake->interrupt_at_written = Fake->interrupt_after = UINT64_MAX;
    Fake->drive_bytes_read = 0;
    Fake->hashed_bytes = 0;
}

TEST(Resume, AnInterruptedDumpGoesOnWhereItsMapEndsToTheWholeImage) {
    for (uint64_t stop : {uint64_t{4096}, CHUNK / 2, CHUNK + 3 * MIB}) {
        SCOPED_TRACE(stop);
        const uint64_t total = 2 * CHUNK + 3 * 512;
        ResetFake(total);
        Fake->interrupt_at_written = stop;
        ASSERT_EQ(Dump(false), DUMP_FAILED);
        ASSERT_EQ(Fake->image_path, "out.img.part");
        uint64_t held = HeldEnd(MapAt("out.img.part.map"));
        ASSERT_GT(held, 0u);
        Rerun();
        // Without --resume the partial file blocks, and the line says how
        // to go on.
        EXPECT_EQ(Dump(false), DUMP_FAILED);
        EXPECT_TRUE(Said(MSG_PARTIAL_LEFT)) << Fake->console;
        EXPECT_EQ(Fake->image_path, "out.img.part");
        Rerun();
        ASSERT_EQ(Dump(true), DUMP_COMPLETE) << Fake->console;
        EXPECT_TRUE(ImageMatchesDrive());
        EXPECT_FALSE(Fake->misaligned_io);
        EXPECT_EQ(Fake->files["out.img.sha256"], Fingerprint());
        EXPECT_EQ(Fake->files.count("out.img.part.map"), 0u);
        EXPECT_EQ(RecordLine("resumed_from"), std::to_string(RoundDown(held, IO_ALIGN)));
        EXPECT_EQ(RecordLine("drive_sha256"), DriveDigestHex());
        // The drive's first MiB names it; the rest read is what the map lacked.
        EXPECT_LE(Fake->drive_bytes_read, total - RoundDown(held, IO_ALIGN) + MIB + IO_ALIGN);
        EXPECT_NE(Fake->console.find(ConsoleMessage(MSG_RESUMING) + std::to_string(RoundDown(held, IO_ALIGN))),
                  std::string::npos);
    }
}

// The drive failing as the copy goes on: the dump ends with the drive's
// line, the partial file and its map kept, without first reading back the
// rest of what was written before.
TEST(Resume, ADriveFailingAsTheCopyGoesOnEndsItBeforeTheReadBackIsThrough) {
    const uint64_t total = 2 * CHUNK + 3 * 512;
    ResetFake(total);
    Fake->interrupt_at_written = CHUNK + 3 * MIB;
    ASSERT_EQ(Dump(false), DUMP_FAILED);
    const uint64_t held = HeldEnd(MapAt("out.img.part.map"));
    ASSERT_GE(held, 4u * TRANSFER_BYTES);
    Rerun();
    Fake->fail_read_from = held;
    Fake->read_back_delay_ms = 300;
    EXPECT_EQ(Dump(true), DUMP_FAILED);
    EXPECT_TRUE(Said(MSG_READ_FAILED)) << Fake->console;
    EXPECT_FALSE(Said(MSG_IMAGE_READ_FAILED)) << Fake->console;
    EXPECT_LT(Fake->read_back_bytes, held);
    EXPECT_EQ(Fake->image_path, "out.img.part");
    EXPECT_EQ(HeldEnd(MapAt("out.img.part.map")), held);
}

// A power cut at every step that changes a file or a name, in a plain dump
// and in a rescue: whatever stable storage kept, --resume on the restarted
// machine finishes the image a whole dump gives, or says there is nothing
// to go on with where no partial file and map were left.
TEST(Resume, AfterAPowerCutAtEveryStepTheDumpFinishes) {
    const struct {
        const char* name;
        bool rescue;
        void (*configure)(FakeState&);
    } kinds[] = {
        {"plain", false, [](FakeState&) {}},
        {"rescue", true, [](FakeState& f) { f.bad_ranges = {{MIB + 512, MIB + 1024}}; }},
    };
    const uint64_t total = CHUNK + 2 * MIB + 512;
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        ResetFake(total);
        kind.configure(*Fake);
        Dump(false, kind.rescue);
        const std::string fingerprint = Fake->files["out.img.sha256"];
        const int operations = Fake->operations;
        int resumed = 0;
        for (int cut = 1; cut <= operations; ++cut) {
            SCOPED_TRACE(cut);
            ResetFake(total);
            kind.configure(*Fake);
            Fake->cut_after = cut;
            Fake->stop_at_cut = true;
            Dump(false, kind.rescue);
            if (!Fake->cut.taken) continue;
            RestartAfterCut();
            kind.configure(*Fake);
            bool left = Fake->image_path == "out.img.part" && Fake->files.count("out.img.part.map") != 0;
            bool named = Fake->image_path == "out.img" && Fake->files.count("out.img.map") != 0;
            DumpOutcome outcome = Dump(true, kind.rescue);
            if (!left && !(named && kind.rescue)) {
                if (!named) {
                    EXPECT_TRUE(Said(MSG_NOTHING_TO_RESUME)) << Fake->console;
                }
                continue;
            }
            ++resumed;
            ASSERT_EQ(outcome, kind.rescue ? DUMP_RESCUED : DUMP_COMPLETE) << Fake->console;
            EXPECT_EQ(Fake->image_path, "out.img");
            EXPECT_EQ(Fake->files["out.img.sha256"], fingerprint) << Fake->console;
            if (!kind.rescue) {
                EXPECT_TRUE(ImageMatchesDrive());
            }
        }
        EXPECT_GE(resumed, 3);
    }
}

TEST(Resume, ADriveOrPartialFileOtherThanTheMapsIsRefused) {
    const uint64_t total = CHUNK + MIB;
    const struct {
        const char* name;
        void (*change)(FakeState&);
        const char* line;
    } changes[] = {
        {"another serial", [](FakeState& f) { f.facts.serial = "OTHER"; }, MSG_OTHER_DRIVE},
        {"another model", [](FakeState& f) { f.facts.model = "Other Model"; }, MSG_OTHER_DRIVE},
        {"another size", [](FakeState& f) { f.drive_size += 512; }, MSG_OTHER_DRIVE},
        {"another sector size", [](FakeState& f) { f.sector_size = 4096; }, MSG_OTHER_DRIVE},
        {"other first bytes in the partial file", [](FakeState& f) { f.image[100] ^= 1; }, MSG_MAP_NOT_IMAGE},
        {"a partial file shorter than its map says",
         [](FakeState& f) { f.image.resize(f.image.size() - 4096); }, MSG_MAP_NOT_IMAGE},
        {"a map that is none", [](FakeState& f) { f.files["out.img.part.map"] = "# Mapfile\n0x0 ? 1\n0x0 0x10 x\n"; },
         MSG_MAP_INVALID},
        {"no map", [](FakeState& f) { f.files.erase("out.img.part.map"); }, MSG_NOTHING_TO_RESUME},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.name);
        ResetFake(total);
        Fake->interrupt_at_written = CHUNK;
        ASSERT_EQ(Dump(false), DUMP_FAILED);
        Rerun();
        change.change(*Fake);
        const std::vector<uint8_t> partial = Fake->image;
        auto kept = Fake->files.find("out.img.part.map");
        const std::string map = kept != Fake->files.end() ? kept->second : "(none)";
        EXPECT_EQ(Dump(true), DUMP_FAILED);
        EXPECT_TRUE(Said(change.line)) << Fake->console;
        EXPECT_EQ(Fake->image_path, "out.img.part");
        EXPECT_TRUE(Fake->image == partial) << "the partial file as it was";
        kept = Fake->files.find("out.img.part.map");
        EXPECT_EQ(kept != Fake->files.end() ? kept->second : "(none)", map);
    }
    // Held by a dump that runs: not gone on with beside it, nor are the
    // names that dump is writing (its map on its way, its fingerprint in
    // its last steps) cleared as a killed dump's leftovers.
    ResetFake(total);
    Fake->interrupt_at_written = CHUNK;
    Dump(false);
    Rerun();
    Fake->partial_busy = true;
    const std::string running_map = Fake->files["out.img.part.map"];
    Fake->files["out.img.part.map.part"] = running_map;
    Fake->files["out.img.sha256.part"] = Fingerprint();
    EXPECT_EQ(Dump(true), DUMP_FAILED);
    EXPECT_TRUE(Said(MSG_CREATE_FAILED)) << Fake->console;
    EXPECT_NE(Fake->files.count("out.img.part.map"), 0u);
    EXPECT_EQ(Fake->files["out.img.part.map.part"], running_map);
    EXPECT_EQ(Fake->files["out.img.sha256.part"], Fingerprint());
    // Nothing to go on with at all.
    ResetFake(total);
    EXPECT_EQ(Dump(true), DUMP_FAILED);
    EXPECT_TRUE(Said(MSG_NOTHING_TO_RESUME));
    EXPECT_TRUE(Fake->image_path.empty());
}

TEST(Resume, AStoppedRescueGoesOnWithItsPhasesAndEndsAsAWholeOneWould) {
    const uint64_t total = CHUNK + 4 * MIB;
    auto bad = [](FakeState& f) { f.bad_ranges = {{MIB, MIB + 4096}, {CHUNK + MIB, CHUNK + 2 * MIB}}; };
    ResetFake(total);
    bad(*Fake);
    ASSERT_EQ(Dump(false, true), DUMP_RESCUED);
    const int reads = Fake->reads;
    const std::vector<uint8_t> whole = Fake->image;
    const std::string fingerprint = Fake->files["out.img.sha256"];
    const std::string unread = RecordLine("unreadable_bytes");
    // Stopped in the copy, past the first bad range; then in the phases.
    for (int stop : {0, 1}) {
        SCOPED_TRACE(stop);
        ResetFake(total);
        bad(*Fake);
        if (stop == 0)
            Fake->interrupt_at_written = CHUNK / 2;
        else
            Fake->interrupt_at_read = reads - 20;
        ASSERT_EQ(Dump(false, true), DUMP_FAILED);
        ASSERT_EQ(Fake->image_path, "out.img.part");
        Rerun();
        Fake->interrupt_at_read = 0;
        // The map says a rescue: it goes on as one without being told; read
        // back, the image is as written.
        ASSERT_EQ(Dump(true, false, stop == 1), DUMP_RESCUED) << Fake->console;
        EXPECT_EQ(RecordLine("verified"), stop == 1 ? "yes" : "no");
        EXPECT_TRUE(Fake->image == whole);
        EXPECT_EQ(Fake->files["out.img.sha256"], fingerprint);
        EXPECT_EQ(RecordLine("unreadable_bytes"), unread);
        EXPECT_NE(Fake->files.count("out.img.map"), 0u);
    }
}

// The second rescue of a dying drive, as ddrescue's: what the first read
// stays, even where the drive now fails there too; what it could not read
// is tried again; the fingerprint and record are of the image now.
TEST(Resume, ASecondRescueIntoARescuedImageGoesOnFromItsMapAndNeverMakesItWorse) {
    const uint64_t total = 4 * MIB;
    ResetFake(total);
    Fake->bad_ranges = {{MIB, 2 * MIB}};
    ASSERT_EQ(Dump(false, true), DUMP_RESCUED);
    const uint64_t first_unread = std::stoull(RecordLine("unreadable_bytes"));
    ASSERT_GT(first_unread, 0u);
    const ParsedMap first = MapAt("out.img.map");
    Rerun();
    // Worse now where the first read well, better where it did not.
    Fake->bad_ranges = {{0, MIB}, {MIB + 512 * 1024, 2 * MIB}, {3 * MIB, 4 * MIB}};
    ASSERT_EQ(Dump(false, true), DUMP_RESCUED) << Fake->console;
    const uint64_t second_unread = std::stoull(RecordLine("unreadable_bytes"));
    EXPECT_LT(second_unread, first_unread);
    EXPECT_EQ(Fake->files.count("out.img.part"), 0u);
    // Read by the first, kept; and read by the second, past the first's
    // bad sectors (which ddrescue too leaves to a run that asks to retry).
    for (const MapArea& area : first.areas)
        for (uint64_t at = area.pos; area.status == READ && at < area.pos + area.size; at += 512)
            ASSERT_EQ(Fake->image[at], Pattern(at)) << at;
    ParsedMap map = MapAt("out.img.map");
    uint64_t unread = 0;
    for (const MapArea& area : map.areas) {
        unread += area.status == READ ? 0 : area.size;
        for (uint64_t at = area.pos; area.status == READ && at < area.pos + area.size; at += 512)
            ASSERT_EQ(Fake->image[at], Pattern(at)) << at;
    }
    EXPECT_EQ(unread, second_unread);
    EXPECT_EQ(Fake->files["out.img.sha256"], ImageDigestHex() + "  out.img\n");
    EXPECT_EQ(RecordLine("resumed_from"), std::to_string(total));
}

// A rescue stopped inside the drive's last block, where no whole block
// follows to go on from: the bytes it read there are kept, not read again
// and zero-filled by a drive that now fails there.
TEST(Resume, ARescueStoppedInTheDrivesLastBlockKeepsWhatItReadThere) {
    const uint64_t total = 4 * MIB + 3584, last = total - 3072;
    ResetFake(total);
    Fake->bad_ranges = {{last, total}};
    ASSERT_EQ(Dump(false, true), DUMP_RESCUED);
    char map[256];
    snprintf(map, sizeof map, "# Mapfile\n0x%llx ? 1\n0x0 0x%llx +\n0x%llx 0xc00 ?\n",
             static_cast<unsigned long long>(last), static_cast<unsigned long long>(last),
             static_cast<unsigned long long>(last));
    Fake->files["out.img.map"] = map;
    Rerun();
    Fake->bad_ranges = {{RoundDown(total, IO_ALIGN), last}};
    ASSERT_EQ(Dump(false, true), DUMP_COMPLETE) << Fake->console;
    for (uint64_t at = RoundDown(total, IO_ALIGN); at < last; ++at) ASSERT_EQ(Fake->image[at], Pattern(at)) << at;
    EXPECT_EQ(Fake->image.size(), total);
    EXPECT_EQ(Fake->files["out.img.sha256"], ImageDigestHex() + "  out.img\n");
}

// A map whose bytes held end inside a block (ddrescue's, in sectors): the
// copy goes on from that block's start, and a dump stopped there at once
// keeps a map that calls held only what the partial file, cut back to
// where the writes stand, still holds.
TEST(Resume, AMapEndingInsideABlockNeverClaimsWhatTheCutPartialFileLost) {
    const uint64_t total = 4 * MIB, held = 3 * MIB + 512;
    ResetFake(total);
    for (uint64_t at = 0; at < held; ++at) Fake->image.push_back(Pattern(at));
    Fake->image_path = "out.img.part";
    Fake->image_exists = true;
    char map[256];
    std::snprintf(map, sizeof map,
                  "# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n"
                  "0x%08llX     ?               1\n#      pos        size  status\n0x00000000  0x%08llX  +\n"
                  "0x%08llX  0x%08llX  ?\n",
                  static_cast<unsigned long long>(held), static_cast<unsigned long long>(held),
                  static_cast<unsigned long long>(held), static_cast<unsigned long long>(total - held));
    Fake->files["out.img.part.map"] = map;
    Fake->fail_read_from = RoundDown(held, IO_ALIGN);
    EXPECT_EQ(Dump(true), DUMP_FAILED);
    EXPECT_TRUE(Said(MSG_READ_FAILED)) << Fake->console;
    ParsedMap kept = MapAt("out.img.part.map");
    EXPECT_LE(HeldEnd(kept), Fake->image.size()) << Fake->files["out.img.part.map"];
    EXPECT_TRUE(ImageMatches(Fake->image.size()));
}

// After the hand-over to ddrescue, which filled in the image and its map:
// --resume reads nothing more from the drive than its first MiB, and the
// fingerprint and record are written anew from the image read back.
TEST(Resume, AnImageThatDdrescueCompletedTakesAFingerprintOfItsOwn) {
    const uint64_t total = 3 * MIB;
    const std::string ddrescued = "# Mapfile. Created by GNU ddrescue version 1.27\n"
                                  "# current_pos  current_status  current_pass\n"
                                  "0x00300000     +               1\n"
                                  "#      pos        size  status\n"
                                  "0x00000000  0x00300000  +\n";
    ResetFake(total);
    Fake->bad_ranges = {{MIB, MIB + 4096}};
    ASSERT_EQ(Dump(false, true), DUMP_RESCUED);
    for (uint64_t at = MIB; at < MIB + 4096; ++at) Fake->image[at] = Pattern(at);
    Fake->files["out.img.map"] = ddrescued;
    // An image longer than the drive is not the map's, however whole the
    // map: it would take a fingerprint of its first bytes only.
    const std::vector<uint8_t> image = Fake->image;
    Fake->image.resize(total + 4096, 0x5a);
    Rerun();
    EXPECT_EQ(Dump(true), DUMP_FAILED);
    EXPECT_TRUE(Said(MSG_MAP_NOT_IMAGE)) << Fake->console;
    EXPECT_EQ(Fake->image_path, "out.img");
    EXPECT_EQ(Fake->files["out.img.map"], ddrescued);
    EXPECT_NE(Fake->files.count("out.img.sha256"), 0u);
    Fake->image = image;
    Rerun();
    Fake->bad_ranges.clear();
    ASSERT_EQ(Dump(true), DUMP_COMPLETE) << Fake->console;
    EXPECT_TRUE(ImageMatchesDrive());
    EXPECT_EQ(Fake->files["out.img.sha256"], Fingerprint());
    EXPECT_EQ(RecordLine("image_sha256"), DriveDigestHex());
    EXPECT_LE(Fake->drive_bytes_read, MIB + IO_ALIGN);
    EXPECT_EQ(Fake->files.count("out.img.map"), 0u) << "a plain image has no map";
}
}  // namespace
