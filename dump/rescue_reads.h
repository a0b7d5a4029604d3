// The reads the rescue's phases share.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum { READ_FAILED = 0, READ_ALL = 1, READ_SHORT = 2 };

// Reads length bytes at drive offset at into buffer, which has room for
// them rounded up to sector (aligned as the drive's unbuffered reads need).
// READ_ALL; READ_SHORT when the drive gave fewer, got whole sectors, with
// no error: a read stops short at trouble (FUSE's, and a device's part
// way through a failure), and asking again for the rest would fail there,
// so the rest is not asked for; READ_FAILED when it could not give them
// (its code in failed, 0 for a sector that came back in part); -1 when the
// drive cannot be read on at all (it ended early, its position cannot be
// set: the code in error).
int ReadAt(FileHandle drive, uint64_t at, uint64_t length, uint64_t sector, char* buffer, uint64_t& got,
           ErrorCode& failed, ErrorCode& error);
