#include "dump/resume.h"

#include <algorithm>

#include "dump/dump.h"
#include "dump/fingerprint.h"
#include "dump/image.h"

namespace {
// Whether something stands at path, with at most limit of its bytes; what
// cannot be read (no rights, no regular file) stands there all the same.
bool Stands(const std::string& path, size_t limit, std::string& bytes) {
    bool found = false;
    ErrorCode error = 0;
    return !ReadFileStart(path, limit, bytes, found, error) || found;
}

// A map's text read whole, or none where it is longer than any map read.
bool MapText(const std::string& path, std::string& text) {
    bool found = Stands(path, MAP_LIMIT, text);
    if (text.size() >= MAP_LIMIT) text.clear();
    return found;
}

class Digest {
public:
    ~Digest() {
        if (buffer_ != nullptr) ReleaseBuffer(buffer_, BYTES);
    }
    // Reads length bytes (at most FIRST_BYTES) through read into an aligned
    // buffer, then hashes them.
    template <typename Read>
    bool Of(uint64_t length, Read read, std::string& hex, ErrorCode& error) {
        buffer_ = static_cast<char*>(ObtainBuffer(BYTES, error));
        if (buffer_ == nullptr) return false;
        for (uint64_t got = 0; got < length;) {
            int64_t bytes = read(buffer_ + got, got, error);
            if (bytes <= 0) {
                if (bytes == 0) error = EndOfDriveCode();
                return false;
            }
            got += static_cast<uint64_t>(bytes);
        }
        HashHandle hash = 0;
        uint8_t digest[DIGEST_BYTES] = {};
        if (!StartHash(hash, error)) return false;
        if (!HashBytes(hash, buffer_, length, error)) {
            DropHash(hash);
            return false;
        }
        if (!FinishHash(hash, digest, error)) return false;
        hex = DigestHex(digest);
        return true;
    }

private:
    static constexpr size_t BYTES = FIRST_BYTES + IO_ALIGN;
    char* buffer_ = nullptr;
};
}  // namespace

Left FindLeft(const std::string& path, std::string& map_text) {
    std::string ignored;
    map_text.clear();
    if (Stands(PartialPath(path), 0, ignored))
        return MapText(MapPath(PartialPath(path)), map_text) ? PARTIAL_LEFT : NOTHING_LEFT;
    // Only a regular file at the image's name is a rescued image: a device
    // there is written as it stands, and has no map beside it.
    bool found = false;
    ErrorCode error = 0;
    if (!ReadFileStart(path, 0, ignored, found, error) || !found) return NOTHING_LEFT;
    return MapText(MapPath(path), map_text) ? IMAGE_LEFT : NOTHING_LEFT;
}

uint64_t LastNotTried(const ParsedMap& map) {
    if (map.areas.empty() || map.areas.back().status != NOT_TRIED) return map.size;
    return map.areas.back().pos;
}

uint64_t GoOnFrom(const ParsedMap& map, bool rescue) {
    uint64_t last = LastNotTried(map);
    if (last % IO_ALIGN == 0 || last == map.size) return last;
    uint64_t after = RoundUp(last, IO_ALIGN);
    return rescue && after < map.size ? after : RoundDown(last, IO_ALIGN);
}

uint64_t HeldEnd(const ParsedMap& map) {
    for (auto area = map.areas.rbegin(); area != map.areas.rend(); ++area)
        if (area->status == READ) return area->pos + area->size;
    return 0;
}

bool RescueLeft(const ParsedMap& map, uint64_t from) {
    for (const MapArea& area : map.areas)
        if (area.pos < from && area.status != READ) return true;
    return false;
}

bool SameDrive(const ParsedMap& map, const DriveIdentity& now) {
    if (map.size != now.size) return false;
    if (!map.has_drive) return true;
    const DriveIdentity& then = map.drive;
    // A text the system told only one of the times says nothing either way
    // (Wine, a driver that answers one query and not another).
    auto differ = [](const std::string& was, const std::string& is) {
        return !was.empty() && !is.empty() && was != MapValue(is);
    };
    return then.sector_size == now.sector_size && !differ(then.model, now.model) &&
           !differ(then.serial, now.serial) &&
           (then.first_sha256.empty() || now.first_sha256.empty() || then.first_sha256 == now.first_sha256);
}

bool DriveStartDigest(FileHandle drive, uint64_t length, std::string& hex, ErrorCode& error) {
    if (!SeekDrive(drive, 0, error)) return false;
    Digest digest;
    return digest.Of(
        length,
        [drive, length](char* into, uint64_t got, ErrorCode& code) {
            return ReadDrive(drive, into, RoundUp(length, DriveReadUnit()) - got, code);
        },
        hex, error);
}

bool ImageStartDigest(FileHandle image, uint64_t length, std::string& hex, ErrorCode& error) {
    Digest digest;
    return digest.Of(
        length,
        [image, length](char* into, uint64_t got, ErrorCode& code) {
            return ReadImageAt(image, got, into, RoundUp(length, IO_ALIGN) - got, code);
        },
        hex, error);
}
