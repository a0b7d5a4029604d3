// Rescue mode: a read that fails does not end the dump. The drive is read
// in phases, the readable parts first, so that the effort grows with the
// bad sectors rather than with the size of a dead area:
// 1. copying, forwards, at full speed through the chunk queue: a failed
//    transfer is read again in RESCUE_BLOCK blocks; a block that fails is
//    marked not trimmed ('*') and the reader skips ahead, farther after
//    every block that fails, leaving the skipped bytes not tried ('?');
// 2. far edges, backwards: each skipped area that ends in read data (or at
//    the drive's end) is read from that end until a block fails, so that
//    the data behind a dead area is found from its far side;
// 3. trimming: each failed area's edges beside read data are read sector
//    by sector until a sector fails ('-' bad); the rest is not scraped ('/');
// 4. copying what the skips left between failed blocks, forwards, block by
//    block, and trimming the edges that finds;
// 5. scraping: every sector not scraped is read once.
// The phases after the far edges stop once they have met the bound of
// failed reads; what they have not tried keeps its status. Bytes not read are zeros in
// the image. The map is the single record of what was read, written beside
// the image in GNU ddrescue's mapfile format, so that ddrescue can go on
// where Korvex stopped and retry only what is missing.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "dump/mapfile.h"
#include "platform/platform.h"

// The unit of the copying phases' reads after a failure, and the first skip.
constexpr uint64_t RESCUE_BLOCK = 64 * 1024;

// What was read of a drive of total bytes: areas in drive order, covering
// it, neighbours of one status joined; at first all not tried.
// One thread marks it (the reader, then the rescue's phases); another may
// take its text meanwhile (the map kept current while the copy runs), so
// the marks and the text take turns. Only the marking thread asks the
// areas themselves.
class DriveMap {
public:
    DriveMap(uint64_t total, const std::string& command_line);
    // The drive it is the map of, named in its text (mapfile.h).
    void Identify(const DriveIdentity& drive);
    // The SHA-256 of the drive's first bytes, once read whole (hex).
    void FirstBytesRead(const std::string& digest);
    void Mark(uint64_t pos, uint64_t size, char status);
    // What the map of a dump that stopped told (areas covering the drive,
    // as ParseMap gives them), with every byte from from on not tried, since
    // the copy goes on there.
    void Restore(const std::vector<MapArea>& areas, uint64_t from);
    // How often it was marked or its phase changed: a map text taken at
    // one count tells all that the map told then.
    uint64_t Changes() const;
    // The area holding pos (pos < total).
    const MapArea& At(uint64_t pos) const;
    const std::vector<MapArea>& Areas() const { return areas_; }
    uint64_t Total() const { return total_; }
    // The bytes not read: zeros in the image.
    uint64_t UnreadBytes() const;
    // The phase running, as ddrescue's current status: '?' copying, '*'
    // trimming, '/' scraping; and its pass.
    void StartPhase(char status, int pass);
    // The map's text with every byte from held_to on not tried (what the
    // image does not hold yet); finished: the rescue is over.
    std::string Text(uint64_t held_to, bool finished) const;
    // Bytes the text can take up once lines more areas are listed.
    uint64_t BytesBound(uint64_t lines) const;

private:
    mutable std::mutex lock_;
    std::vector<MapArea> areas_;
    uint64_t total_;
    std::string command_;
    int64_t started_;
    char phase_ = NOT_TRIED;
    int pass_ = 1;
    DriveIdentity drive_;
    uint64_t changes_ = 0;
};

// Makes sure of room for a map of up to map_bytes before the map grows, so
// that it can be written whenever the dump stops: false, with the code,
// when there is none.
struct MapRoom {
    bool (*keep)(void* context, uint64_t map_bytes, ErrorCode& error);
    void* context;
};

enum Rescued {
    RESCUED,      // every byte read, or zero-filled and listed
    NOT_RESCUED,  // the drive cannot be read on at all: it ended early, is
                  // gone, its position cannot be set (the code set)
    STOPPED,      // an interrupt came
    NO_MAP_ROOM,  // the map cannot grow, or cannot be kept current (the code set)
    NOT_WRITTEN,  // the image cannot be written in place (the code set)
};

// Brings the map beside the partial file up to date with map as it stands,
// the image's bytes brought to stable storage first: RESCUED, NO_MAP_ROOM
// when the map cannot be written, NOT_WRITTEN when the image cannot be
// flushed (the code set).
struct MapKeeping {
    Rescued (*keep)(void* context, const DriveMap& map, ErrorCode& error);
    void* context;
};

// The copying phase's state, carried from one transfer to the next: the
// skip runs on past transfers and chunks while blocks keep failing.
struct CopyPhase {
    DriveMap& map;
    MapRoom room;
    uint64_t skip = 0;     // the last skip, 0 after a block that read
    uint64_t skip_to = 0;  // bytes below this are skipped
    uint64_t sector;       // the drive's, asked once
};

// True when the transfer at offset is to go to RescueTransfer unread: the
// reader is skipping or moving out of a failed area.
bool Skipping(const CopyPhase& copy, uint64_t offset);

// Reader: the transfer of length bytes at drive offset offset, into data
// (the chunk's buffer at that offset), failed or is skipped. Reads what it
// can of it in blocks, zero-fills the rest, lists both in the map (the
// map's room kept ahead) and leaves the drive's position at its end.
Rescued RescueTransfer(CopyPhase& copy, FileHandle drive, char* data, uint64_t offset, uint64_t length,
                       ErrorCode& error);

// The phases after copying, on a drive and an image that can be written
// in place; failed_reads bounds all but the far edges. rewrote: bytes went
// into the image out of order, so the hash of the copy is no longer its.
// The map beside the partial file is kept current through kept: as the
// phases begin and at each phase's start, and between reads at least every
// MAP_KEPT_EVERY while the map changes.
Rescued FinishRescue(DriveMap& map, FileHandle drive, FileHandle image, MapRoom room, MapKeeping kept,
                     uint64_t failed_reads, bool& rewrote, ErrorCode& error);

// A failed read: whether the drive is still there, by a sector the map
// says read. A USB drive pulled out, or the server behind a loop device
// ended, answers EIO as a bad sector does.
bool StillThere(const DriveMap& map, FileHandle drive, uint64_t at, ErrorCode failed);
