// Rescue mode through the fake platform: the phases, what each reads and
// lists, the bound on their effort, the map covering the drive, the image
// as the map says, the outcome and the hand-over.
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

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

// The image checked against its map: the drive's bytes where it says read,
// zeros elsewhere, every status one of ddrescue's. The bytes not read
// outside the given ranges, and the statuses met.
uint64_t CheckAgainstMap(const std::string& map, const Ranges& outside, std::string& statuses) {
    uint64_t unread = 0;
    for (const Block& block : MapBlocks(map, Fake->drive_size)) {
        if (statuses.find(block.status) == std::string::npos) statuses += block.status;
        EXPECT_NE(std::string("+-*/?").find(block.status), std::string::npos) << block.status;
        // A partial file holds nothing past what was written: not tried.
        uint64_t held = std::min<uint64_t>(block.size, Fake->image.size() - std::min<uint64_t>(block.pos, Fake->image.size()));
        EXPECT_TRUE(held == block.size || block.status == '?') << "listed past the partial file at " << block.pos;
        EXPECT_TRUE(Holds(block.pos, held, block.status == '+'))
            << "the image as the map says at " << block.pos << " " << block.status;
        if (block.status == '+') continue;
        for (uint64_t at = block.pos; at < block.pos + block.size; at += 512) {
            bool inside = false;
            for (const auto& range : outside) inside = inside || (at >= range.first && at < range.second);
            if (!inside) unread += std::min<uint64_t>(512, block.pos + block.size - at);
        }
    }
    return unread;
}

std::string CountLine(uint64_t unread) { return std::string(MSG_RESCUED) + std::to_string(unread) + "\n"; }

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Isolated bad sectors cost those sectors; a dead area its own bytes, with
// the readable data on both sides of it read; the image is as the map says
// and its fingerprint is of the image as written.
TEST(Rescue, UnreadableRangesAreZeroedListedAndCounted) {
    const uint64_t total = 2 * CHUNK + 4096;
    const Ranges dead = {{40 * MIB + 512, 56 * MIB + 512}};
    const Ranges bad = {
        {1000 * 512, 1001 * 512},                        // one sector
        {TRANSFER_BYTES - 2048, TRANSFER_BYTES + 2048},  // a block across a transfer boundary
        dead[0],                                         // a dead area
        {total - 512, total},                            // the last sector
    };
    ResetFake(total);
    Fake->bad_ranges = bad;
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex --rescue drive out.img"), DUMP_RESCUED);
    ASSERT_EQ(Fake->image.size(), total);
    EXPECT_EQ(Fake->image_path, "out.img") << "a rescued image takes its name";
    EXPECT_EQ(Fake->files["out.img.sha256"].substr(0, 64), ImageDigestHex()) << "the image as written";
    EXPECT_FALSE(Fake->misaligned_io);
    const std::string& map = Fake->files["out.img.map"];
    std::string statuses;
    EXPECT_EQ(CheckAgainstMap(map, dead, statuses), 512u + 4096 + 512) << "every readable byte beside them read\n"
                                                                        << map;
    uint64_t unread = 0;
    for (const Block& block : MapBlocks(map, total)) unread += block.status == '+' ? 0 : block.size;
    EXPECT_TRUE(EndsWith(Fake->console, CountLine(unread))) << "the count is every byte not read";
    EXPECT_LT(Fake->failed_reads, 40 + static_cast<int>(DEFAULT_FAILED_READS)) << "the dead area was not read sector by sector";
    EXPECT_NE(map.find("# Finished"), std::string::npos);
    EXPECT_NE(map.find("korvex --rescue drive out.img"), std::string::npos);

    // Without the option the same drive fails as ever, with no map.
    ResetFake(total);
    Fake->bad_ranges = bad;
    EXPECT_EQ(DumpDrive("drive", "out.img"), DUMP_FAILED);
    EXPECT_EQ(Fake->files.count("out.img.map"), 0u);
}

