// The map as read back: Korvex's own with the drive's lines, ddrescue's
// after it took one over, and what no reader may take for a map.
#include <gtest/gtest.h>

#include "dump/mapfile.h"
#include "dump/rescue.h"

namespace {
ParsedMap Parsed(const std::string& text) {
    ParsedMap map;
    std::string why;
    EXPECT_TRUE(ParseMap(text, map, why)) << why << "\n" << text;
    return map;
}

// What a resume needs of Korvex's map: every area as marked, where the
// rescue stood, and the drive, its texts as they were escaped.
TEST(Mapfile, KorvexsMapReadsBackWithItsDrive) {
    const uint64_t total = 5 * 1048576 + 512;
    DriveMap map(total, "korvex --rescue /dev/sdb x.img");
    map.Identify({0, 4096, "/dev/sdb", "Vendor\nModel \\ 2", "SN\r1", ""});
    map.Mark(0, 4096, READ);
    map.Mark(4096, 512, BAD_SECTOR);
    map.Mark(4608, 65536, NOT_TRIMMED);
    map.Mark(70144, 1024, NOT_SCRAPED);
    map.FirstBytesRead(std::string(64, 'a'));
    map.StartPhase(NOT_TRIMMED, 1);

    ParsedMap held = Parsed(map.Text(1048576, false));
    const MapArea want[] = {{0, 4096, READ}, {4096, 512, BAD_SECTOR}, {4608, 65536, NOT_TRIMMED},
                            {70144, 1024, NOT_SCRAPED}, {71168, total - 71168, NOT_TRIED}};
    ASSERT_EQ(held.areas.size(), 5u);
    for (size_t n = 0; n < 5; ++n) {
        EXPECT_EQ(held.areas[n].pos, want[n].pos);
        EXPECT_EQ(held.areas[n].size, want[n].size);
        EXPECT_EQ(held.areas[n].status, want[n].status);
    }
    EXPECT_EQ(held.size, total);
    EXPECT_EQ(held.current_status, NOT_TRIMMED);
    EXPECT_EQ(held.current_pass, 1);
    EXPECT_EQ(held.phase, "Trimming failed blocks...");
    ASSERT_TRUE(held.has_drive);
    EXPECT_EQ(held.drive.size, total);
    EXPECT_EQ(held.drive.sector_size, 4096u);
    EXPECT_EQ(held.drive.opened, "/dev/sdb");
    EXPECT_EQ(held.drive.model, MapValue("Vendor\nModel \\ 2"));
    EXPECT_EQ(held.drive.serial, "SN\\r1");
    EXPECT_EQ(held.drive.first_sha256, std::string(64, 'a'));

    // Copying, where ddrescue goes on from the position; and the end.
    DriveMap copying(total, "korvex");
    copying.Identify({0, 512, "", "", "", ""});
    copying.Mark(0, 3 * 1048576, READ);
    ParsedMap partial = Parsed(copying.Text(2 * 1048576, false));
    EXPECT_EQ(partial.current_pos, 2 * 1048576u);
    EXPECT_EQ(partial.current_status, NOT_TRIED);
    EXPECT_EQ(partial.phase, "Copying non-tried blocks... Pass 1 (forwards)");
    ASSERT_EQ(partial.areas.size(), 2u);
    EXPECT_EQ(partial.areas[0].size, 2 * 1048576u) << "nothing past what the image holds is called read";
    EXPECT_TRUE(partial.drive.model.empty() && partial.drive.serial.empty() && partial.drive.first_sha256.empty());
    ParsedMap finished = Parsed(copying.Text(total, true));
    EXPECT_EQ(finished.current_status, READ);
    EXPECT_EQ(finished.phase, "Finished");

    ParsedMap empty = Parsed(DriveMap(0, "korvex").Text(0, true));
    EXPECT_TRUE(empty.areas.empty() && empty.size == 0 && empty.has_drive);
}

// Maps as GNU ddrescue 1.27 wrote them: after it finished a partial file
// from Korvex's map, stopped while copying, and made by ddrescuelog from
// a list of bad blocks. Its own comments, none of the drive's.
TEST(Mapfile, DdrescuesOwnMapsRead) {
    ParsedMap finished = Parsed(
        "# Mapfile. Created by GNU ddrescue version 1.27\n"
        "# Command line: ddrescue in.bin k.img k.map\n"
        "# Start time:   2026-12-10 00:25:40\n"
        "# Current time: 2026-12-10 00:25:40\n"
        "# Finished\n"
        "# current_pos  current_status  current_pass\n"
        "0x001E0000     +               1\n"
        "#      pos        size  status\n"
        "0x00000000  0x001E8480  +\n");
    EXPECT_EQ(finished.size, 2000000u);
    EXPECT_EQ(finished.current_pos, 0x1E0000u);
    EXPECT_EQ(finished.phase, "Finished");
    EXPECT_FALSE(finished.has_drive);

    ParsedMap stopped = Parsed(
        "# Mapfile. Created by GNU ddrescue version 1.27\n"
        "# Command line: ddrescue --max-read-rate=200k -c 8 in.bin out.bin stopped.map\n"
        "# Start time:   2026-12-10 00:25:38\n"
        "# Current time: 2026-12-10 00:25:40\n"
        "# Copying non-tried blocks... Pass 1 (forwards)\n"
        "# current_pos  current_status  current_pass\n"
        "0x00062000     ?               1\n"
        "#      pos        size  status\n"
        "0x00000000  0x00062000  +\n"
        "0x00062000  0x00186480  ?\n");
    EXPECT_EQ(stopped.areas.size(), 2u);
    EXPECT_EQ(stopped.phase, "Copying non-tried blocks... Pass 1 (forwards)");

    ParsedMap listed = Parsed(
        "# Mapfile. Created by GNU ddrescuelog version 1.27\n"
        "# Command line: ddrescuelog -b512 -c created.map\n"
        "# Start time:   2026-12-10 00:25:40\n"
        "# current_pos  current_status  current_pass\n"
        "0x00000000     ?               1\n"
        "#      pos        size  status\n"
        "0x00000000  0x00000200  -\n"
        "0x00000200  0x00000600  +\n"
        "0x00000800  0x00000C00  -\n"
        "0x00001400  0x00000200  +\n"
        "0x00001600  0x7FFFFFFFFFFFE9FF  -\n");
    EXPECT_EQ(listed.size, 0x7FFFFFFFFFFFFFFFu);
    EXPECT_EQ(listed.phase, "") << "no phase above the heading";
    EXPECT_FALSE(listed.has_drive);

    // Before ddrescue 1.20 the status line had no pass.
    EXPECT_EQ(Parsed("0x00000000  ?\n0x0 0x200 +\n").current_pass, 0);
}

TEST(Mapfile, WhatIsMalformedIsRefused) {
    const std::string head = "# Mapfile\n0x00000000     ?               1\n";
    const std::string drive = "# Drive size: 1024\n# Drive sector size: 512\n";
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"no status line", "# Mapfile\n# only comments\n"},
        {"a status not ddrescue's", "0x0  x  1\n0x0  0x200  +\n"},
        {"pass 0", "0x0  ?  0\n0x0  0x200  +\n"},
        {"a status line with a field more", "0x0  ?  1  1\n0x0  0x200  +\n"},
        {"a number not in hex", head + "0  0x200  +\n"},
        {"a hex digit that is none", head + "0x0  0x2G0  +\n"},
        {"no digits", head + "0x  0x200  +\n"},
        {"a number past 64 bits", head + "0x0  0x10000000000000000  +\n"},
        {"a negative number", head + "-0x0  0x200  +\n"},
        {"an area without its status", head + "0x0  0x200\n"},
        {"an area with a field more", head + "0x0  0x200  +  +\n"},
        {"a block status not ddrescue's", head + "0x0  0x200  F\n"},
        {"an area of no size", head + "0x0  0x0  +\n"},
        {"the first area not at 0", head + "0x200  0x200  +\n"},
        {"a gap", head + "0x0  0x200  +\n0x400  0x200  ?\n"},
        {"an overlap", head + "0x0  0x200  +\n0x100  0x200  ?\n"},
        {"an area past 2^64", head + "0x0  0xFFFFFFFFFFFFFFFF  +\n0xFFFFFFFFFFFFFFFF  0x2  ?\n"},
        {"a drive size other than the areas'", drive + head + "0x0  0x200  +\n"},
        {"a drive size that is no number", "# Drive size: 1k\n# Drive sector size: 512\n" + head + "0x0  0x400  +\n"},
        {"a size without its sector size", "# Drive size: 1024\n" + head + "0x0  0x400  +\n"},
        {"a digest that is no SHA-256", drive + "# Drive first MiB SHA-256: abc\n" + head + "0x0  0x400  +\n"},
        {"a drive line twice", drive + "# Drive size: 1024\n" + head + "0x0  0x400  +\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ParsedMap map;
        std::string why;
        EXPECT_FALSE(ParseMap(c.text, map, why)) << c.text;
        EXPECT_FALSE(why.empty());
    }
    ParsedMap map;
    std::string why;
    EXPECT_TRUE(ParseMap(drive + head + "0x0  0x400  +\r\n", map, why)) << why << ": a line end as Windows writes it";
}
}  // namespace
