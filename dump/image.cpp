#include "dump/image.h"

#include <vector>

#include "dump/console.h"
#include "dump/dump.h"
#include "dump/fingerprint.h"
#include "dump/messages.h"
#include "dump/record.h"

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
    PrintFailureOrInterrupt(message, error);
    return false;
}

// What a file of the set begins with, so that a file at one of its names
// that is something else (another image named x.img.sha256, the partial
// file of a dump into it) is never replaced or removed: a fingerprint line
// as sha256sum or BSD tools write it, a map's first line as ddrescue and
// Korvex write it. An empty file is what a killed dump leaves, but only at
// a name that no dump makes its partial image under (x.img.sha256.part is
// also the partial file of a dump into x.img.sha256, empty until its first
// write). A record begins with its first key.
enum Kind { FINGERPRINT, MAP, RECORD };

bool LooksLike(Kind kind, const std::string& start, bool empty_is_ours) {
    if (start.empty()) return empty_is_ours;
    if (kind == MAP) return start.compare(0, 9, "# Mapfile") == 0;
    if (kind == RECORD) return start.compare(0, sizeof RECORD_START - 1, RECORD_START) == 0;
    if (start.compare(0, 8, "SHA256 (") == 0) return true;
    size_t at = start[0] == '\\' ? 1 : 0;
    if (start.size() < at + 66 || start.compare(at + 64, 2, "  ") != 0) return false;
    for (size_t n = at; n < at + 64; ++n)
        if (std::string("0123456789abcdefABCDEF").find(start[n]) == std::string::npos) return false;
    return true;
}

// A file beside the image, what it is, and the line of its failures.
struct Beside {
    std::string path;
    Kind kind;
    const char* failure;
};

// A file of the new set, and the bytes it is written with.
struct NewBeside {
    Beside file;
    std::string bytes;
};

// The partial file's map. One that stands where no partial file does is
// stale: ddrescue would trust it beside a new one and skip what it calls
// read.
Beside PartialMap(const std::string& path) { return {MapPath(PartialPath(path)), MAP, MSG_MAP_FAILED}; }

std::vector<Beside> BesideFiles(const std::string& path) {
    return {{FingerprintPath(path), FINGERPRINT, MSG_FINGERPRINT_FAILED},
            {RecordPath(path), RECORD, MSG_RECORD_FAILED},
            {MapPath(path), MAP, MSG_MAP_FAILED}};
}

// Whether a partial file kept has a map: a compressed one has none, since
// its bytes lie at no drive offset that a map could give.
bool PartialMapped(const Image& image) { return !image.compressed; }

// Names that only a dump in its last steps, or one that was killed, leaves
// beside the image: once this dump holds a new partial file, none of them
// describes anything.
std::vector<Beside> Leftovers(const std::string& path) {
    std::vector<Beside> names = {{PartialPath(PartialMap(path).path), MAP, MSG_MAP_FAILED}};
    for (const Beside& file : BesideFiles(path))
        names.insert(names.end(), {{PartialPath(file.path), file.kind, file.failure},
                                   {AsidePath(file.path), file.kind, file.failure}});
    return names;
}

// A name as long as the longest of the set (IMAGE.part.map.part), made and
// removed to learn whether the folder can hold such names; no other dump
// uses it.
std::string TrialPath(const std::string& path) { return path + ".set-name-test"; }

// Fails, with the file's line, where what stands at file's name is not such
// a file of the set, so that it is left alone; found tells whether anything
// stands there.
bool OfTheSet(const Beside& file, bool& found) {
    std::string start;
    ErrorCode error = 0;
    if (!ReadFileStart(file.path, 128, start, found, error)) return Fail(file.failure, error);
    const size_t suffix = sizeof PARTIAL_SUFFIX - 1;
    bool partial_name = file.path.size() >= suffix && file.path.compare(file.path.size() - suffix, suffix, PARTIAL_SUFFIX) == 0;
    return !found || LooksLike(file.kind, start, !partial_name) || Fail(file.failure, ExistsCode());
}

// Only what stands there is removed: a read-only folder refuses even the
// removal of a name it does not hold.
bool RemoveStale(const Beside& file) {
    bool found = false;
    ErrorCode error = 0;
    return OfTheSet(file, found) && (!found || RemoveFile(file.path, error) || Fail(file.failure, error));
}