// What a rescue spends: a few failed reads for each bad sector, a bounded
// number for a dead area however large, and no more trimming and scraping
// than the bound allows, what is left listed as not trimmed or not scraped.
TEST(Rescue, EffortGrowsWithTheBadSectorsAndStaysWithinTheBound) {
    Ranges scattered;
    for (uint64_t n = 1; n <= 20; ++n) scattered.push_back({n * 6 * MIB + n * 4608, n * 6 * MIB + n * 4608 + 512});
    ResetFake(2 * CHUNK);
    Fake->bad_ranges = scattered;
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_RESCUED);
    EXPECT_TRUE(EndsWith(Fake->console, CountLine(20 * 512))) << "every readable sector read";
    EXPECT_LE(Fake->failed_reads, 4 * 20);

    // The bound spent where it finds data: the edges a dead area's inner
    // failed blocks have beside skipped bytes are no edges of it.
    const Ranges inner = {{MIB + 512, 40 * MIB + 512}};
    ResetFake(2 * CHUNK);
    Fake->bad_ranges = inner;
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex", 2), DUMP_RESCUED);
    std::string found;
    EXPECT_EQ(CheckAgainstMap(Fake->files["out.img.map"], inner, found), 0u) << "both edges trimmed";

    const Ranges dead = {{MIB + 512, 2 * CHUNK}};
    int copying = 0;
    for (uint64_t bound : {uint64_t{0}, uint64_t{1}, uint64_t{7}, DEFAULT_FAILED_READS}) {
        SCOPED_TRACE(bound);
        ResetFake(2 * CHUNK);
        Fake->bad_ranges = dead;
        EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex", bound), DUMP_RESCUED);
        std::string statuses;
        // Untrimmed, the near edge is known to a block.
        EXPECT_LE(CheckAgainstMap(Fake->files["out.img.map"], dead, statuses), bound == 0 ? RESCUE_BLOCK : 0);
        if (bound == 0) {
            copying = Fake->failed_reads;
            EXPECT_LT(copying, 130) << "copying a drive dead from 1 MiB on";
            EXPECT_EQ(statuses.find_first_of("-/"), std::string::npos) << "nothing trimmed or scraped: " << statuses;
            continue;
        }
        EXPECT_LE(Fake->failed_reads - copying, static_cast<int>(bound)) << "the bound holds";
        EXPECT_NE(statuses.find('-'), std::string::npos);
        EXPECT_EQ(statuses.find('?') != std::string::npos || statuses.find('/') != std::string::npos ||
                      statuses.find('*') != std::string::npos,
                  true)
            << "what was not tried is listed as such";
    }
}

// What the copy skipped between two failed blocks is copied once the
// edges are trimmed, within the bound: readable data between bad areas is
// read, not left untried.
TEST(Rescue, WhatLiesBetweenFailedBlocksIsRead) {
    const Ranges bad = {{RESCUE_BLOCK, 2 * RESCUE_BLOCK}, {3 * RESCUE_BLOCK, 3 * RESCUE_BLOCK + 512}};
    for (uint64_t bound : {uint64_t{2}, DEFAULT_FAILED_READS}) {
        SCOPED_TRACE(bound);
        ResetFake(3 * RESCUE_BLOCK + 512);
        Fake->bad_ranges = bad;
        EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex", bound), DUMP_RESCUED);
        std::string statuses;
        uint64_t unread = CheckAgainstMap(Fake->files["out.img.map"], bad, statuses);
        EXPECT_EQ(unread, bound == 2 ? RESCUE_BLOCK : 0) << "the block between, read once the bound allows";
        EXPECT_EQ(Fake->files["out.img.sha256"].substr(0, 64), ImageDigestHex());
    }
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
            const uint64_t at = 3 * MIB + 5 * sector;
            Fake->bad_ranges = {{at, at + sector}};
            // A sector that reads short is no more read than one that fails;
            // the one between them is read when the rest is scraped.
            Fake->short_ranges = {{at + 2 * sector, at + 2 * sector + 1}};
            EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_RESCUED);
            EXPECT_TRUE(EndsWith(Fake->console, CountLine(2 * sector)));
            EXPECT_TRUE(Holds(0, at, true) && Holds(at, sector, false) && Holds(at + sector, sector, true) &&
                        Holds(at + 2 * sector, sector, false) && Holds(at + 3 * sector, CHUNK - at - 3 * sector, true));
            EXPECT_FALSE(Fake->misaligned_io);
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
    EXPECT_EQ(Fake->rewrites, 0);
    EXPECT_EQ(Fake->hashed_bytes, CHUNK + 512u + MIB) << "hashed once, as it was copied, and its first MiB for the map";
}

// Only the phases after copying write out of order; where they wrote
// nothing the copy's own hash stands, and an image that cannot be written
// in place (a pipe, a character device) gets the copy alone.
TEST(Rescue, TheLaterPhasesRewriteOnlyWhatTheyRead) {
    ResetFake(CHUNK + 4096);
    Fake->bad_ranges = {{CHUNK + 4096 - 512, CHUNK + 4096}};
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex", 0), DUMP_RESCUED);
    EXPECT_EQ(Fake->rewrites, 0);
    EXPECT_EQ(Fake->hashed_bytes, CHUNK + 4096u + MIB);
    EXPECT_EQ(Fake->files["out.img.sha256"].substr(0, 64), ImageDigestHex());
    EXPECT_TRUE(EndsWith(Fake->console, CountLine(4096))) << "the last block, not trimmed";

    for (bool stream : {false, true}) {
        SCOPED_TRACE(stream);
        ResetFake(CHUNK + 4096);
        Fake->image_is_device = !stream;
        Fake->image_is_stream = stream;
        Fake->bad_ranges = {{CHUNK + 4096 - 512, CHUNK + 4096}};
        EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_RESCUED);
        EXPECT_TRUE(EndsWith(Fake->console, CountLine(stream ? 4096 : 512)));
        EXPECT_EQ(Fake->rewrites > 0, !stream);
        EXPECT_TRUE(Holds(0, CHUNK + 4096 - (stream ? 4096 : 512), true));
        EXPECT_FALSE(Fake->misaligned_io);
    }
}

