// The acquisition record beside a file image, IMAGE.info: what was imaged,
// how, when, and what it hashed to, as plain UTF-8 "key: value" lines that
// a person reads and a script splits at the first ": ". Part of the
// image's set (image.h): written under a partial name, renamed with the
// image and retired with it. Its first line names the program, so that a
// file at its name that is something else is never replaced.
#pragma once

#include <cstdint>
#include <string>

#include "dump/codec.h"
#include "platform/platform.h"

// The record's first key, and so what a record begins with.
constexpr char RECORD_START[] = "korvex: ";

struct Acquisition {
    std::string command_line;
    std::string drive;  // as given
    DriveFacts facts;
    uint64_t drive_bytes = 0;
    size_t sector_size = 0;
    int64_t start = 0, end = 0;  // seconds since 1970-01-01 UTC
    double seconds = 0;          // the dump's duration, by the steady clock
    bool rescue = false;
    // A dump that went on where one stopped: the drive's bytes before this
    // were read back from the partial file, not from the drive.
    bool resumed = false;
    uint64_t resumed_from = 0;
    uint64_t unreadable = 0;     // a rescue's bytes the image does not hold
    std::string image;           // the image's path as named
    ImageFormat format = RAW;
    int level = 0;
    uint64_t image_bytes = 0;
    uint8_t drive_digest[DIGEST_BYTES] = {};
    uint8_t image_digest[DIGEST_BYTES] = {};
    bool verified = false;       // read back and found as written (--verify)
    double verify_seconds = 0;   // the read-back's duration, by the steady clock
};

// Where the record goes: the image path with ".info" appended.
std::string RecordPath(const std::string& image_path);

// seconds since 1970-01-01 UTC in ISO 8601: "2026-12-09T23:30:00Z".
std::string UtcText(int64_t seconds);

// The record's lines. Names are given as file names (the record moves with
// the image); a model or serial the system did not tell has no line; a
// value's line ends are escaped, so that each key stands on one line.
std::string RecordText(const Acquisition& acquisition);
