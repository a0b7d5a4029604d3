// A power cut after every operation of a dump that changes a file or a
// name: whatever stable storage then holds, the image path is the old image
// with its old files beside it or the new one with its own (a file beside
// may be missing, never another image's), and a partial file's map never
// claims a byte it does not hold.
#include <gtest/gtest.h>

#include <sstream>

#include "dump/dump.h"
#include "dump/mapfile.h"
#include "tests/fake_platform.h"

namespace {
constexpr uint64_t TOTAL = 3 * MIB + 512;
const std::string OLD_FINGERPRINT = std::string(64, '0') + "  out.img\n";

// An old image with its fingerprint, and for a plain dump its map too: a
// rescue into an image with its map goes on from that map instead.
void OldSet(FakeState& f, bool rescue) {
    f.files = {{"out.img", "old image"}, {"out.img.sha256", OLD_FINGERPRINT}};
    if (!rescue) f.files["out.img.map"] = "# Mapfile of the old image\n";
    f.names.files = f.files;  // on stable storage from the start
}

// The map's lines without its comments (they hold the time).
std::string MapLines(const std::string& map) {
    std::istringstream lines(map);
    std::string line, kept;
    while (std::getline(lines, line))
        if (!line.empty() && line[0] != '#') kept += line + "\n";
    return kept;
}

// How far from 0 the map calls the bytes read, in a row.
uint64_t ReadPrefix(const std::string& map) {
    std::istringstream lines(MapLines(map));
    std::string line;
    std::getline(lines, line);  // the status line
    uint64_t end = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string pos, size;
        char status = 0;
        fields >> pos >> size >> status;
        if (status != '+' || std::stoull(pos, nullptr, 16) != end) break;
        end += std::stoull(size, nullptr, 16);
    }
    return end;
}

struct Kind {
    const char* name;
    bool rescue;
    void (*configure)(FakeState&);
    bool verify = false;
};

DumpOutcome DumpKind(const Kind& kind) {
    DumpRequest request;
    request.rescue = kind.rescue;
    request.verify = kind.verify;
    request.command_line = "korvex";
    return DumpDrive("drive", "out.img", request);
}

void ExpectWhole(const FakeState::Durable& cut, const std::string& fingerprint, const std::string& map) {
    auto has = [&cut](const char* path) { return cut.files.count(path) != 0; };
    auto at = [&cut](const char* path) { return cut.files.at(path); };
    bool is_new = cut.image_path == "out.img";
    ASSERT_TRUE(is_new || (has("out.img") && at("out.img") == "old image")) << "no image at the path, or another";
    if (is_new) {
        EXPECT_EQ(cut.image_bytes, TOTAL) << "named before its bytes were on stable storage";
        if (has("out.img.sha256")) {
            EXPECT_EQ(at("out.img.sha256"), fingerprint);
        }
        if (has("out.img.map")) {
            EXPECT_EQ(MapLines(at("out.img.map")), map);
        }
    } else {
        if (has("out.img.sha256")) {
            EXPECT_EQ(at("out.img.sha256"), OLD_FINGERPRINT);
        }
        if (has("out.img.map")) {
            EXPECT_EQ(at("out.img.map"), "# Mapfile of the old image\n");
        }
    }
    // A partial file's map beside no partial file (the image took the name
    // before the map went) is cleared by the next dump before it makes its
    // own partial file.
    if (has("out.img.part.map") && cut.image_path == "out.img.part") {
        EXPECT_LE(ReadPrefix(at("out.img.part.map")), cut.image_bytes) << "the map claims bytes not held";
    }
}

