// Rescue mode through the fake platform: unreadable ranges zero-filled and
// listed, the map covering the drive, the outcome and the hand-over.
#include <gtest/gtest.h>

#include <sstream>

#include "dump/dump.h"
#include "dump/messages.h"
#include "dump/rescue.h"
#include "tests/fake_platform.h"

namespace {
constexpr uint64_t CHUNK = CHUNK_BYTES;

struct Block {
    uint64_t pos, size;
    char status;
};

// The map's blocks, checked to cover 0 to total in order.
std::vector<Block> MapBlocks(const std::string& map, uint64_t total) {
    std::vector<Block> blocks;
    std::istringstream lines(map);
    std::string line;
    bool status_line = true;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (status_line) {
            status_line = false;
            continue;
        }
        std::istringstream fields(line);
        std::string pos, size;
        char status = 0;
        fields >> pos >> size >> status;
        blocks.push_back({std::stoull(pos, nullptr, 16), std::stoull(size, nullptr, 16), status});
    }
    uint64_t at = 0;
    for (const Block& block : blocks) {
        EXPECT_EQ(block.pos, at) << map;
        at += block.size;
    }
    EXPECT_EQ(at, total) << map;
    return blocks;
}

// Whether the image holds the drive's bytes (value true) or zeros there.
bool Holds(uint64_t pos, uint64_t size, bool drive) {
    for (uint64_t at = pos; at < pos + size; ++at)
        if (Fake->image[at] != (drive ? Pattern(at) : 0)) return false;
    return true;
}

TEST(Rescue, UnreadableRangesAreZeroedListedAndCounted) {
    const uint64_t total = 2 * CHUNK + 4096;
    const std::vector<std::pair<uint64_t, uint64_t>> bad = {
        {1000 * 512, 1001 * 512},                                   // one sector
        {TRANSFER_BYTES - 2048, TRANSFER_BYTES + 2048},             // a block across a transfer boundary
        {40 * MIB + 512, 56 * MIB + 512},                           // a dead area
        {total - 512, total},                                       // the last sector
    };
    ResetFake(total);
    Fake->bad_ranges = bad;
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex --rescue drive out.img"), DUMP_RESCUED);
    ASSERT_EQ(Fake->image.size(), total);
    std::cerr << Fake->files["out.img.map"] << Fake->failed_reads << "\n";
    EXPECT_EQ(Fake->image_path, "out.img") << "a rescued image takes its name";
    EXPECT_EQ(Fake->hashed_bytes, total) << "the fingerprint is of the image as written";
    EXPECT_LT(Fake->failed_reads, 800) << "the dead area was given up, not read sector by sector";

    uint64_t unread = 0;
    for (const Block& block : MapBlocks(Fake->files["out.img.map"], total)) {
        if (block.status == '+') {
            EXPECT_TRUE(Holds(block.pos, block.size, true)) << "read bytes in place at " << block.pos;
            for (const auto& range : bad) EXPECT_TRUE(range.second <= block.pos || range.first >= block.pos + block.size);
        } else {
            EXPECT_TRUE(block.status == '-' || block.status == '?') << block.status;
            EXPECT_TRUE(Holds(block.pos, block.size, false)) << "zeros where nothing was read, at " << block.pos;
            unread += block.size;
        }
    }
    EXPECT_NE(Fake->files["out.img.map"].find("# Finished"), std::string::npos);
    EXPECT_NE(Fake->files["out.img.map"].find("korvex --rescue drive out.img"), std::string::npos);
    std::string last = std::string(MSG_RESCUED) + std::to_string(unread) + "\n";
    EXPECT_EQ(Fake->console.substr(Fake->console.size() - last.size()), last);

    // Without the option the same drive fails as ever, with no map.
    ResetFake(total);
    Fake->bad_ranges = bad;
    EXPECT_EQ(DumpDrive("drive", "out.img"), DUMP_FAILED);
    EXPECT_EQ(Fake->files.count("out.img.map"), 0u);
}

// Sector reads obey the drive's unbuffered rules, Windows' 4096-byte
// buffer boundary included: one bad sector costs that sector, not the
// readable ones around it.
TEST(Rescue, OneBadSectorCostsOneSectorOnEverySectorSize) {
    for (size_t sector : {512, 2048, 4096}) {
        for (size_t align : {size_t{0}, size_t{4096}}) {
            SCOPED_TRACE(std::to_string(sector) + " " + std::to_string(align));
            ResetFake(CHUNK);
            Fake->sector_size = sector;
            Fake->buffer_align = align;
            Fake->bad_ranges = {{3 * MIB + sector, 3 * MIB + 2 * sector}};
            // A sector that reads short is no more read than one that fails.
            Fake->short_ranges = {{5 * MIB, 5 * MIB + 1}};
            EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_RESCUED);
            std::string last = std::string(MSG_RESCUED) + std::to_string(2 * sector) + "\n";
            EXPECT_EQ(Fake->console.substr(Fake->console.size() - last.size()), last);
            EXPECT_TRUE(Holds(0, 3 * MIB + sector, true) && Holds(3 * MIB + 2 * sector, 2 * MIB - 2 * sector, true) &&
                        Holds(5 * MIB, sector, false) && Holds(5 * MIB + sector, CHUNK - 5 * MIB - sector, true));
        }
    }
}

