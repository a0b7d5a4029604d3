#include "dump/image.h"

#include <vector>

#include "dump/console.h"
#include "dump/fingerprint.h"
#include "dump/messages.h"

void CloseQuietly(FileHandle file) {
    ErrorCode ignored = 0;
    CloseFile(file, ignored);
}

std::string PartialPath(const std::string& path) { return path + PARTIAL_SUFFIX; }

std::string MapPath(const std::string& image_path) { return image_path + ".map"; }

namespace {
// An old file of the set waits here while the new image takes the name, so
// that it can be put back if the image cannot.
std::string AsidePath(const std::string& path) { return path + ".old"; }

void RemoveQuietly(const std::string& path) {
    ErrorCode ignored = 0;
    RemoveFile(path, ignored);
}

bool Fail(const char* message, ErrorCode error) {
    PrintFailure(message, error);
    return false;
}

// A file beside the image, and the line of its failures.
struct Beside {
    std::string path;
    const char* failure;
};

std::vector<Beside> BesideFiles(const std::string& path) {
    return {{FingerprintPath(path), MSG_FINGERPRINT_FAILED}, {MapPath(path), MSG_MAP_FAILED}};
}

// Names that only a dump in its last steps, or one that was killed, leaves
// beside the image: once this dump holds a new partial file, none of them
// describes anything. The partial file's map described a partial file that
// is gone.
std::vector<Beside> Leftovers(const std::string& path) {
    std::string map = MapPath(PartialPath(path));
    std::vector<Beside> names = {{map, MSG_MAP_FAILED}, {PartialPath(map), MSG_MAP_FAILED}};
    for (const Beside& file : BesideFiles(path))
        names.insert(names.end(), {{PartialPath(file.path), file.failure}, {AsidePath(file.path), file.failure}});
    return names;
}

// Writes bytes at path through its partial name (created anew), flushed,
// renamed.
bool WriteBeside(const std::string& path, const std::string& bytes, ErrorCode& error) {
    if (!WriteSmallFile(PartialPath(path), bytes, error)) return false;
    if (RenameFile(PartialPath(path), path, error)) return true;
    RemoveQuietly(PartialPath(path));
    return false;
}

// Room for the fingerprint and for a map of map_bytes.
uint64_t BesideRoom(const std::string& path, uint64_t map_bytes) {
    const uint8_t digest[DIGEST_BYTES] = {};
    return FingerprintLine(digest, path).size() + map_bytes;
}

// Clears what a killed dump left, then makes and removes each name the dump
// may make, so that one the folder cannot hold (too long a name, a folder
// in its way) fails now rather than after the copy.
bool PrepareSet(const std::string& path) {
    ErrorCode error = 0;
    for (const Beside& file : BesideFiles(path))
        if (!Replaceable(file.path, error)) return Fail(file.failure, error);
    if (!Replaceable(MapPath(PartialPath(path)), error)) return Fail(MSG_MAP_FAILED, error);
    for (const Beside& name : Leftovers(path))
        if (!RemoveFile(name.path, error) || !WriteSmallFile(name.path, "", error) || !RemoveFile(name.path, error))
            return Fail(name.failure, error);
    return true;
}
}  // namespace

bool CreateImageFor(FileHandle drive, const std::string& given, uint64_t total, bool mapped, uint64_t map_bytes,
                    Image& image) {
    image = Image{};
    image.path = ImageFilePath(given);
    image.total = total;
    const std::string& path = image.path;
    // Every name this dump may make, rename over or remove: never the
    // drive's ("korvex x.sha256 x", "korvex x.part x"), nor storage it lies
    // on.
    std::vector<std::string> names = {path, PartialPath(path)};
    for (const Beside& file : BesideFiles(path)) names.push_back(file.path);
    for (const Beside& file : Leftovers(path)) names.push_back(file.path);
    for (const std::string& name : names)
        if (SharesStorage(drive, name)) return Fail(MSG_CREATE_FAILED, InvalidParameterCode());
    // Room for the files beside is taken now too, so that a disk that
    // cannot hold them all is told before the copy rather than after it.
    image.beside = BesideRoom(path, map_bytes);
    ErrorCode error = 0;
    image.handle = CreateImage(drive, path, total, image.beside, image.partial, error);
    if (image.handle < 0) return Fail(MSG_CREATE_FAILED, error);
    image.mapped = mapped && image.partial;
    if (image.partial && !PrepareSet(path)) {
        DiscardImage(image);
        return false;
    }
    return true;
}

