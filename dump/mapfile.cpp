#include "dump/mapfile.h"

#include <cstring>

#include "dump/console.h"

namespace {
// The drive's lines, by the key each begins with after "# ".
constexpr char SIZE_KEY[] = "Drive size: ", SECTOR_KEY[] = "Drive sector size: ", OPENED_KEY[] = "Drive opened: ",
               MODEL_KEY[] = "Drive model: ", SERIAL_KEY[] = "Drive serial: ",
               FIRST_KEY[] = "Drive first MiB SHA-256: ";
constexpr char HEADING[] = "current_pos";

bool StartsWith(const std::string& text, const char* start) { return text.compare(0, std::strlen(start), start) == 0; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "0x" and up to 16 hex digits, as ddrescue writes its numbers: no more
// digits than a 64-bit number has, so that none overflows.
bool ParseHex(const std::string& field, uint64_t& value) {
    if (field.size() < 3 || field.size() > 18 || field[0] != '0' || (field[1] != 'x' && field[1] != 'X'))
        return false;
    value = 0;
    for (size_t at = 2; at < field.size(); ++at) {
        int digit = HexDigit(field[at]);
        if (digit < 0) return false;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    return true;
}

bool ParseDecimal(const std::string& field, uint64_t& value) {
    if (field.empty() || field.size() > 20) return false;
    value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    for (size_t at = 0; at < line.size();) {
        size_t start = line.find_first_not_of(" \t", at);
        if (start == std::string::npos) break;
        size_t end = line.find_first_of(" \t", start);
        if (end == std::string::npos) end = line.size();
        fields.push_back(line.substr(start, end - start));
        at = end;
    }
    return fields;
}

bool Fail(std::string& why, const std::string& text) {
    why = text;
    return false;
}

// A comment's drive line into the identity; false for a value that is not
// what its key names, or a key given twice.
bool DriveLine(const std::string& comment, ParsedMap& map, unsigned& seen, std::string& why) {
    struct Key {
        const char* key;
        std::string* text;
        uint64_t* number;
    };
    DriveIdentity& drive = map.drive;
    const Key keys[] = {{SIZE_KEY, nullptr, &drive.size},         {SECTOR_KEY, nullptr, &drive.sector_size},
                        {OPENED_KEY, &drive.opened, nullptr},     {MODEL_KEY, &drive.model, nullptr},
                        {SERIAL_KEY, &drive.serial, nullptr},     {FIRST_KEY, &drive.first_sha256, nullptr}};
    for (unsigned n = 0; n < sizeof keys / sizeof keys[0]; ++n) {
        if (!StartsWith(comment, keys[n].key)) continue;
        if (seen & (1u << n)) return Fail(why, "a drive line twice: " + comment);
        seen |= 1u << n;
        std::string value = comment.substr(std::strlen(keys[n].key));
        if (keys[n].number != nullptr) {
            if (!ParseDecimal(value, *keys[n].number)) return Fail(why, "not a number: " + comment);
        } else {
            *keys[n].text = value;
        }
        if (keys[n].text == &drive.first_sha256) {
            bool hex = value.size() == 64;
            for (char c : value) hex = hex && HexDigit(c) >= 0;
            if (!hex) return Fail(why, "not a SHA-256: " + comment);
        }
        return true;
    }
    return true;
}
}  // namespace

std::string MapValue(const std::string& text) { return EscapeLineEnds(text, false); }

std::string DriveLines(const DriveIdentity& drive) {
    std::string lines = "# " + std::string(SIZE_KEY) + std::to_string(drive.size) + "\n";
    lines += "# " + std::string(SECTOR_KEY) + std::to_string(drive.sector_size) + "\n";
    auto text = [&lines](const char* key, const std::string& value) {
        if (!value.empty()) lines += "# " + std::string(key) + MapValue(value) + "\n";
    };
    text(OPENED_KEY, drive.opened);
    text(MODEL_KEY, drive.model);
    text(SERIAL_KEY, drive.serial);
    text(FIRST_KEY, drive.first_sha256);
    return lines;
}

uint64_t DriveLinesBound(const DriveIdentity& drive) {
    DriveIdentity read = drive;
    read.first_sha256.assign(64, '0');
    return DriveLines(read).size();
}

bool ParseMap(const std::string& text, ParsedMap& map, std::string& why) {
    map = ParsedMap{};
    bool status_seen = false;
    unsigned drive_seen = 0;
    std::string last_comment;
    uint64_t end = 0;
    size_t number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t line_end = text.find('\n', at);
        if (line_end == std::string::npos) line_end = text.size();
        std::string line = text.substr(at, line_end - at);
        at = line_end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string where = "line " + std::to_string(number) + ": ";
        if (!line.empty() && line[0] == '#') {
            if (status_seen) continue;
            size_t start = line.find_first_not_of("# \t");
            std::string comment = start == std::string::npos ? "" : line.substr(start);
            // ddrescue names the phase on the line above the heading, where
            // ddrescuelog's maps have their start time instead.
            if (StartsWith(comment, HEADING)) {
                if (!StartsWith(last_comment, "Mapfile") && last_comment.find(':') == std::string::npos)
                    map.phase = last_comment;
                continue;
            }
            if (!DriveLine(comment, map, drive_seen, why)) return Fail(why, where + why);
            last_comment = comment;
            continue;
        }
        std::vector<std::string> fields = Fields(line);
        if (fields.empty()) continue;
        if (!status_seen) {
            uint64_t pass = 0;
            if (fields.size() < 2 || fields.size() > 3 || !ParseHex(fields[0], map.current_pos) ||
                fields[1].size() != 1 || std::string("?*/-FG+").find(fields[1][0]) == std::string::npos ||
                (fields.size() == 3 && (!ParseDecimal(fields[2], pass) || pass == 0 || pass > 1000)))
                return Fail(why, where + "not a status line: " + line);
            map.current_status = fields[1][0];
            map.current_pass = static_cast<int>(pass);
            status_seen = true;
            continue;
        }
        MapArea area{};
        if (fields.size() != 3 || !ParseHex(fields[0], area.pos) || !ParseHex(fields[1], area.size) ||
            fields[2].size() != 1 || std::string("+-*/?").find(fields[2][0]) == std::string::npos)
            return Fail(why, where + "not an area: " + line);
        area.status = fields[2][0];
        if (area.pos != end) return Fail(why, where + (area.pos < end ? "overlaps the area before" : "leaves a gap"));
        if (area.size == 0 || area.size > UINT64_MAX - area.pos) return Fail(why, where + "an area of no size, or past 2^64");
        end = area.pos + area.size;
        map.areas.push_back(area);
    }
    if (!status_seen) return Fail(why, "no status line");
    map.size = end;
    // The size and the sector size name the drive; a map with one of them
    // only was cut or altered.
    const unsigned size_bit = 1u, sector_bit = 2u;
    map.has_drive = (drive_seen & (size_bit | sector_bit)) == (size_bit | sector_bit);
    if ((drive_seen & (size_bit | sector_bit)) != 0 && !map.has_drive) return Fail(why, "a drive's size without its sector size, or the other way");
    if (map.has_drive && map.drive.size != end)
        return Fail(why, "the areas end at " + std::to_string(end) + ", the drive's size is " + std::to_string(map.drive.size));
    return true;
}
