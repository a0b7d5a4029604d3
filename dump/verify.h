// --verify: the image read back from its storage, without the cache, once
// it is flushed, and compared with what was written, before it takes its
// name. A target that returns other bytes than it was given (a stick that
// claims more room than it has, a failing disk) is found while the drive's
// bytes can still be read again, not when the image is needed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dump/codec.h"
#include "dump/rescue.h"
#include "platform/platform.h"

// What the image was when written.
struct WrittenImage {
    // A compressed image: decoded as it is read back, its bytes not the
    // drive's. nullptr: a raw image of total bytes.
    const Codec* codec = nullptr;
    uint64_t total = 0;  // the drive's bytes
    // The file's bytes as written: a compressed file's own hash, a raw
    // image's the drive's as read (after a rescue's later phases, the
    // image's as they left it).
    uint8_t file_digest[DIGEST_BYTES] = {};
    // The drive's bytes as read, where they are not the file's: decoded
    // from a compressed image; or, after a rescue whose later phases wrote
    // into the image, the copy's bytes: the image where copied says read,
    // zeros elsewhere (as the copy wrote them there).
    bool content_known = false;
    uint8_t content_digest[DIGEST_BYTES] = {};
    std::vector<MapArea> copied;  // empty: the content is the whole file's
};

enum ReadBack {
    SAME,          // every byte as written
    DIFFERENT,     // other bytes, fewer or more, or a compressed file that does not decode
    UNREADABLE,    // a read failed: the target may not hold what it was given
    NOT_COMPARED,  // stopped short of the end: an interrupt, no memory, the hash or decoder failing
};

// Reads the image back from offset 0 to total (a raw image, a file or a
// disk) or to the file's end (a compressed one), without the cache, and
// compares. Each of the last two sets line, the line of what stopped it.
ReadBack ReadImageBack(FileHandle image, const WrittenImage& written, std::string& line);