TEST(PowerCut, TheSetIsOldOrNewAfterEveryStep) {
    const Kind kinds[] = {
        {"complete", false, [](FakeState&) {}},
        {"rescued", true, [](FakeState& f) { f.bad_ranges = {{MIB, MIB + 512}}; }},
        {"failed read", true, [](FakeState& f) { f.drive_ends_at = 2 * MIB; }},
        {"interrupted", false, [](FakeState& f) { f.max_read = MIB / 2, f.interrupt_after = MIB; }},
        {"fingerprint not renamed", false,
         [](FakeState& f) { f.rename_error = 5, f.rename_fails_at = "out.img.sha256.part"; }},
        {"read back", false, [](FakeState&) {}, true},
        {"read back changed", false, [](FakeState& f) { f.corrupt_image_at = MIB; }, true},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        ResetFake(TOTAL);
        OldSet(*Fake, kind.rescue);
        kind.configure(*Fake);
        DumpKind(kind);
        int operations = Fake->operations;
        std::string fingerprint = Fake->files.count("out.img.sha256") ? Fake->files["out.img.sha256"] : "";
        std::string map = Fake->files.count("out.img.map") ? MapLines(Fake->files["out.img.map"]) : "";
        ASSERT_GT(operations, 5);
        for (int cut = 1; cut <= operations; ++cut) {
            SCOPED_TRACE(cut);
            ResetFake(TOTAL);
            OldSet(*Fake, kind.rescue);
            kind.configure(*Fake);
            Fake->cut_after = cut;
            DumpKind(kind);
            // The writer's pieces vary with the threads' pace: a run that
            // ended first is cut at its end.
            FakeState::Durable end = Fake->names;
            end.image_bytes = Fake->flushed_bytes;
            ExpectWhole(Fake->cut.taken ? Fake->cut : end, fingerprint, map);
        }
    }
}

// The partial file's map as kept while the dump runs: wherever the power
// is cut, the map that stable storage holds beside the partial file reads
// as a map of the whole drive, names it, and calls read only bytes that
// stable storage holds as the drive has them: in a dump of several chunks
// and in a rescue whose phases write into the image in place. (A dump
// stopped short keeps the map it had, or one written after its last flush:
// the test above.)
TEST(PowerCut, TheKeptMapNeverClaimsWhatStableStorageDoesNotHold) {
    constexpr uint64_t CHUNK = CHUNK_BYTES;
    const struct {
        const char* name;
        uint64_t total;
        bool rescue;
        void (*configure)(FakeState&);
    } kinds[] = {
        {"three chunks", 2 * CHUNK + 4096 + 512, false, [](FakeState&) {}},
        {"rescued", CHUNK + 2 * MIB, true,
         [](FakeState& f) { f.bad_ranges = {{MIB + 512, MIB + 1024}, {CHUNK + MIB, CHUNK + MIB + 4096}}; }},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        ResetFake(kind.total);
        kind.configure(*Fake);
        DumpDrive("drive", "out.img", kind.rescue, "korvex");
        const int operations = Fake->operations;
        int claiming = 0;  // cuts after which the map called some bytes read, short of all
        for (int cut = 1; cut <= operations; ++cut) {
            SCOPED_TRACE(cut);
            ResetFake(kind.total);
            kind.configure(*Fake);
            Fake->cut_after = cut;
            Fake->stop_at_cut = true;
            DumpDrive("drive", "out.img", kind.rescue, "korvex");
            const FakeState::Durable& at = Fake->cut;
            auto map = at.files.find("out.img.part.map");
            if (!at.taken || at.image_path != "out.img.part" || map == at.files.end()) continue;
            ParsedMap kept;
            std::string why;
            ASSERT_TRUE(ParseMap(map->second, kept, why)) << why << "\n" << map->second;
            EXPECT_TRUE(kept.has_drive && kept.drive.size == kind.total) << "the drive named";
            EXPECT_EQ(kept.size, kind.total) << "the map covers the drive";
            uint64_t read = 0;
            for (const MapArea& area : kept.areas) {
                if (area.status != READ) continue;
                read += area.size;
                EXPECT_TRUE(DurablyHeld(at, area.pos, area.pos + area.size))
                    << "read, says the map, at " << area.pos << " +" << area.size << "; on stable storage "
                    << at.image_bytes << "\n" << map->second;
            }
            claiming += read > 0 && read < kind.total;
        }
        EXPECT_GE(claiming, 2) << "the map is kept while the dump runs, not only at its end";
    }
}
}  // namespace
