#include "dump/image.h"

#include "dump/console.h"
#include "dump/fingerprint.h"
#include "dump/messages.h"

namespace {
void CloseQuietly(FileHandle file) {
    ErrorCode ignored = 0;
    CloseFile(file, ignored);
}

void RemoveQuietly(const std::string& path) {
    ErrorCode ignored = 0;
    RemoveFile(path, ignored);
}

bool Fail(const char* message, ErrorCode error) {
    PrintFailure(message, error);
    return false;
}

// Unbuffered writes leave the file's size and allocation to the file
// system's own time; the image is only called done once both are stable.
bool FlushAndClose(Image& image) {
    ErrorCode error = 0;
    bool flushed = FlushImage(image.handle, error);
    if (!flushed) CloseQuietly(image.handle);
    bool closed = flushed && CloseFile(image.handle, error);
    image.handle = -1;
    return closed || Fail(MSG_WRITE_FAILED, error);
}
}  // namespace

std::string PartialPath(const std::string& path) { return path + PARTIAL_SUFFIX; }

bool CreateImageFor(FileHandle drive, const std::string& path, uint64_t total, Image& image) {
    image = Image{};
    image.path = path;
    // The image and its fingerprint take these names only at the end, by a
    // rename that unlinks whatever stood there: never the drive's name
    // ("korvex x.sha256 x"), nor storage it lies on.
    if (SharesStorage(drive, path) || SharesStorage(drive, FingerprintPath(path)))
        return Fail(MSG_CREATE_FAILED, InvalidParameterCode());
    // Room for the fingerprint is taken now too, so that a disk that cannot
    // hold both is told before the copy rather than after it.
    const uint8_t digest[DIGEST_BYTES] = {};
    uint64_t beside = FingerprintLine(digest, path).size();
    ErrorCode error = 0;
    image.handle = CreateImage(drive, path, total, beside, image.partial, error);
    return image.handle >= 0 || Fail(MSG_CREATE_FAILED, error);
}

void DiscardImage(Image& image) {
    CloseQuietly(image.handle);
    image.handle = -1;
    if (image.partial) RemoveQuietly(PartialPath(image.path));
}

void KeepPartialImage(Image& image) {
    TrimImage(image.handle);
    CloseQuietly(image.handle);
    image.handle = -1;
}

bool PublishImage(Image& image, const uint8_t (&digest)[DIGEST_BYTES]) {
    if (!FlushAndClose(image)) return false;
    if (!image.partial) return true;
    const std::string fingerprint = FingerprintPath(image.path);
    const std::string fingerprint_part = PartialPath(fingerprint);
    ErrorCode error = 0;
    // A fingerprint's partial file left by a dump that stopped here is
    // stale: it vouched for an image that never took the name.
    if (!RemoveFile(fingerprint_part, error) ||
        !WriteSmallFile(fingerprint_part, FingerprintLine(digest, image.path), error) ||
        !RemoveFile(fingerprint, error))
        return Fail(MSG_FINGERPRINT_FAILED, error);
    if (!RenameFile(PartialPath(image.path), image.path, error)) {
        RemoveQuietly(fingerprint_part);
        return Fail(MSG_CREATE_FAILED, error);
    }
    if (!RenameFile(fingerprint_part, fingerprint, error)) {
        RemoveQuietly(fingerprint_part);
        return Fail(MSG_FINGERPRINT_FAILED, error);
    }
    return true;
}
