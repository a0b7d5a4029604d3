// The image written in place after the copy, and hashed back: the rescue's
// later phases put what they read where it belongs, out of the copy's order.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Writes the drive's bytes [from, to) into the image of total bytes in
// place. data holds the drive's bytes from base (a multiple of IO_ALIGN)
// at an IO_ALIGN-aligned address. Blocks the bytes fill only in part are
// read from the image first: unbuffered writes are whole blocks.
bool PatchImage(FileHandle image, uint64_t total, const char* data, uint64_t base, uint64_t from, uint64_t to,
                ErrorCode& error);

// The image's first length bytes as stored, read back without the cache,
// added to hash after what it holds. False, with the code, when the image
// cannot be read back or the hash fails, and at an interrupt; the hash is
// left to the caller either way. stopped, where given, is asked after each
// piece: once it says so, the read-back ends there, false without a code.
bool AddImageToHash(FileHandle image, uint64_t length, HashHandle hash, ErrorCode& error,
                    bool (*stopped)() = nullptr);

// The SHA-256 of the image's total bytes as stored, read back without the
// cache. False, with the code, when the image cannot be read back or the
// hash fails, and at an interrupt.
bool HashImage(FileHandle image, uint64_t total, uint8_t (&digest)[DIGEST_BYTES], ErrorCode& error);
