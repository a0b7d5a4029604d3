// Going on with a dump that stopped: what it left beside the image's name
// is found, its map read, and the drive checked against the map, so that
// the copy goes on where the bytes the map calls held end and nothing it
// calls read is read again or overwritten.
#pragma once

#include <cstdint>
#include <string>

#include "dump/mapfile.h"
#include "platform/platform.h"

// What a stopped dump left at a file image's path.
enum Left {
    NOTHING_LEFT,
    // A partial file and its map (IMAGE.part, IMAGE.part.map): a dump that
    // failed, was interrupted or killed.
    PARTIAL_LEFT,
    // No partial file, but a file at the image's name and a map beside it
    // (IMAGE, IMAGE.map): a rescued image, perhaps carried on by ddrescue,
    // which a rescue goes on from rather than replace with a worse one.
    IMAGE_LEFT,
};

// The longest map read: some 1.5 million areas.
constexpr size_t MAP_LIMIT = 64 * 1048576;

// Which of them stands at path (ImageFilePath's), with its map's text.
Left FindLeft(const std::string& path, std::string& map_text);

// Where the map's last run of bytes not tried begins; its end where it
// ends in bytes tried.
uint64_t LastNotTried(const ParsedMap& map);

// Where the copy goes on, a multiple of IO_ALIGN (or the drive's end): a
// plain dump's from the block that holds the first byte not tried, read
// again; a rescue's from the block after it, so that no byte it read is
// read again and zero-filled where it fails now (the phases read the rest).
uint64_t GoOnFrom(const ParsedMap& map, bool rescue);

// Where the map's last area read ends: the image holds at least that.
uint64_t HeldEnd(const ParsedMap& map);

// True when the map tells of bytes before from that were not read: a
// rescue's, whose later phases are to go on.
bool RescueLeft(const ParsedMap& map, uint64_t from);

// True when the drive as it stands now is the one the map names: the same
// size, and where the map tells them the same sector size, model and
// serial, and the same SHA-256 of the first bytes (now's empty: they could
// not be read). ddrescue's own maps tell only the size.
bool SameDrive(const ParsedMap& map, const DriveIdentity& now);

// The SHA-256 (hex) of the drive's first length bytes (length at most
// FIRST_BYTES), read without the cache from offset 0. False, with the code.
bool DriveStartDigest(FileHandle drive, uint64_t length, std::string& hex, ErrorCode& error);

// The same of a rewritable image's first length bytes, read back.
bool ImageStartDigest(FileHandle image, uint64_t length, std::string& hex, ErrorCode& error);
