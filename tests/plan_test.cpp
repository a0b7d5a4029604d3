#include <gtest/gtest.h>

#include "dump/dump.h"
#include "dump/messages.h"
#include "tests/fake_platform.h"

namespace {
TEST(Plan, ChunksCoverEveryByte) {
    const struct {
        uint64_t total;
        int32_t chunks;
    } cases[] = {
        {0, 0},
        {1, 1},
        {MIB - 1, 1},
        {64 * MIB, 1},
        {64 * MIB + 512, 2},
        {65 * MIB, 2},
        {100 * MIB + 512, 2},
        {128 * MIB, 2},
        {128 * MIB + 1, 3},
        {uint64_t{2000} * 1024 * MIB, 32000},
    };
    for (const auto& c : cases) EXPECT_EQ(CountChunks(c.total), c.chunks) << c.total;
}

std::string PlanText(uint64_t mib, int chunks) {
    return std::string(MSG_DRIVE) + "drive\n" + MSG_IMAGE + "out.img\n" + MSG_DRIVE_SIZE +
           std::to_string(mib) + " MB\n" + MSG_CACHE_SIZE + "64 MB\n" + MSG_CHUNKS +
           std::to_string(chunks) + MSG_CHUNKS_UNIT + "\n";
}

TEST(Plan, PrintsEchoSizeCacheAndChunkLines) {
    const struct {
        uint64_t total, mib;
        int chunks;
    } cases[] = {{100 * MIB + 512, 100, 2}, {MIB - 1, 0, 1}, {0, 0, 0}, {65 * MIB, 65, 2}};
    for (const auto& c : cases) {
        ResetFake(c.total);
        uint64_t total = 0;
        ASSERT_TRUE(PlanDump("drive", "out.img", total));
        EXPECT_EQ(total, c.total);
        EXPECT_EQ(ChunkCount, c.chunks);
        EXPECT_EQ(Fake->console, PlanText(c.mib, c.chunks));
    }
}

TEST(Plan, UnknownOrEmptyDriveStopsAfterTheEchoes) {
    for (const char* drive : {"nodrive", ""}) {
        ResetFake(MIB);
        EXPECT_FALSE(DumpDrive(drive, "out.img"));
        EXPECT_EQ(Fake->console, std::string(MSG_DRIVE) + drive + "\n" + MSG_IMAGE + "out.img\n" +
                                     MSG_INVALID_DRIVE + "\n");
        EXPECT_FALSE(Fake->image_exists);
    }
}
}  // namespace

#include "app/options.h"

namespace {
// Options come before the drive; "--" ends them; any other "-" word there is
// an option, unknown if it is not one of Korvex's.
TEST(Options, BeforeTheDriveOnly) {
    Options o = ParseOptions({"korvex", "--rescue", "--", "-drive", "img", "--help"});
    EXPECT_TRUE(o.rescue);
    EXPECT_FALSE(o.help) << "after the drive it is an argument";
    EXPECT_EQ(o.paths, (std::vector<std::string>{"-drive", "img", "--help"}));
    EXPECT_EQ(ParseOptions({"korvex", "-x", "drive", "img"}).unknown, "-x");
    EXPECT_EQ(ParseOptions({"korvex", "--resuce", "drive", "img"}).unknown, "--resuce");
    EXPECT_EQ(ParseOptions({"korvex", "-", "img"}).paths.size(), 2u) << "a lone dash is a name";
    Options v = ParseOptions({"korvex", "-V"});
    EXPECT_TRUE(v.version);
    EXPECT_TRUE(v.paths.empty());
}
}  // namespace