// Writes bytes at path through its partial name (created anew), flushed,
// renamed.
bool WriteBeside(const std::string& path, const std::string& bytes, ErrorCode& error) {
    if (!WriteSmallFile(PartialPath(path), bytes, error)) return false;
    if (RenameFile(PartialPath(path), path, error)) return true;
    RemoveQuietly(PartialPath(path));
    return false;
}

// Room for the fingerprint, the record and for a map of map_bytes: each a
// file of its own, which takes whole blocks of the file system however few
// its bytes.
uint64_t BesideRoom(const Image& image, uint64_t map_bytes) {
    const uint8_t digest[DIGEST_BYTES] = {};
    return RoundUp(FingerprintLine(digest, image.path).size(), IO_ALIGN) + RoundUp(image.record_bytes, IO_ALIGN) +
           RoundUp(map_bytes, IO_ALIGN);
}

// Clears what a killed dump left, checks that the old fingerprint and map
// are what their names say, then makes and removes a name as long as the
// set's longest, so that one the folder cannot hold (too long a name)
// fails now rather than after the copy.
bool PrepareSet(const std::string& path) {
    ErrorCode error = 0;
    for (const Beside& file : BesideFiles(path)) {
        if (!Replaceable(file.path, error)) return Fail(file.failure, error);
        bool found = false;
        if (!OfTheSet(file, found)) return false;
    }
    for (const Beside& name : Leftovers(path))
        if (!RemoveStale(name)) return false;
    std::string trial = TrialPath(path);
    if (RemoveFile(trial, error) && WriteSmallFile(trial, "", error) && RemoveFile(trial, error)) return true;
    RemoveQuietly(trial);
    return Fail(MSG_MAP_FAILED, error);
}
}  // namespace

bool CreateImageFor(FileHandle drive, const std::string& given, const ImageRequest& request, Image& image) {
    image = Image{};
    image.path = ImageFilePath(given);
    image.total = request.total;
    image.compressed = request.compressed;
    image.record_bytes = request.record_bytes;
    const std::string& path = image.path;
    // Every name this dump may make, rename over or remove: never the
    // drive's ("korvex x.sha256 x", "korvex x.part x"), nor storage it lies
    // on.
    std::vector<std::string> names = {path, PartialPath(path)};
    for (const Beside& file : BesideFiles(path)) names.push_back(file.path);
    for (const Beside& file : Leftovers(path)) names.push_back(file.path);
    names.insert(names.end(), {PartialMap(path).path, TrialPath(path)});
    for (const std::string& name : names)
        if (SharesStorage(drive, name)) return Fail(MSG_CREATE_FAILED, InvalidParameterCode());
    // A partial file's map goes before the new partial file is made, so that
    // no moment shows it beside that; and only while no partial file stands
    // there (it is then that one's, and the dump is refused).
    std::string start;
    bool found = true;
    ErrorCode ignored = 0;
    if (ReadFileStart(PartialPath(path), 0, start, found, ignored) && !found && !RemoveStale(PartialMap(path)))
        return false;
    // Room for the files beside is taken now too, so that a disk that
    // cannot hold them all is told before the copy rather than after it.
    image.beside = BesideRoom(image, request.map_bytes);
    ErrorCode error = 0;
    // A compressed image's size is known only at its end: what it needs is
    // asked of the disk as it is written.
    image.handle = CreateImage(drive, path, request.compressed ? 0 : request.total, image.beside, image.is_file, error);
    if (image.handle < 0) {
        // What a stopped dump left blocks a new one: --resume goes on with it.
        std::string map_text;
        if (error == ExistsCode() && FindLeft(path, map_text) == PARTIAL_LEFT) {
            PrintMessage(MSG_PARTIAL_LEFT);
            return false;
        }
        return Fail(MSG_CREATE_FAILED, error);
    }
    image.mapped = request.mapped && image.is_file;
    if (image.is_file && !PrepareSet(path)) {
        DiscardImage(image);
        return false;
    }
    return true;
}

