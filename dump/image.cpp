#include "dump/image.h"

#include <vector>

#include "dump/console.h"
#include "dump/fingerprint.h"
#include "dump/messages.h"

void CloseQuietly(FileHandle file) {
    ErrorCode ignored = 0;
    CloseFile(file, ignored);
}

namespace {
void RemoveQuietly(const std::string& path) {
    ErrorCode ignored = 0;
    RemoveFile(path, ignored);
}

bool Fail(const char* message, ErrorCode error) {
    PrintFailure(message, error);
    return false;
}

// A file beside the image: written under its partial name, then renamed.
struct Beside {
    std::string path;
    const char* failure;  // its line
};

std::vector<Beside> BesideFiles(const Image& image) {
    std::vector<Beside> files;
    if (image.partial) files.push_back({FingerprintPath(image.path), MSG_FINGERPRINT_FAILED});
    if (image.mapped) files.push_back({MapPath(image.path), MSG_MAP_FAILED});
    return files;
}

// Writes bytes at path, through its partial name (created anew: whatever
// stands there is not this dump's and stays), flushed, renamed.
bool WriteBeside(const std::string& path, const std::string& bytes, ErrorCode& error) {
    if (!WriteSmallFile(PartialPath(path), bytes, error)) return false;
    if (RenameFile(PartialPath(path), path, error)) return true;
    RemoveQuietly(PartialPath(path));
    return false;
}
}  // namespace

std::string PartialPath(const std::string& path) { return path + PARTIAL_SUFFIX; }

std::string MapPath(const std::string& image_path) { return image_path + ".map"; }

bool CreateImageFor(FileHandle drive, const std::string& given, uint64_t total, bool mapped, Image& image) {
    image = Image{};
    image.path = ImageFilePath(given);
    const std::string& path = image.path;
    // Every name this dump may make, rename over or remove: never the
    // drive's ("korvex x.sha256 x", "korvex x.part x"), nor storage it lies
    // on.
    std::vector<std::string> names = {path, PartialPath(path), FingerprintPath(path),
                                      PartialPath(FingerprintPath(path))};
    if (mapped)
        for (const std::string& map : {MapPath(path), MapPath(PartialPath(path))})
            names.insert(names.end(), {map, PartialPath(map)});
    for (const std::string& name : names)
        if (SharesStorage(drive, name)) return Fail(MSG_CREATE_FAILED, InvalidParameterCode());
    // Room for the fingerprint is taken now too, so that a disk that cannot
    // hold both is told before the copy rather than after it.
    const uint8_t digest[DIGEST_BYTES] = {};
    uint64_t beside = FingerprintLine(digest, path).size();
    ErrorCode error = 0;
    image.handle = CreateImage(drive, path, total, beside, image.partial, error);
    if (image.handle < 0) return Fail(MSG_CREATE_FAILED, error);
    image.mapped = mapped && image.partial;
    // A file beside the image that cannot be made where it goes (a name too
    // long for the file system, a folder in its way, a partial file left
    // there) is told before the copy too.
    for (const Beside& file : BesideFiles(image)) {
        if (Replaceable(file.path, error) && WriteSmallFile(PartialPath(file.path), "", error) &&
            RemoveFile(PartialPath(file.path), error))
            continue;
        DiscardImage(image);
        return Fail(file.failure, error);
    }
    return true;
}

void DiscardImage(Image& image) {
    CloseQuietly(image.handle);
    image.handle = -1;
    if (image.partial) RemoveQuietly(PartialPath(image.path));
}

void KeepPartialImage(Image& image, const std::string& map_text) {
    TrimImage(image.handle);
    ErrorCode ignored = 0;
    // Only beside the partial file, and only where it still is.
    if (image.mapped && ImageInPlace(image.handle, image.path, ignored))
        WriteBeside(MapPath(PartialPath(image.path)), map_text, ignored);
    CloseQuietly(image.handle);
    image.handle = -1;
}

bool PublishImage(Image& image, const uint8_t (&digest)[DIGEST_BYTES], const std::string& map_text) {
    ErrorCode error = 0;
    if (!FlushImage(image.handle, error)) {
        KeepPartialImage(image, map_text);
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
        KeepPartialImage(image, map_text);
        PrintLine(InterruptLine());
        return false;
    }
    // The files beside go by name: only while that is where the image is.
    if (!ImageInPlace(image.handle, image.path, error)) {
        KeepPartialImage(image);
        return Fail(MSG_CREATE_FAILED, error);
    }
    std::vector<Beside> files = BesideFiles(image);
    const std::string contents[] = {FingerprintLine(digest, image.path), map_text};
    size_t written = 0;
    while (written < files.size() && WriteSmallFile(PartialPath(files[written].path), contents[written], error))
        ++written;
    const char* failure = written < files.size() ? files[written].failure : nullptr;
    if (failure == nullptr && !RemoveFile(FingerprintPath(image.path), error)) failure = MSG_FINGERPRINT_FAILED;
    if (failure != nullptr) {
        KeepPartialImage(image, map_text);
    } else {
        bool named = false;
        if (!NameImage(image.handle, image.path, named, error)) failure = MSG_CREATE_FAILED;
        image.handle = -1;
    }
    for (size_t n = 0; n < written; ++n) {
        if (failure == nullptr && !RenameFile(PartialPath(files[n].path), files[n].path, error))
            failure = files[n].failure;
        // Only the partial files this dump wrote are taken back.
        if (failure != nullptr) RemoveQuietly(PartialPath(files[n].path));
    }
    return failure == nullptr || Fail(failure, error);
}