// A map grows with every bad area found; its room grows with it, so that a
// full disk stops the rescue while the map it has still fits, rather than
// after the copy with no map at all.
TEST(Rescue, TheMapsRoomGrowsWithIt) {
    Ranges scattered;
    for (uint64_t at = 4096; at < 2 * CHUNK; at += 2 * RESCUE_BLOCK) scattered.push_back({at, at + 512});
    for (uint64_t limit : {UINT64_MAX, uint64_t{100000}}) {
        SCOPED_TRACE(limit);
        ResetFake(2 * CHUNK);
        Fake->bad_ranges = scattered;
        Fake->reserve_limit = limit;
        DumpOutcome outcome = DumpDrive("drive", "out.img", true, "korvex --rescue drive out.img");
        const std::string& map = Fake->files[limit == UINT64_MAX ? "out.img.map" : "out.img.part.map"];
        EXPECT_EQ(outcome, limit == UINT64_MAX ? DUMP_RESCUED : DUMP_FAILED);
        EXPECT_GT(map.size(), limit == UINT64_MAX ? 50000u : 20000u);
        EXPECT_LE(map.size() + 80, Fake->reserved_beside) << "the map and the fingerprint had their room";
        EXPECT_LT(Fake->reserved_beside, map.size() + 200000) << "room taken as the map grows, not ahead of it";
        if (limit == UINT64_MAX) continue;
        EXPECT_NE(Fake->console.find(std::string(MSG_MAP_FAILED) + "28\n"), std::string::npos);
        std::string statuses;
        CheckAgainstMap(map, {}, statuses);
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

// A drive that ends early, or is gone, stops a rescue in any phase, and so
// do an interrupt and an image that cannot be written in place; the map
// beside the partial file then tells what that holds, and a map at the
// image path (the old image's) stays.
TEST(Rescue, AStoppedRescueLeavesTheMapOfThePartialFile) {
    auto stopped = [](const std::string& line) {
        SCOPED_TRACE(line);
        EXPECT_NE(Fake->console.find(line), std::string::npos) << Fake->console;
        EXPECT_EQ(Fake->image_path, "out.img.part") << "no image takes the name";
        EXPECT_EQ(Fake->files.count("out.img.map"), 0u) << "a map at the image path is the old image's";
        const std::string& map = Fake->files["out.img.part.map"];
        EXPECT_EQ(map.find("# Finished"), std::string::npos);
        EXPECT_EQ(map.find("     +  "), std::string::npos) << "the status line says where it stopped";
        std::string statuses;
        CheckAgainstMap(map, {}, statuses);
        return map;
    };
    ResetFake(2 * CHUNK);
    Fake->gone_from = CHUNK + 4096;
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_FAILED);
    stopped(std::string(MSG_READ_FAILED) + "19\n");
    // The reads a rescue of this drive makes while copying, and in all.
    const Ranges bad = {{4096, 8192}, {CHUNK + 4096, CHUNK + 4 * MIB}};
    int reads[2] = {};
    for (uint64_t bound : {uint64_t{0}, DEFAULT_FAILED_READS}) {
        ResetFake(2 * CHUNK);
        Fake->bad_ranges = bad;
        EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex", bound), DUMP_RESCUED);
        reads[bound == 0 ? 0 : 1] = Fake->reads;
    }
    const int while_copying = reads[0] / 2, while_trimming = (reads[0] + reads[1]) / 2;
    // A drive that goes away answering as a bad sector does (EIO from a
    // pulled USB drive): a sector that read before fails too; while it is
    // copied, and while it is trimmed.
    for (int at_read : {while_copying, while_trimming}) {
        ResetFake(2 * CHUNK);
        Fake->bad_ranges = bad;
        Fake->vanish_at_read = at_read;
        EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_FAILED);
        stopped(std::string(MSG_READ_FAILED) + "23\n");
    }
    ResetFake(2 * CHUNK);
    Fake->drive_ends_at = CHUNK + 4096;
    Fake->bad_ranges = {{4096, 8192}};
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_FAILED);
    std::vector<Block> blocks = MapBlocks(stopped(std::string(MSG_READ_FAILED) + "5\n"), 2 * CHUNK);
    EXPECT_EQ(blocks.back().status, '?');
    EXPECT_EQ(blocks.back().pos, Fake->image.size()) << "not tried from where the partial file ends";

    ResetFake(2 * CHUNK);
    Fake->bad_ranges = bad;
    Fake->interrupt_at_read = while_trimming;
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_FAILED);
    std::string map = stopped(std::string(MSG_INTERRUPTED) + "\n");
    EXPECT_EQ(map.find("Pass 1"), std::string::npos) << "stopped after the copy: " << map;

    ResetFake(2 * CHUNK);
    Fake->bad_ranges = bad;
    Fake->fail_rewrite_from = CHUNK;
    EXPECT_EQ(DumpDrive("drive", "out.img", true, "korvex"), DUMP_FAILED);
    stopped(std::string(MSG_WRITE_FAILED) + "27\n");
}
}  // namespace