namespace {
// A rescued image made a partial file again, back under its own name, and
// the map copied beside it gone; quiet, as the failure's line is said.
void PutBack(const std::string& path) {
    ErrorCode ignored = 0;
    std::string start;
    bool found = true;
    if (ReadFileStart(path, 0, start, found, ignored) && !found) RenameFile(PartialPath(path), path, ignored);
    RemoveQuietly(PartialMap(path).path);
}

// The partial file opened holds what the map calls read, and begins with
// the drive's first bytes where the map calls them read.
bool HoldsWhatMapTells(const Image& image, uint64_t size, const LeftImage& left, ErrorCode& error) {
    if (size < left.held_end) return false;
    if (left.start_bytes == 0 || left.start_digest.empty()) return true;
    std::string digest;
    return ImageStartDigest(image.handle, left.start_bytes, digest, error) && digest == left.start_digest;
}
}  // namespace

bool OpenLeftImage(FileHandle drive, const std::string& given, const ImageRequest& request, const LeftImage& left,
                   Image& image, uint64_t& size) {
    image = Image{};
    image.path = ImageFilePath(given);
    image.total = request.total;
    image.record_bytes = request.record_bytes;
    image.is_file = true;
    image.mapped = request.mapped;
    const std::string& path = image.path;
    std::vector<std::string> names = {path, PartialPath(path), PartialMap(path).path, TrialPath(path)};
    for (const Beside& file : BesideFiles(path)) names.push_back(file.path);
    for (const Beside& file : Leftovers(path)) names.push_back(file.path);
    for (const std::string& name : names)
        if (SharesStorage(drive, name)) return Fail(MSG_CREATE_FAILED, InvalidParameterCode());
    if (!PrepareSet(path)) return false;
    ErrorCode error = 0;
    const bool named = left.left == IMAGE_LEFT;
    if (named && !WriteBeside(PartialMap(path).path, left.map_text, error)) return Fail(MSG_MAP_FAILED, error);
    if (named && !RenameFile(path, PartialPath(path), error)) {
        PutBack(path);
        return Fail(MSG_CREATE_FAILED, error);
    }
    image.beside = BesideRoom(image, request.map_bytes);
    image.handle = OpenPartialImage(drive, path, request.total, image.beside, size, error);
    if (image.handle < 0) {
        if (named) PutBack(path);
        return Fail(MSG_CREATE_FAILED, error);
    }
    image.resumed = true;
    image.map_kept = true;
    if (!HoldsWhatMapTells(image, size, left, error)) {
        CloseQuietly(image.handle);
        image.handle = -1;
        if (named) PutBack(path);
        // A read of the partial file that failed is told as such; bytes
        // other than the map tells, as its not being the map's.
        if (error != 0) return Fail(MSG_IMAGE_READ_FAILED, error);
        PrintMessage(MSG_MAP_NOT_IMAGE);
        return false;
    }
    if (named)
        for (const Beside& file : BesideFiles(path)) RemoveQuietly(file.path);
    return true;
}

bool KeepMapRoom(Image& image, uint64_t map_bytes, ErrorCode& error) {
    // Asked for a little at a time: a step ahead, so that the file system
    // is asked again only every so many lines.
    constexpr uint64_t STEP = 64 * 1024;
    if (!image.is_file || BesideRoom(image, map_bytes) <= image.beside) return true;
    uint64_t beside = BesideRoom(image, map_bytes) + STEP;
    if (!ReserveImage(image.handle, image.total, beside, error)) return false;
    image.beside = beside;
    return true;
}

bool KeepMapCurrent(Image& image, const std::string& map_text, bool claims, const char*& failure, ErrorCode& error) {
    ErrorCode ignored = 0;
    if (!image.is_file || !PartialMapped(image) || !ImageInPlace(image.handle, image.path, ignored)) return true;
    if (claims && !SyncImage(image.handle, error)) {
        image.flush_failed = true;
        failure = MSG_WRITE_FAILED;
        return false;
    }
    if (!WriteBeside(PartialMap(image.path).path, map_text, error)) {
        failure = MSG_MAP_FAILED;
        return false;
    }
    image.map_kept = true;
    return true;
}

void DiscardImage(Image& image) {
    CloseQuietly(image.handle);
    image.handle = -1;
    if (image.resumed) return;
    if (image.map_kept) RemoveQuietly(PartialMap(image.path).path);
    if (image.is_file) RemoveQuietly(PartialPath(image.path));
}

