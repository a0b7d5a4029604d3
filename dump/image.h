// The image's set: the image and the files beside it that describe it, its
// fingerprint (IMAGE.sha256), its acquisition record (IMAGE.info, record.h)
// and, after a rescue, its map (IMAGE.map). A
// file image is written as IMAGE.part and takes its name only once
// complete, flushed and fingerprinted; a dump that stops keeps it there,
// with IMAGE.part.map beside it telling what it holds (but for a compressed
// image, whose bytes no map can place). The files beside are written under
// their own partial names (IMAGE.sha256.part, IMAGE.info.part,
// IMAGE.map.part, IMAGE.part.map.part) and renamed into place.
//
// Whenever a dump stops, a file at a name of the set describes the image
// at IMAGE (or the partial file at IMAGE.part); one that cannot is gone:
// the old set is retired as a whole when the new image takes the name.
// Until then nothing at IMAGE, its fingerprint's or its map's name is
// emptied or removed, and a device as the image is written as it stands.
#pragma once

#include <cstdint>
#include <string>

#include "dump/resume.h"
#include "platform/platform.h"

struct Image {
    std::string path;  // as the file is named (ImageFilePath)
    FileHandle handle = -1;
    uint64_t total = 0;    // the drive's size: the image's when complete
    // A new file rather than a device: written under PartialPath(path)
    // until PublishImage names it, with its set beside it.
    bool is_file = false;
    bool mapped = false;   // a file and a rescue: the map goes with the image
    // Compressed: its bytes are not the drive's at the drive's offsets, so
    // no room is reserved for the drive's size and no map describes it.
    bool compressed = false;
    uint64_t record_bytes = 0;  // the most its record takes
    uint64_t beside = 0;   // room reserved for the files beside it
    bool flush_failed = false;
    bool map_kept = false;  // a map of this dump stands beside its partial file (KeepMapCurrent)
    // The partial file a stopped dump left, gone on with (OpenLeftImage):
    // never given up, whatever stops this dump.
    bool resumed = false;
};

std::string PartialPath(const std::string& path);

// Closes a drive or image where a failure to close says nothing new.
void CloseQuietly(FileHandle file);

// Where a map goes: beside the image (a rescue's), and beside its partial
// file after a failure.
std::string MapPath(const std::string& image_path);

// Opens the image at the path given for a dump of the request's bytes, refusing a
// path where it or a file of its set would take the drive's name, or lie
// on storage it lies on; with room reserved for the image and the files
// beside it, every name of the set tried, and what an earlier dump left of
// a set beside a partial file that is gone removed. A rescue's map may take
// map_bytes before the reader asks for more (KeepMapRoom). False after the
// failure's line, with nothing left behind.
struct ImageRequest {
    uint64_t total;        // the drive's bytes
    bool mapped;           // a rescue
    uint64_t map_bytes;    // the room its map may take at first
    bool compressed;
    uint64_t record_bytes; // the room its record takes
};
bool CreateImageFor(FileHandle drive, const std::string& given, const ImageRequest& request, Image& image);

// What a stopped dump left (resume.h), to go on with: which it is, its
// map's text, and what the image must hold to be the one the map tells of.
struct LeftImage {
    Left left = NOTHING_LEFT;
    std::string map_text;
    uint64_t held_end = 0;     // where the map's last area read ends
    uint64_t start_bytes = 0;  // the image's first bytes, which the map calls read, and
    std::string start_digest;  // the drive's SHA-256 of them (hex)
};

// Opens what a stopped dump left for a dump of the request's bytes to go
// on with it: its partial file, or a rescued image made that again (its
// map copied beside it as the partial file's, then the image renamed to
// its partial name, and once it is open and found to be the map's, its
// fingerprint, record and map removed: they describe no image at IMAGE).
// The partial file must hold the bytes its map calls read, and its first
// bytes be the drive's, else the map is not its. The set's names are
// checked and cleared as for a new image; room is reserved as CreateImageFor
// reserves it. size: the partial file's bytes. False after the failure's
// line, with what was left as it was.
bool OpenLeftImage(FileHandle drive, const std::string& given, const ImageRequest& request, const LeftImage& left,
                   Image& image, uint64_t& size);

// Reader: the map now takes up to map_bytes; room for it is reserved as it
// grows, so that the map is sure of its room when the dump ends. False,
// with the code, when the file system has no more.
bool KeepMapRoom(Image& image, uint64_t map_bytes, ErrorCode& error);

// While the dump runs, on the thread that keeps the partial file's map
// (which alone touches flush_failed and map_kept meanwhile): the image's
// bytes are brought to stable storage (SyncImage), unless claims is false,
// and then map_text, taken before that so that it calls held only bytes
// written before it, replaces the map beside the partial file, written as
// every file of the set is. Its room is the map's, reserved as the map
// grows by whoever marks it (KeepMapRoom), so that the text always fits.
// Nothing is written while the partial file is not where it was made: the
// image is then named nowhere, as PublishImage finds. False, with the
// line's message and the code: the image's write line when it cannot be
// synced (flush_failed is then set), the map's when the map cannot be
// written. A compressed image, or one that is no file, has no map to keep.
bool KeepMapCurrent(Image& image, const std::string& map_text, bool claims, const char*& failure, ErrorCode& error);

// Before the first read: the image is given up and its partial file removed
// (but one a stopped dump left, which is only closed).
void DiscardImage(Image& image);

// After a failure once reading began: the partial file is kept under its
// partial name, cut back to the bytes written (the drive's first bytes) and
// flushed, with map_text, its map, beside it only once those bytes are on
// stable storage; an empty map_text: no map. Quiet: the failure's line is
// said already.
void KeepPartialImage(Image& image, const std::string& map_text);

// The complete image's bytes brought to stable storage, before it is read
// back or named. False after the write error's line, the partial file kept
// without a map (a power cut may still take back what a failed flush held).
bool FlushWholeImage(Image& image, const std::string& map_text);

enum Published {
    NOT_PUBLISHED,  // its line said; IMAGE and its set are as they were
    NAMED_ONLY,     // its line said; IMAGE is the new image, its set not complete or not flushed
    PUBLISHED,      // IMAGE is the new image, flushed, with its own set
};

// After a complete copy: the image flushed (FlushWholeImage; at once where
// it was flushed before it was read back); its fingerprint and map
// written and flushed under partial names; the old fingerprint and map set
// aside; the image renamed into place (the old ones put back if it cannot
// be); then its fingerprint and map renamed into place and the old ones
// removed.
// record_text is the acquisition record (record.h), written as the
// fingerprint is.
Published PublishImage(Image& image, const uint8_t (&digest)[DIGEST_BYTES], const std::string& map_text,
                       const std::string& record_text);
