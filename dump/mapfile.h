// GNU ddrescue's mapfile, the single record of what was read: the lines
// that name the drive, which Korvex writes among its comments, and the
// reading of a map, Korvex's or one that ddrescue rewrote after taking it
// over. ddrescue skips every line that begins with "#", so the drive's
// lines are comments to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// ddrescue's block statuses.
constexpr char READ = '+', NOT_TRIED = '?', NOT_TRIMMED = '*', NOT_SCRAPED = '/', BAD_SECTOR = '-';

struct MapArea {
    uint64_t pos, size;
    char status;
};

// The bytes whose SHA-256 names the drive: its first MiB, or all of a
// smaller drive.
constexpr uint64_t FIRST_BYTES = 1048576;

// What a map tells of the drive it was made of, so that a later run can
// tell that a drive is the one in the map. Texts stand as the map holds
// them: line ends escaped (MapValue), compared with a drive's own texts
// escaped the same way.
struct DriveIdentity {
    uint64_t size = 0;         // bytes
    uint64_t sector_size = 0;  // bytes
    std::string opened;        // as DescribeDrive tells them; empty: not told
    std::string model;
    std::string serial;
    std::string first_sha256;  // hex, of the FIRST_BYTES; empty until read whole
};

// A text as a comment's value holds it: its line ends escaped, as the
// command line's are, so that it cannot end the comment.
std::string MapValue(const std::string& text);

// The comment lines that name the drive, "# Drive size: N" and the rest,
// each line that the identity has a text for.
std::string DriveLines(const DriveIdentity& drive);

// The most DriveLines can take once the first bytes' digest is known.
uint64_t DriveLinesBound(const DriveIdentity& drive);

// A map as read.
struct ParsedMap {
    std::vector<MapArea> areas;  // in order from 0, without gap or overlap
    uint64_t size = 0;           // where the areas end
    uint64_t current_pos = 0;
    char current_status = NOT_TRIED;  // ddrescue's: one of "?*/-FG+"
    int current_pass = 0;             // 0: the map has none (ddrescue before 1.20)
    // The comment that names the phase, without "# ", as it stands just
    // above the status line's heading ("Finished", "Trimming failed
    // blocks..."); empty where there is none.
    std::string phase;
    // The drive's lines; has_drive once its size and sector size are
    // there, which ddrescue's own maps never have.
    bool has_drive = false;
    DriveIdentity drive;
};

// Reads a mapfile's text. False, with why set, for anything malformed: no
// status line, a number that is not "0x" and hex digits or that overflows,
// a status not ddrescue's, areas that do not cover 0 to their end in order
// or that are empty, a drive line whose value is not what it names, a
// drive size other than the areas' end, a line with fields missing or too
// many.
bool ParseMap(const std::string& text, ParsedMap& map, std::string& why);
