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
using Words = std::vector<std::string>;

// Options stand anywhere up to "--"; after it, and for a "-" alone, every
// argument is an operand; operands keep their order.
TEST(Options, AnywhereUntilTheEndOfOptions) {
    const struct {
        Words arguments;
        bool rescue, help;
        Words operands;
    } cases[] = {
        {{"--rescue", "drive", "img"}, true, false, {"drive", "img"}},
        {{"drive", "--rescue"}, true, false, {"drive"}},
        {{"drive", "img", "--rescue"}, true, false, {"drive", "img"}},
        {{"drive", "img", "extra", "--help"}, false, true, {"drive", "img", "extra"}},
        {{"--", "drive", "-x.img"}, false, false, {"drive", "-x.img"}},
        {{"drive", "--", "--rescue", "--"}, false, false, {"drive", "--rescue", "--"}},
        {{"--rescue", "--", "-drive", "img", "--help"}, true, false, {"-drive", "img", "--help"}},
        {{"-", "img"}, false, false, {"-", "img"}},
        {{"drive", "-"}, false, false, {"drive", "-"}},
    };
    for (const auto& c : cases) {
        Words arguments = {"korvex"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        Options o = ParseOptions(arguments);
        EXPECT_EQ(o.rescue, c.rescue) << arguments.size();
        EXPECT_EQ(o.help, c.help) << arguments.size();
        EXPECT_EQ(o.operands, c.operands) << arguments.size();
        EXPECT_EQ(o.unknown, "") << arguments.size();
    }
    Options v = ParseOptions({"korvex", "-V"});
    EXPECT_TRUE(v.version);
    EXPECT_TRUE(v.operands.empty());
}

TEST(Options, TheFirstUnknownOneIsNamedWhereverItStands) {
    EXPECT_EQ(ParseOptions({"korvex", "-x", "drive", "img"}).unknown, "-x");
    EXPECT_EQ(ParseOptions({"korvex", "drive", "img", "--resuce"}).unknown, "--resuce");
    EXPECT_EQ(ParseOptions({"korvex", "drive", "-y", "img", "-x"}).unknown, "-y");
    EXPECT_EQ(ParseOptions({"korvex", "drive", "--", "-x", "img"}).unknown, "");
}
}  // namespace
