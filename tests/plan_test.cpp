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
        EchoDump("drive", "out.img");
        ASSERT_TRUE(SizeDrive("drive", total));
        EXPECT_EQ(total, c.total);
        DumpPlan plan = PlanDump(total);
        EXPECT_EQ(plan.total, c.total);
        EXPECT_EQ(plan.chunks, c.chunks);
        PrintPlan(plan);
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

#include "app/usage.h"
#include "dump/console.h"

namespace {
const char HOSTILE[] = "x\x1b]0;PWNED\a\x1b[2J\r\xe8\xbd\xac\xe5\x82\xa8.img";
const char HOSTILE_SHOWN[] = "x\\x1b]0;PWNED\\x07\\x1b[2J\\x0d\xe8\xbd\xac\xe5\x82\xa8.img";

// The drive, the image and an unknown option are escaped on a terminal, and
// handed on as given into a file or pipe.
TEST(Echo, UserTextsEscapedOnATerminalOnly) {
    for (bool terminal : {true, false}) {
        ResetFake(MIB);
        Fake->stdout_terminal = terminal;
        EXPECT_FALSE(DumpDrive(HOSTILE, HOSTILE));
        ShowUnknownOption(std::string("--") + HOSTILE);
        const std::string echoed = terminal ? HOSTILE_SHOWN : HOSTILE;
        EXPECT_EQ(Fake->console.substr(0, Fake->console.find(MSG_INVALID_DRIVE)),
                  std::string(MSG_DRIVE) + echoed + "\n" + MSG_IMAGE + echoed + "\n");
        EXPECT_NE(Fake->console.find(std::string(MSG_UNKNOWN_OPTION) + "--" + echoed + "\n"), std::string::npos);
    }
}

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// How a reader takes a shown text back: "\xNN" after an odd run of
// backslashes, half of each run before them; any other backslash as it is.
std::string ReadBack(const std::string& shown) {
    std::string text;
    for (size_t at = 0; at < shown.size();) {
        size_t end = shown.find_first_not_of('\\', at);
        if (end == at) {
            text += shown[at++];
            continue;
        }
        if (end == std::string::npos) end = shown.size();
        size_t run = end - at;
        bool hex = end + 2 < shown.size() && shown[end] == 'x' && IsHex(shown[end + 1]) && IsHex(shown[end + 2]);
        bool escape = hex;
        text.append(escape ? run / 2 : run, '\\');
        at = end;
        if (!escape || run % 2 == 0) continue;
        text += static_cast<char>(std::stoi(shown.substr(end + 1, 2), nullptr, 16));
        at = end + 3;
    }
    return text;
}

TEST(Echo, EscapedTextsHoldNoControlAndReadBackToOneTextOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {HOSTILE, HOSTILE_SHOWN},
        {"\\\\.\\E:", "\\\\.\\E:"},
        {"D:\\img\\xyz", "D:\\img\\xyz"},
        {"D:\\e.img", "D:\\e.img"},
        {"\\\\x7F\\\x1b", "\\\\\\\\x7F\\\\\\x1b"},
        {"\x7f\t\n\xc2\x9b\xc2\xa0\x9b", "\\x7f\\x09\\x0a\\xc2\\x9b\xc2\xa0\x9b"},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeControls(c.first), c.second);
    // Every text of up to four of these bytes: whatever precedes or follows
    // a backslash, an escape or a C1 control.
    const char bytes[] = {'\\', 'e', 'x', '7', 'f', 'g', '\x1b', '\a', '\xc2', '\x85'};
    std::vector<std::string> texts = {""};
    for (size_t from = 0, length = 0; length < 4; ++length) {
        size_t to = texts.size();
        for (; from < to; ++from)
            for (char byte : bytes) texts.push_back(texts[from] + byte);
    }
    for (const std::string& text : texts) {
        std::string shown = EscapeControls(text);
        EXPECT_EQ(ReadBack(shown), text) << shown;
        for (size_t at = 0; at < shown.size(); ++at) {
            auto byte = static_cast<unsigned char>(shown[at]);
            bool c1 = byte == 0xc2 && at + 1 < shown.size() && (shown[at + 1] & 0xe0) == 0x80;
            ASSERT_TRUE(byte >= 0x20 && byte != 0x7f && !c1) << shown;
        }
    }
}
}  // namespace
