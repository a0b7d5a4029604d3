// Rescue mode: a read that fails does not end the dump. The failed transfer
// is read again sector by sector; sectors that still fail are zero-filled
// and listed as bad, and after a run of them the rest of the transfer is
// zero-filled and listed as not tried, so that a dead area costs seconds.
// The list is the map: the single record of what the image holds, written
// beside it in GNU ddrescue's mapfile format, so that ddrescue can go on
// where Korvex stopped and retry only what is missing.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

// Whether the current dump rescues: set before the reader starts.
extern bool Rescuing;

// After this many bytes of consecutive bad sectors the rest of the transfer
// is given up.
constexpr uint64_t RESCUE_GIVE_UP = 64 * 1024;

// An empty map for a dump of total bytes, named by the command line.
void StartRescueMap(uint64_t total, const std::string& command_line);

// Makes sure of room for a map of up to map_bytes before the map grows, so
// that it can be written whenever the dump stops: false, with the code,
// when there is none.
struct MapRoom {
    bool (*keep)(void* context, uint64_t map_bytes, ErrorCode& error);
    void* context;
};

enum Rescued {
    RESCUED,      // every sector read, or zero-filled and listed
    NOT_RESCUED,  // the drive cannot be read on at all (it ended early, is
                  // gone, its position cannot be set) or an interrupt came
    NO_MAP_ROOM,  // the map cannot grow
};

// Reader: the transfer of length bytes at drive offset offset, into data,
// failed. Reads it again sector by sector, none past the map's total, the
// map's room kept ahead of each block it lists. The code with a failure.
Rescued RescueTransfer(FileHandle drive, char* data, uint64_t offset, uint64_t length, MapRoom room,
                       ErrorCode& error);

// Bytes the map can take up once lines more lines are listed.
uint64_t MapBytesBound(uint64_t lines);

// The bytes listed as bad or not tried below end.
uint64_t UnreadBytes(uint64_t end);

// The map: below done as read (the listed bytes bad or not tried, the rest
// finished), from done on not tried. finished: the run is over.
std::string RescueMapText(uint64_t done, bool finished);
