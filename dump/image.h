// The image's life: created as a partial file beside the image path (or a
// device opened as it stands), filled by the writer, and only once complete
// flushed, fingerprinted and renamed into the image's name. Until then
// nothing at the image path, or at its fingerprint's, is opened, emptied or
// removed.
#pragma once

#include <string>

#include "platform/platform.h"

struct Image {
    std::string path;  // as the file is named (ImageFilePath)
    FileHandle handle = -1;
    bool partial = false;  // a new file under PartialPath(path), fingerprinted
};

std::string PartialPath(const std::string& path);

// Opens the image at the path given for a dump of total bytes, refusing a
// path that names the drive or storage it lies on; with room reserved for
// the image and its fingerprint. False after the failure's line, with
// nothing left behind.
bool CreateImageFor(FileHandle drive, const std::string& given, uint64_t total, Image& image);

// Before the first read: the image is given up and its partial file removed.
void DiscardImage(Image& image);

// After a failure once reading began: the partial file is kept under its
// partial name, cut back to the bytes written: the drive's first bytes.
void KeepPartialImage(Image& image);

// After a complete copy, in an order that leaves, whenever it stops, either
// the old image (with its fingerprint, but after a failed rename without
// it), or the new image (with or without its own), never a fingerprint
// beside bytes it does not vouch for: the image flushed; its fingerprint
// written and flushed under a partial name; the old fingerprint removed;
// the image renamed into place; then its fingerprint. False after the
// failure's line.
bool PublishImage(Image& image, const uint8_t (&digest)[DIGEST_BYTES]);