bool KeepMapRoom(Image& image, uint64_t map_bytes, ErrorCode& error) {
    uint64_t beside = BesideRoom(image.path, map_bytes);
    if (!image.partial || beside <= image.beside) return true;
    if (!ReserveImage(image.handle, image.total, beside, error)) return false;
    image.beside = beside;
    return true;
}

void DiscardImage(Image& image) {
    CloseQuietly(image.handle);
    image.handle = -1;
    if (image.partial) RemoveQuietly(PartialPath(image.path));
}

void KeepPartialImage(Image& image, const std::string& map_text) {
    ErrorCode ignored = 0;
    // A map never claims bytes that a power cut could still take back; and
    // it goes only beside the partial file, only where that still is.
    if (FlushImage(image.handle, ignored) && image.partial && ImageInPlace(image.handle, image.path, ignored))
        WriteBeside(MapPath(PartialPath(image.path)), map_text, ignored);
    CloseQuietly(image.handle);
    image.handle = -1;
}

Published PublishImage(Image& image, const uint8_t (&digest)[DIGEST_BYTES], const std::string& map_text) {
    ErrorCode error = 0;
    if (!FlushImage(image.handle, error)) {
        KeepPartialImage(image, map_text);
        Fail(MSG_WRITE_FAILED, error);
        return NOT_PUBLISHED;
    }
    if (!image.partial) {
        bool closed = CloseFile(image.handle, error);
        image.handle = -1;
        return closed || Fail(MSG_WRITE_FAILED, error) ? PUBLISHED : NOT_PUBLISHED;
    }
    // The flush of a large image can take a while; an interrupt meanwhile
    // still stops the dump short of the name.
    if (Interrupted()) {
        KeepPartialImage(image, map_text);
        PrintLine(InterruptLine());
        return NOT_PUBLISHED;
    }
    // The files beside go by name: only while that is where the image is.
    if (!ImageInPlace(image.handle, image.path, error)) {
        CloseQuietly(image.handle);
        image.handle = -1;
        Fail(MSG_CREATE_FAILED, error);
        return NOT_PUBLISHED;
    }
    std::vector<Beside> olds = BesideFiles(image.path), news;
    news.push_back({FingerprintPath(image.path), MSG_FINGERPRINT_FAILED});
    if (image.mapped) news.push_back({MapPath(image.path), MSG_MAP_FAILED});
    const std::string contents[] = {FingerprintLine(digest, image.path), map_text};
    const char* failure = nullptr;
    size_t written = 0;
    for (; written < news.size(); ++written) {
        if (!WriteSmallFile(PartialPath(news[written].path), contents[written], error)) {
            failure = news[written].failure;
            break;
        }
    }
    std::vector<Beside> aside;
    for (const Beside& old : olds) {
        if (failure != nullptr) break;
        if (RenameFile(old.path, AsidePath(old.path), error))
            aside.push_back(old);
        else if (!NoSuchFile(error))
            failure = old.failure;
    }
    bool named = false;
    if (failure != nullptr) {
        KeepPartialImage(image, map_text);
    } else {
        // The image is closed either way.
        if (!NameImage(image.handle, image.path, named, error)) failure = MSG_CREATE_FAILED;
        image.handle = -1;
    }
    if (!named) {
        // The old set stays whole: its files go back, the new ones go.
        ErrorCode ignored = 0;
        for (const Beside& old : aside) RenameFile(AsidePath(old.path), old.path, ignored);
        for (size_t n = 0; n < written; ++n) RemoveQuietly(PartialPath(news[n].path));
        Fail(failure, error);
        return NOT_PUBLISHED;
    }
    // The new image has its name: whatever fails from here on, only files
    // that describe it may take theirs.
    ErrorCode named_error = error;
    for (size_t n = 0; n < written; ++n) {
        if (RenameFile(PartialPath(news[n].path), news[n].path, error)) continue;
        RemoveQuietly(PartialPath(news[n].path));
        if (failure == nullptr) {
            failure = news[n].failure;
            named_error = error;
        }
    }
    for (const Beside& old : aside) RemoveQuietly(AsidePath(old.path));
    if (failure == nullptr) return PUBLISHED;
    Fail(failure, named_error);
    return NAMED_ONLY;
}
