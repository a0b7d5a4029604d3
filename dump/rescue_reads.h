// The reads the rescue's phases share.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Reads length bytes at drive offset at into buffer, which has room for
// them rounded up to sector (aligned as the drive's unbuffered reads need).
// 1 when read; 0 when the drive could not give them (a bad area: its code
// in failed, 0 for a sector that came back in part); -1 when the drive
// cannot be read on at all (it ended early, its position cannot be set:
// the code in error).
int ReadAt(FileHandle drive, uint64_t at, uint64_t length, uint64_t sector, char* buffer, ErrorCode& failed,
           ErrorCode& error);
