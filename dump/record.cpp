#include "dump/record.h"

#include <algorithm>
#include <cstdio>

#include "dump/console.h"
#include "dump/fingerprint.h"
#include "dump/image.h"

std::string RecordPath(const std::string& image_path) { return image_path + ".info"; }

// The civil date of a day count, by the proleptic Gregorian calendar's
// 400-year cycle (146097 days), counted from 0000-03-01 so that a leap day
// ends each year; the C library's gmtime is not the same call everywhere.
std::string UtcText(int64_t seconds) {
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t of_era = days - era * 146097;
    int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    int64_t day_of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t month_index = (5 * day_of_year + 2) / 153;
    int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
    int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
    int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return text;
}

namespace {
std::string Fixed(double value, int decimals) {
    char text[400];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}
}  // namespace

std::string RecordText(const Acquisition& a) {
    std::string text;
    // A Windows path reads as it is; only a value with a line end has its
    // backslashes doubled too, so that it still reads back one way.
    auto line = [&text](const char* key, const std::string& value) {
        bool ends = value.find_first_of("\r\n") != std::string::npos;
        text += std::string(key) + ": " + EscapeLineEnds(value, ends) + "\n";
    };
    line("korvex", KORVEX_VERSION);
    line("command", a.command_line);
    line("drive", a.drive);
    line("drive_opened", a.facts.opened);
    line("drive_bytes", std::to_string(a.drive_bytes));
    line("sector_size", std::to_string(a.sector_size));
    if (!a.facts.model.empty()) line("model", a.facts.model);
    if (!a.facts.serial.empty()) line("serial", a.facts.serial);
    line("start", UtcText(a.start));
    line("end", UtcText(a.end));
    line("duration_seconds", Fixed(a.seconds, 3));
    // Of the bytes this run read from the drive.
    uint64_t read = a.drive_bytes - std::min(a.resumed_from, a.drive_bytes);
    line("mean_speed_mb_s", Fixed(a.seconds > 0 ? read / a.seconds / 1e6 : 0, 1));
    line("mode", a.rescue ? "rescue" : "plain");
    if (a.resumed) line("resumed_from", std::to_string(a.resumed_from));
    if (a.rescue) {
        line("unreadable_bytes", std::to_string(a.unreadable));
        line("map", FileName(MapPath(a.image)));
    }
    line("image", FileName(a.image));
    line("format", FormatName(a.format));
    if (a.format != RAW) line("level", std::to_string(a.level));
    line("image_bytes", std::to_string(a.image_bytes));
    line("drive_sha256", DigestHex(a.drive_digest));
    line("image_sha256", DigestHex(a.image_digest));
    line("verified", a.verified ? "yes" : "no");
    if (a.verified) line("verify_seconds", Fixed(a.verify_seconds, 3));
    return text;
}