TEST(Rescue, AHealthyDriveIsCompleteWithAOneLineMap) {
    ResetFake(CHUNK + 512);
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex --rescue drive out.img"), DUMP_COMPLETE);
    EXPECT_TRUE(ImageMatchesDrive());
    std::vector<Block> blocks = MapBlocks(Fake->files["out.img.map"], CHUNK + 512);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].status, '+');
    EXPECT_EQ(Fake->files["out.img.map"].find("0x"), Fake->files["out.img.map"].find("0x04000200     +"));
}

// A map grows with every bad area found; its room grows with it, so that a
// full disk stops the rescue while the map it has still fits, rather than
// after the copy with no map at all.
TEST(Rescue, TheMapsRoomGrowsWithIt) {
    std::vector<std::pair<uint64_t, uint64_t>> scattered;
    for (uint64_t at = 4096; at < 32 * MIB; at += 16384) scattered.push_back({at, at + 512});
    for (uint64_t limit : {UINT64_MAX, uint64_t{150000}}) {
        SCOPED_TRACE(limit);
        ResetFake(CHUNK);
        Fake->bad_ranges = scattered;
        Fake->reserve_limit = limit;
        DumpOutcome outcome = DumpDrive("drive", "out.img", true, "korvex --rescue drive out.img");
        const std::string& map = Fake->files[limit == UINT64_MAX ? "out.img.map" : "out.img.part.map"];
        EXPECT_EQ(outcome, limit == UINT64_MAX ? DUMP_RESCUED : DUMP_FAILED);
        EXPECT_GT(map.size(), limit == UINT64_MAX ? 100000u : 50000u);
        EXPECT_LE(map.size() + 80, Fake->reserved_beside) << "the map and the fingerprint had their room";
        EXPECT_LT(Fake->reserved_beside, map.size() + 200000) << "room taken as the map grows, not ahead of it";
        if (limit == UINT64_MAX) continue;
        EXPECT_NE(Fake->console.find(std::string(MSG_MAP_FAILED) + "28\n"), std::string::npos);
        EXPECT_EQ(MapBlocks(map, CHUNK).back().pos, Fake->image.size()) << "the map of the partial file";
    }
}

// A rescued image that cannot take its name keeps its map beside its
// partial file: the new map moved there, not written twice (the room
// reserved holds one).
TEST(Rescue, AnImageThatCannotTakeItsNameKeepsItsMap) {
    ResetFake(CHUNK);
    Fake->bad_ranges = {{4096, 4608}};
    Fake->rename_error = 5, Fake->rename_fails_at = "out.img";
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_FAILED);
    EXPECT_EQ(Fake->image_path, "out.img.part");
    std::vector<Block> blocks = MapBlocks(Fake->files["out.img.part.map"], CHUNK);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[1].status, '-');
    EXPECT_EQ(Fake->files.count("out.img.map.part") + Fake->files.count("out.img.map"), 0u);
}

// A drive that ends early, or is gone, stops a rescue too; the map beside
// the partial file then tells what that holds, and that the rest is not
// tried, and a map at the image path (the old image's) stays.
TEST(Rescue, AFailedRescueLeavesTheMapOfThePartialFile) {
    ResetFake(2 * CHUNK);
    Fake->gone_from = CHUNK + 4096;
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_FAILED);
    EXPECT_NE(Fake->console.find(std::string(MSG_READ_FAILED) + "19\n"), std::string::npos)
        << "a drive that is gone has no bad sectors";
    // A drive that goes away answering as a bad sector does (EIO from a
    // pulled USB drive): a sector that read before fails too.
    ResetFake(2 * CHUNK);
    Fake->bad_ranges = {{4096, 8192}};
    Fake->vanish_at_read = 300;
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_FAILED);
    EXPECT_NE(Fake->console.find(std::string(MSG_READ_FAILED) + "23\n"), std::string::npos);
    EXPECT_EQ(Fake->image_path, "out.img.part") << "no mostly-zero image takes the name";
    ResetFake(2 * CHUNK);
    Fake->drive_ends_at = CHUNK + 4096;
    Fake->bad_ranges = {{4096, 8192}};
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_FAILED);
    EXPECT_EQ(Fake->image_path, "out.img.part");
    EXPECT_EQ(Fake->files.count("out.img.map"), 0u) << "a map at the image path is the old image's";
    const std::string& map = Fake->files["out.img.part.map"];
    EXPECT_EQ(map.find("# Finished"), std::string::npos);
    std::vector<Block> blocks = MapBlocks(map, 2 * CHUNK);
    ASSERT_GE(blocks.size(), 3u);
    EXPECT_EQ(blocks[1].status, '-');
    EXPECT_EQ(blocks.back().status, '?');
    EXPECT_EQ(blocks.back().pos, Fake->image.size()) << "not tried from where the partial file ends";
}
}  // namespace
