#include "app/list.h"

#include <array>
#include <cstring>

#include "dump/console.h"
#include "dump/messages.h"

namespace {
struct Cell {
    std::string text;   // in the console's encoding
    size_t width = 0;   // the places it takes on a terminal
    bool known = false;
};

// East Asian wide characters take two places on a terminal; a byte that is
// no part of UTF-8 is shown as one.
bool Wide(uint32_t c) {
    return (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf && c != 0x303f) ||
           (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) || (c >= 0xfe30 && c <= 0xfe4f) ||
           (c >= 0xff00 && c <= 0xff60) || (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x20000 && c <= 0x3fffd);
}

size_t Utf8Width(const std::string& text) {
    size_t width = 0;
    for (size_t at = 0; at < text.size();) {
        auto lead = static_cast<unsigned char>(text[at]);
        size_t length = lead < 0x80 ? 1 : lead >= 0xf0 && lead < 0xf5 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
        uint32_t c = length == 4 ? lead & 0x07u : length == 3 ? lead & 0x0fu : lead & 0x1fu;
        bool whole = length > 0 && at + length <= text.size();
        for (size_t k = 1; whole && k < length; ++k) {
            auto next = static_cast<unsigned char>(text[at + k]);
            whole = (next & 0xc0) == 0x80;
            c = c << 6 | (next & 0x3fu);
        }
        if (!whole || length == 1) {
            width += 1;
            at += 1;
            continue;
        }
        width += Wide(c) ? 2 : 1;
        at += length;
    }
    return width;
}

// A text of messages.h: in GBK each byte takes one place.
Cell Message(const char* gbk) { return {ConsoleMessage(gbk), std::strlen(gbk), true}; }

// A text the system gave: its control characters shown, never acted on.
Cell Field(const std::string& utf8) {
    std::string shown = EscapeControls(utf8);
    return {ConsoleText(shown), Utf8Width(shown), !shown.empty()};
}

Cell Unknown() { return {"?", 1, false}; }

enum Column { NAME, SIZE, BUS, REMOVABLE, SYSTEM, FILE_SYSTEM, MOUNT, MODEL, COLUMNS };
using Row = std::array<Cell, COLUMNS>;

Row DriveRow(const DriveInfo& drive) {
    Row row;
    Cell name = Field(drive.name);
    if (drive.within) name = {"  " + name.text, name.width + 2, true};
    row[NAME] = name;
    row[SIZE] = drive.size_known ? Field(SizeText(drive.size)) : Unknown();
    row[BUS] = Field(drive.bus);
    row[REMOVABLE] = drive.removal == DriveInfo::UNKNOWN ? Unknown()
                     : Message(drive.removal == DriveInfo::REMOVABLE ? MSG_LIST_YES : MSG_LIST_NO);
    row[SYSTEM] = drive.system ? Message(MSG_LIST_YES) : Cell{};
    row[FILE_SYSTEM] = Field(drive.file_system);
    row[MOUNT] = Field(drive.mount);
    row[MODEL] = Field(drive.model);
    return row;
}

// Tenths of unit in bytes, rounded.
uint64_t Tenths(uint64_t bytes, uint64_t unit) {
    return bytes / unit * 10 + (bytes % unit * 10 + unit / 2) / unit;
}

// In the largest of the units (each step times larger than the one before)
// that shows at least one: below a step once rounded, as 1023.97 MiB is
// shown as 1.0 GiB.
std::string InUnits(uint64_t bytes, uint64_t step, const char* const (&names)[5]) {
    uint64_t unit = step;
    size_t at = 0;
    for (; at < 4 && Tenths(bytes, unit) >= step * 10; ++at) unit *= step;
    uint64_t tenths = Tenths(bytes, unit);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + names[at];
}
}  // namespace

std::string SizeText(uint64_t bytes) {
    static const char* const DECIMAL[] = {"kB", "MB", "GB", "TB", "PB"};
    static const char* const BINARY[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1000) return std::to_string(bytes) + " B";
    std::string binary = bytes < 1024 ? std::to_string(bytes) + " B" : InUnits(bytes, 1024, BINARY);
    return InUnits(bytes, 1000, DECIMAL) + " (" + binary + ")";
}

std::vector<std::string> DriveTable(const std::vector<DriveInfo>& drives) {
    std::vector<Row> rows(1);
    const char* const HEADS[COLUMNS] = {MSG_LIST_DRIVE, MSG_LIST_SIZE,        MSG_LIST_BUS,   MSG_LIST_REMOVABLE,
                                        MSG_LIST_SYSTEM, MSG_LIST_FILE_SYSTEM, MSG_LIST_MOUNT, MSG_LIST_MODEL};
    for (size_t column = 0; column < COLUMNS; ++column) rows[0][column] = Message(HEADS[column]);
    for (const DriveInfo& drive : drives) rows.push_back(DriveRow(drive));

    std::array<size_t, COLUMNS> widths{};
    std::array<bool, COLUMNS> shown{};
    shown[NAME] = true;
    for (size_t at = 1; at < rows.size(); ++at)
        for (size_t column = 0; column < COLUMNS; ++column) shown[column] = shown[column] || rows[at][column].known;
    for (const Row& row : rows)
        for (size_t column = 0; column < COLUMNS; ++column)
            if (row[column].width > widths[column]) widths[column] = row[column].width;

    std::vector<std::string> lines;
    for (const Row& row : rows) {
        std::string line;
        size_t pending = 0;  // blanks owed before the next text: a line ends without them
        for (size_t column = 0; column < COLUMNS; ++column) {
            if (!shown[column]) continue;
            if (!row[column].text.empty()) {
                line += std::string(pending, ' ') + row[column].text;
                pending = 0;
            }
            pending += widths[column] - row[column].width + 2;
        }
        lines.push_back(line);
    }
    return lines;
}

void ShowDrives() {
    for (const std::string& line : DriveTable(ListDrives())) PrintLine(line);
}