void KeepPartialImage(Image& image, const std::string& map_text) {
    ErrorCode ignored = 0;
    // A map never claims bytes that a power cut could still take back: not
    // after a flush that failed once (a second one may report nothing of
    // what was lost). And it goes only beside the partial file, only where
    // that still is.
    if (!image.flush_failed && FlushImage(image.handle, ignored) && image.is_file && PartialMapped(image) &&
        !map_text.empty() && ImageInPlace(image.handle, image.path, ignored))
        WriteBeside(PartialMap(image.path).path, map_text, ignored);
    // No map: one kept while the copy ran would call held what the target
    // did not keep (an image read back other than written).
    else if (map_text.empty() && image.map_kept)
        RemoveQuietly(PartialMap(image.path).path);
    CloseQuietly(image.handle);
    image.handle = -1;
}

bool FlushWholeImage(Image& image, const std::string& map_text) {
    ErrorCode error = 0;
    if (FlushImage(image.handle, error)) return true;
    image.flush_failed = true;
    KeepPartialImage(image, map_text);
    return Fail(MSG_WRITE_FAILED, error);
}

Published PublishImage(Image& image, const uint8_t (&digest)[DIGEST_BYTES], const std::string& map_text,
                       const std::string& record_text) {
    ErrorCode error = 0;
    if (!FlushWholeImage(image, map_text)) return NOT_PUBLISHED;
    if (!image.is_file) {
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
    std::vector<Beside> olds = BesideFiles(image.path);
    std::vector<NewBeside> news;
    for (const Beside& file : olds) {
        if (file.kind == FINGERPRINT)
            news.push_back({file, FingerprintLine(digest, image.path)});
        else if (file.kind == RECORD)
            news.push_back({file, record_text});
        else if (image.mapped)
            news.push_back({file, map_text});
    }
    const char* failure = nullptr;
    size_t written = 0;
    for (; written < news.size(); ++written) {
        if (!WriteSmallFile(PartialPath(news[written].file.path), news[written].bytes, error)) {
            failure = news[written].file.failure;
            break;
        }
    }
    // The complete partial file has its map too, in case it cannot take
    // the name and is kept: a rescue's map, which may be large, by renaming
    // its new one there then (the room reserved holds one map, not two); a
    // plain dump's few lines now.
    std::string partial_map = PartialMap(image.path).path;
    bool partial_mapped = !PartialMapped(image);
    if (failure == nullptr && !image.mapped && !partial_mapped) {
        partial_mapped = WriteBeside(partial_map, map_text, error);
        if (!partial_mapped) failure = MSG_MAP_FAILED;
    }
    // A rename that was made but could not be flushed still moved the file:
    // each one tried is put back if the image cannot take its name.
    std::vector<Beside> aside;
    for (const Beside& old : olds) {
        if (failure != nullptr) break;
        aside.push_back(old);
        if (!RenameFile(old.path, AsidePath(old.path), error) && !NoSuchFile(error)) failure = old.failure;
    }
    // The image is closed either way, flushed and in place: kept, its map
    // is all it needs.
    bool named = false;
    if (failure != nullptr)
        CloseQuietly(image.handle);
    else if (!NameImage(image.handle, image.path, named, error))
        failure = MSG_CREATE_FAILED;
    image.handle = -1;
    if (!named) {
        // The old set stays whole: its files go back, the new ones go, but
        // for a rescue's map, which becomes the kept partial file's.
        ErrorCode ignored = 0;
        for (const Beside& old : aside) RenameFile(AsidePath(old.path), old.path, ignored);
        for (size_t n = 0; n < written; ++n) {
            const Beside& file = news[n].file;
            bool kept = file.kind == MAP && RenameFile(PartialPath(file.path), partial_map, ignored);
            if (!kept) RemoveQuietly(PartialPath(file.path));
            partial_mapped = partial_mapped || kept;
        }
        if (!partial_mapped) WriteBeside(partial_map, map_text, ignored);
        Fail(failure, error);
        return NOT_PUBLISHED;
    }
    // The new image has its name: whatever fails from here on, only files
    // that describe it may take theirs.
    ErrorCode named_error = error;
    for (size_t n = 0; n < written; ++n) {
        const Beside& file = news[n].file;
        if (RenameFile(PartialPath(file.path), file.path, error)) continue;
        RemoveQuietly(PartialPath(file.path));
        if (failure == nullptr) {
            failure = file.failure;
            named_error = error;
        }
    }
    for (const Beside& old : aside) RemoveQuietly(AsidePath(old.path));
    RemoveQuietly(partial_map);
    if (failure == nullptr) return PUBLISHED;
    Fail(failure, named_error);
    return NAMED_ONLY;
}
