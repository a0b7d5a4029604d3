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

}  // namespace

std::string PartialPath(const std::string& path) { return path + PARTIAL_SUFFIX; }

bool CreateImageFor(FileHandle drive, const std::string& given, uint64_t total, Image& image) {
    image = Image{};
    image.path = ImageFilePath(given);
    const std::string& path = image.path;
    // The image and its fingerprint take these names at the end, and their
    // partial names are cleared first, each unlinking whatever stood there:
    // never the drive ("korvex x.sha256 x", "korvex x.part x"), nor storage
    // it lies on.
    const std::string fingerprint_part = PartialPath(FingerprintPath(path));
    for (const std::string& name : {path, PartialPath(path), FingerprintPath(path), fingerprint_part})
        if (SharesStorage(drive, name)) return Fail(MSG_CREATE_FAILED, InvalidParameterCode());
    // Room for the fingerprint is taken now too, so that a disk that cannot
    // hold both is told before the copy rather than after it.
    const uint8_t digest[DIGEST_BYTES] = {};
    uint64_t beside = FingerprintLine(digest, path).size();
    ErrorCode error = 0;
    image.handle = CreateImage(drive, path, total, beside, image.partial, error);
    if (image.handle < 0) return Fail(MSG_CREATE_FAILED, error);
    // A fingerprint that cannot be made where it goes (a name too long for
    // the file system, a folder in its way) is told before the copy too.
    if (image.partial && !(Replaceable(FingerprintPath(path), error) && RemoveFile(fingerprint_part, error) &&
                           WriteSmallFile(fingerprint_part, "", error) && RemoveFile(fingerprint_part, error))) {
        DiscardImage(image);
        return Fail(MSG_FINGERPRINT_FAILED, error);
    }
    return true;
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
    ErrorCode error = 0;
    if (!FlushImage(image.handle, error)) {
        KeepPartialImage(image);
        return Fail(MSG_WRITE_FAILED, error);
    }
    if (!image.partial) {
        bool closed = CloseFile(image.handle, error);
        image.handle = -1;
        return closed || Fail(MSG_WRITE_FAILED, error);
    }
    // The flush of a large image can take a while; an interrupt meanwhile
    // still stops the dump short of the name.
    if (Interrupted()) {
        KeepPartialImage(image);
        PrintLine(InterruptLine());
        return false;
    }
    // The fingerprint goes by name beside the image: only while that is
    // where the image is.
    if (!ImageInPlace(image.handle, image.path, error)) {
        KeepPartialImage(image);
        return Fail(MSG_CREATE_FAILED, error);
    }
    const std::string fingerprint = FingerprintPath(image.path);
    const std::string fingerprint_part = PartialPath(fingerprint);
    // A fingerprint's partial file left by a dump that stopped here is
    // stale: it vouched for an image that never took the name.
    if (!RemoveFile(fingerprint_part, error) ||
        !WriteSmallFile(fingerprint_part, FingerprintLine(digest, image.path), error) ||
        !RemoveFile(fingerprint, error)) {
        KeepPartialImage(image);
        RemoveQuietly(fingerprint_part);
        return Fail(MSG_FINGERPRINT_FAILED, error);
    }
    bool named = NameImage(image.handle, image.path, error);
    image.handle = -1;
    if (!named) {
        RemoveQuietly(fingerprint_part);
        return Fail(MSG_CREATE_FAILED, error);
    }
    if (!RenameFile(fingerprint_part, fingerprint, error)) {
        RemoveQuietly(fingerprint_part);
        return Fail(MSG_FINGERPRINT_FAILED, error);
    }
    return true;
}
