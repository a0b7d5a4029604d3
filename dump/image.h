// The image's life: created as a partial file beside the image path (or a
// device opened as it stands), filled by the writer, and only once complete
// flushed, fingerprinted and renamed into the image's name, its rescue map
// (when it has one) with it. Until then nothing at the image path, nor at
// its fingerprint's or map's, is opened, emptied or removed; and nothing at
// any partial name is removed that this dump did not make.
#pragma once

#include <string>

#include "platform/platform.h"

struct Image {
    std::string path;  // as the file is named (ImageFilePath)
    FileHandle handle = -1;
    bool partial = false;  // a new file under PartialPath(path), fingerprinted
    bool mapped = false;   // and with a rescue map beside it
};

std::string PartialPath(const std::string& path);

// Closes a drive or image where a failure to close says nothing new.
void CloseQuietly(FileHandle file);

// Where a rescue map goes: beside the image, and beside its partial file
// after a failure (the image at the path, if any, keeps its own map).
std::string MapPath(const std::string& image_path);

// Opens the image at the path given for a dump of total bytes, refusing a
// path where it or a file beside it would take the drive's name, or lie on
// storage it lies on; with room reserved for the image and its fingerprint,
// and the files beside it tried. mapped: a rescue, with a map. False after
// the failure's line, with nothing left behind.
bool CreateImageFor(FileHandle drive, const std::string& given, uint64_t total, bool mapped, Image& image);

// Before the first read: the image is given up and its partial file removed.
void DiscardImage(Image& image);

// After a failure once reading began: the partial file is kept under its
// partial name, cut back to the bytes written (the drive's first bytes),
// with map_text, its rescue map, beside it where it is mapped. Quiet: the
// failure's line is said already.
void KeepPartialImage(Image& image, const std::string& map_text = "");

// After a complete copy, in an order that leaves, whenever it stops, either
// the old image (with its fingerprint, but after a failed rename without
// it), or the new image (with or without its own), never a fingerprint
// beside bytes it does not vouch for: the image flushed; its fingerprint
// and map written and flushed under partial names; the old fingerprint
// removed; the image renamed into place; then its fingerprint and its map.
// False after the failure's line.
bool PublishImage(Image& image, const uint8_t (&digest)[DIGEST_BYTES], const std::string& map_text);
