#include "tests/fake_platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <cstring>
#include <thread>

#include "platform/platform.h"

FakeState* Fake = new FakeState;

void ResetFake(uint64_t drive_size) {
    // The image's memory serves the next fake too: tests that dump again
    // and again (the power cuts) would spend their time in fresh pages.
    std::vector<uint8_t> image, cut;
    image.swap(Fake->image);
    cut.swap(Fake->cut.image);
    image.clear();
    cut.clear();
    delete Fake;
    Fake = new FakeState;
    Fake->image.swap(image);
    Fake->cut.image.swap(cut);
    Fake->drive_size = drive_size;
}

// Each 512-byte sector of the drive is filled with one byte of its own, so
// a shifted, repeated or stale sector shows, and sectors copy with memset.
uint8_t Pattern(uint64_t offset) {
    uint64_t sector = offset / 512 + 1;
    return static_cast<uint8_t>((sector * 2654435761u) >> 7 ^ sector);
}

bool DurablyHeld(const FakeState::Durable& cut, uint64_t from, uint64_t to) {
    if (to > cut.image_bytes || to > cut.image.size()) return false;
    for (const auto& range : cut.unsynced)
        if (range.first < to && range.second > from) return false;
    // Each sector's bytes are one value (Pattern).
    for (uint64_t at = from; at < to;) {
        uint64_t run = std::min<uint64_t>(to, (at / 512 + 1) * 512) - at;
        const uint8_t* bytes = cut.image.data() + at;
        if (bytes[0] != Pattern(at) || std::memcmp(bytes, bytes + 1, run - 1) != 0) return false;
        at += run;
    }
    return true;
}

bool ImageMatches(uint64_t length) {
    if (Fake->image.size() < length) return false;
    for (uint64_t at = 0; at < length; at += 512) {
        uint64_t run = std::min<uint64_t>(512, length - at);
        const uint8_t* sector = Fake->image.data() + at;
        if (sector[0] != Pattern(at) ||
            std::memcmp(sector, sector + 1, run - 1) != 0)
            return false;
    }
    return true;
}

bool ImageMatchesDrive() {
    return Fake->image.size() == Fake->drive_size && ImageMatches(Fake->drive_size);
}

namespace {
// IMAGE_READER: the image's second handle, for reading it back.
constexpr FileHandle DRIVE = 3, IMAGE = 4, IMAGE_READER = 5;

// FNV-1a over 8-byte words, order-sensitive; the engine hands over pieces
// that are whole blocks but for the last, so any split gives one value.
// Its digest depends on the bytes alone, not on how they were handed over,
// as SHA-256's does: words are mixed as they fill, whatever the calls.
struct StandInHash {
    uint64_t state = 14695981039346656037ull;
    uint64_t length = 0;
    uint64_t word = 0;
    void Add(const uint8_t* data, size_t count) {
        size_t at = 0;
        for (; at < count && length % 8 != 0; ++at, ++length) word |= uint64_t{data[at]} << (8 * (length % 8));
        if (length % 8 == 0 && length > 0 && at > 0) Mix();
        for (; at + 8 <= count; at += 8, length += 8) {
            std::memcpy(&word, data + at, 8);
            Mix();
        }
        for (; at < count; ++at, ++length) word |= uint64_t{data[at]} << (8 * (length % 8));
    }
    void Mix() {
        state = (state ^ word) * 1099511628211ull;
        word = 0;
    }
    std::string Hex() const {
        uint64_t end = length % 8 == 0 ? state : (state ^ word) * 1099511628211ull;
        char text[65];
        std::snprintf(text, sizeof text, "%016llx%016llx%016llx%016llx",
                      static_cast<unsigned long long>(end), static_cast<unsigned long long>(length),
                      static_cast<unsigned long long>(~end), static_cast<unsigned long long>(~length));
        return text;
    }
};

// The Windows C runtime has no aligned_alloc.
#ifdef _WIN32
void* AlignedAlloc(size_t length) { return _aligned_malloc(length, IO_ALIGN); }
void AlignedFree(void* buffer) { _aligned_free(buffer); }
#else
// aligned_alloc wants a whole number of alignments; ObtainBuffer takes any
// length, as posix_memalign and VirtualAlloc do.
void* AlignedAlloc(size_t length) { return std::aligned_alloc(IO_ALIGN, (length + IO_ALIGN - 1) / IO_ALIGN * IO_ALIGN); }
void AlignedFree(void* buffer) { std::free(buffer); }
#endif

// The image and the files are changed from more than one thread (the
// writer, the map's keeper, the reader), as a file system takes calls from
// each: one call at a time here.
std::recursive_mutex StateLock;
using Hold = std::lock_guard<std::recursive_mutex>;

// An operation that changes a file or a name has ended; folder_flushed: it
// brought the folder's names to stable storage.
void Operation(bool folder_flushed) {
    Hold hold(StateLock);
    if (folder_flushed) {
        Fake->names.files = Fake->files;
        Fake->names.image_path = Fake->image_path;
    }
    if (++Fake->operations != Fake->cut_after) return;
    Fake->cut = Fake->names;
    Fake->cut.image_bytes = Fake->flushed_bytes;
    Fake->cut.image = Fake->image;
    Fake->cut.unsynced = Fake->unsynced;
    Fake->cut.overwritten = Fake->overwritten;
    Fake->cut.taken = true;
    if (Fake->stop_at_cut) Fake->interrupted = true;
}

// Codes as Windows gives them: sharing violation, access denied.
constexpr ErrorCode SHARING_VIOLATION = 32, ACCESS_DENIED = 5, INVALID_PARAMETER = 87;

bool HeldWithoutShareDelete(const std::string& path) {
    auto held = Fake->held.find(path);
    return held != Fake->held.end() && !held->second;
}

bool Aligned(const void* buffer, size_t length) {
    return reinterpret_cast<uintptr_t>(buffer) % IO_ALIGN == 0 && length % IO_ALIGN == 0;
}
}  // namespace

std::string DriveDigestHex(uint64_t length) {
    StandInHash hash;
    std::vector<uint8_t> sector(512);
    uint64_t end = std::min(length, Fake->drive_size);
    for (uint64_t at = 0; at < end; at += 512) {
        std::fill(sector.begin(), sector.end(), Pattern(at));
        hash.Add(sector.data(), std::min<uint64_t>(512, end - at));
    }
    return hash.Hex();
}

std::string RecordLine(const std::string& key) {
    const std::string& record = Fake->files["out.img.info"];
    size_t at = record.find("\n" + key + ": ");
    if (at == std::string::npos) return "(none)";
    at += key.size() + 3;
    return record.substr(at, record.find('\n', at) - at);
}

std::string ImageDigestHex() {
    StandInHash hash;
    hash.Add(Fake->image.data(), Fake->image.size());
    return hash.Hex();
}

void StartPlatform() {}

std::vector<std::string> CommandLine(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string ConsoleText(const std::string& argument) { return argument; }

std::string ConsoleMessage(const char* message) { return message; }

ErrorCode EndOfDriveCode() { return 5; }
ErrorCode InvalidParameterCode() { return 22; }
ErrorCode ExistsCode() { return 17; }
ErrorCode BusyCode() { return 16; }

bool QueryDriveSize(const std::string& drive, uint64_t& total, ErrorCode& error) {
    error = Fake->size_query_error;
    if (drive != Fake->drive_name || error != 0) return false;
    total = Fake->drive_size;
    return true;
}

std::string DevicePath(const std::string& drive) { return "dev:" + drive; }

FileHandle OpenDrive(const std::string& device_path, ErrorCode& error) {
    if (Fake->open_error != 0 || device_path != "dev:" + Fake->drive_name) {
        error = Fake->open_error;
        return -1;
    }
    Fake->drive_position = 0;
    return DRIVE;
}

bool SharesStorage(FileHandle drive, const std::string& path) {
    return drive == DRIVE && std::find(Fake->drive_at.begin(), Fake->drive_at.end(), path) != Fake->drive_at.end();
}

FileHandle CreateImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                       bool& partial, ErrorCode& error) {
    if (Fake->create_error != 0 || drive != DRIVE) {
        error = Fake->create_error;
        return -1;
    }
    // Decided on what was opened, whatever the path said before.
    if (Fake->image_is_drive) {
        error = InvalidParameterCode();
        return -1;
    }
    partial = !Fake->image_is_device && !Fake->image_is_stream;
    // Created exclusively: a partial file left at the name is not this dump's.
    if (partial && (Fake->files.count(path + PARTIAL_SUFFIX) != 0 ||
                    (Fake->image_exists && Fake->image_path == path + PARTIAL_SUFFIX))) {
        error = 17;
        return -1;
    }
    Hold hold(StateLock);
    Fake->image_path = partial ? path + PARTIAL_SUFFIX : path;
    Fake->map_beside_new_partial = Fake->files.count(path + PARTIAL_SUFFIX + ".map") != 0;
    Fake->reserved_beside = beside;
    // Reserved as FALLOC_FL_KEEP_SIZE and a file's allocation do: the size
    // stays what is written.
    Fake->image.clear();
    Fake->image.reserve(total);
    Fake->image_position = 0;
    Fake->image_exists = true;
    Fake->reserved = total;
    Fake->flushed_bytes = 0;
    Fake->unsynced.clear();
    Fake->overwritten.clear();
    Operation(false);
    return IMAGE;
}

FileHandle OpenPartialImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                            uint64_t& size, ErrorCode& error) {
    Hold hold(StateLock);
    // The fake's partial file is its image, under the partial name.
    if (drive != DRIVE || Fake->image_path != path + PARTIAL_SUFFIX || !Fake->image_exists) {
        error = 2;
        return -1;
    }
    if (Fake->partial_busy || Fake->image_is_drive || beside > Fake->reserve_limit) {
        error = Fake->partial_busy ? BusyCode() : Fake->image_is_drive ? InvalidParameterCode() : 28;
        return -1;
    }
    // An allocation short of the file's end cuts the file there on
    // Windows (FileAllocationInfo).
    if (total + beside < Fake->image.size()) Fake->image.resize(total + beside);
    Fake->reserved = total;
    Fake->reserved_beside = beside;
    size = Fake->image.size();
    // A new handle: writes go on at the file's end until told otherwise,
    // and the last write through the cache was another's.
    Fake->image_position = size;
    Fake->tail_written = false;
    Fake->flushed_bytes = size;
    Fake->unsynced.clear();
    Fake->overwritten.clear();
    Fake->unflushed = false;
    return IMAGE;
}

bool SeekImage(FileHandle image, uint64_t offset, ErrorCode&) {
    Hold hold(StateLock);
    // Unaligned only as the file's new end, where no write follows.
    if (image != IMAGE || (offset % IO_ALIGN != 0 && Fake->image.size() >= offset)) Fake->misaligned_io = true;
    if (Fake->image.size() < offset) Fake->image.resize(offset);
    Fake->image_position = offset;
    return true;
}

void RestartAfterCut() {
    Hold hold(StateLock);
    FakeState::Durable cut = Fake->cut;
    Fake->files = cut.files;
    Fake->names.files = cut.files;
    Fake->image_path = Fake->names.image_path = cut.image_path;
    Fake->image = cut.image;
    Fake->image.resize(std::min<uint64_t>(cut.image_bytes, cut.image.size()));
    for (auto old = cut.overwritten.rbegin(); old != cut.overwritten.rend(); ++old)
        for (uint64_t at = old->first; at < std::min<uint64_t>(old->first + old->second.size(), Fake->image.size()); ++at)
            Fake->image[at] = old->second[at - old->first];
    Fake->image_exists = !cut.image_path.empty();
    Fake->cut = FakeState::Durable{};
    Fake->cut_after = 0;
    Fake->operations = 0;
    Fake->interrupted = false;
    Fake->stop_at_cut = false;
}

std::vector<ErrorCode> LockDrive(FileHandle) {
    return Fake->lock_errors;
}

std::string ImageFilePath(const std::string& path) { return path; }

size_t DriveReadUnit() { return Fake->sector_size; }

size_t DriveSectorSize(FileHandle) { return Fake->sector_size; }

DriveFacts DescribeDrive(FileHandle, const std::string&) { return Fake->facts; }

unsigned ProcessorCount() { return Fake->processors; }

bool DriveGone(ErrorCode code) { return code == 19; }

bool SeekDrive(FileHandle, uint64_t offset, ErrorCode&) {
    Fake->drive_position = offset;
    return true;
}

int64_t ReadDrive(FileHandle drive, void* buffer, size_t length, ErrorCode& error) {
    uint64_t& at = Fake->drive_position;
    size_t sector = Fake->sector_size, align = Fake->buffer_align != 0 ? Fake->buffer_align : sector;
    if (drive != DRIVE || reinterpret_cast<uintptr_t>(buffer) % align != 0 || at % sector != 0 ||
        length % sector != 0) {
        Fake->misaligned_io = true;
        error = INVALID_PARAMETER;
        return -1;
    }
    if (at >= Fake->interrupt_after) Fake->interrupted = true;
    if (Fake->interrupt_at_read > 0 && Fake->reads + 1 >= Fake->interrupt_at_read) Fake->interrupted = true;
    if (++Fake->reads >= Fake->vanish_at_read && Fake->vanish_at_read > 0) {
        error = 23;
        return -1;
    }
    if (at >= Fake->fail_read_from || at >= Fake->gone_from) {
        error = at >= Fake->gone_from ? 19 : 23;
        return -1;
    }
    for (const auto& bad : Fake->bad_ranges) {
        if (at < bad.second && at + length > bad.first) {
            ++Fake->failed_reads;
            error = 23;
            return -1;
        }
    }
    if (Fake->read_delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(Fake->read_delay_ms));
    for (int waited = 0; at >= Fake->reads_wait_from && !Fake->write_failed && waited < 10000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    uint64_t end = std::min(Fake->drive_size, Fake->drive_ends_at);
    uint64_t count = std::min<uint64_t>({length, Fake->max_read, end > at ? end - at : 0});
    for (const auto& range : Fake->short_ranges)
        if (at >= range.first && at < range.second) count = std::min<uint64_t>(count, length / 2);
    for (uint64_t done = 0; done < count;) {
        uint64_t run = std::min(count - done, 512 - (at + done) % 512);
        std::memset(static_cast<uint8_t*>(buffer) + done, Pattern(at + done), run);
        done += run;
    }
    at += count;
    Fake->drive_bytes_read += count;
    return static_cast<int64_t>(count);
}

namespace {
int64_t Write(const void* buffer, size_t length, ErrorCode& error) {
    if (Fake->write_delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(Fake->write_delay_ms));
    Hold hold(StateLock);
    if (Fake->image_position >= Fake->fail_write_from) {
        Fake->write_failed = true;
        error = 27;
        return -1;
    }
    size_t count = std::min(length, Fake->max_write);
    Fake->longest_write = std::max(Fake->longest_write, length);
    uint64_t end = Fake->image_position + count;
    if (Fake->image.size() < end) Fake->image.resize(end);
    std::memcpy(Fake->image.data() + Fake->image_position, buffer, count);
    Fake->image_position = end;
    Fake->unflushed = true;
    if (end >= Fake->interrupt_at_written) Fake->interrupted = true;
    Operation(false);
    return static_cast<int64_t>(count);
}
}  // namespace

int64_t WriteImage(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    if (image != IMAGE || !Aligned(buffer, length) || Fake->tail_written) Fake->misaligned_io = true;
    return Write(buffer, length, error);
}

int64_t WriteImageTail(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    if (image != IMAGE || length >= IO_ALIGN ||
        (!Fake->tail_written && Fake->image_position % IO_ALIGN != 0))
        Fake->misaligned_io = true;
    Fake->tail_written = true;
    return Write(buffer, length, error);
}

bool ImageRewritable(FileHandle) { return !Fake->image_is_stream; }

// In place, within what was written: whole blocks unbuffered, and only a
// piece that ends at the image's end through the cache.
bool WriteImageAt(FileHandle image, uint64_t offset, const void* buffer, size_t length, ErrorCode& error) {
    Hold hold(StateLock);
    size_t blocks = length / IO_ALIGN * IO_ALIGN;
    bool tail_ok = blocks == length || offset + length == Fake->image.size();
    if (image != IMAGE || Fake->image_is_stream || offset % IO_ALIGN != 0 || !tail_ok ||
        reinterpret_cast<uintptr_t>(buffer) % IO_ALIGN != 0 || offset + length > Fake->image.size()) {
        Fake->misaligned_io = true;
        error = INVALID_PARAMETER;
        return false;
    }
    if (offset + length > Fake->fail_rewrite_from) {
        error = 27;
        return false;
    }
    Fake->overwritten.push_back({offset, std::vector<uint8_t>(Fake->image.begin() + static_cast<std::ptrdiff_t>(offset),
                                                              Fake->image.begin() + static_cast<std::ptrdiff_t>(offset + length))});
    std::memcpy(Fake->image.data() + offset, buffer, length);
    Fake->unsynced.push_back({offset, offset + length});
    Fake->unflushed = true;
    ++Fake->rewrites;
    Operation(false);
    return true;
}

FileHandle ReadImageHandle(FileHandle image, ErrorCode& error) {
    if (image != IMAGE || Fake->image_is_stream || Fake->image_is_device) {
        Fake->misaligned_io = true;
        error = INVALID_PARAMETER;
        return -1;
    }
    Fake->reader_open = true;
    return IMAGE_READER;
}

int64_t ReadImageAt(FileHandle image, uint64_t offset, void* buffer, size_t length, ErrorCode& error) {
    if ((image != IMAGE && image != IMAGE_READER) || Fake->image_is_stream || !Aligned(buffer, length) || offset % IO_ALIGN != 0) {
        Fake->misaligned_io = true;
        error = INVALID_PARAMETER;
        return -1;
    }
    if (Fake->read_back_delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(Fake->read_back_delay_ms));
    Hold hold(StateLock);
    if (offset + length > Fake->interrupt_at_read_back) Fake->interrupted = true;
    if (offset >= Fake->fail_image_read_from) {
        error = 5;
        return -1;
    }
    uint64_t size = std::min<uint64_t>(Fake->image.size(), Fake->fail_image_read_from);
    uint64_t count = offset < size ? std::min<uint64_t>(length, size - offset) : 0;
    std::memcpy(buffer, Fake->image.data() + offset, count);
    uint64_t corrupt = Fake->corrupt_image_at;
    if (corrupt >= offset && corrupt < offset + count && (!Fake->unflushed || !Fake->corrupt_after_flush_only))
        static_cast<uint8_t*>(buffer)[corrupt - offset] ^= 0xff;
    if (!Fake->unflushed) Fake->read_back_flushed += count;
    Fake->read_back_bytes += count;
    return static_cast<int64_t>(count);
}

void TrimImage(FileHandle) {
    Hold hold(StateLock);
    Fake->image.resize(Fake->image_position);
}

bool FlushImage(FileHandle image, ErrorCode& error) {
    Hold hold(StateLock);
    if (!Fake->image_is_device && !Fake->image_is_stream) TrimImage(image);
    if (Fake->flush_error != 0) {
        error = Fake->flush_error;
        if (Fake->flush_fails_once) Fake->flush_error = 0;
        return false;
    }
    Fake->flushed_bytes = Fake->image.size();
    Fake->unsynced.clear();
    Fake->overwritten.clear();
    Fake->unflushed = false;
    Operation(false);
    return true;
}

// As fdatasync and FlushFileBuffers: what was written is on stable storage,
// and the file is not cut back. Only a file is synced.
bool SyncImage(FileHandle image, ErrorCode& error) {
    Hold hold(StateLock);
    if (image != IMAGE || Fake->image_is_device || Fake->image_is_stream) Fake->misaligned_io = true;
    if (Fake->sync_error != 0) {
        error = Fake->sync_error;
        return false;
    }
    Fake->flushed_bytes = Fake->image.size();
    Fake->unsynced.clear();
    Fake->overwritten.clear();
    ++Fake->syncs;
    Operation(false);
    return true;
}

bool CloseFile(FileHandle file, ErrorCode&) {
    if (file == IMAGE_READER) Fake->reader_open = false;
    return true;
}

void* ObtainBuffer(size_t length, ErrorCode& error) {
    if (++Fake->obtained_buffers == Fake->fail_obtain_number) {
        error = 12;
        return nullptr;
    }
    int live = ++Fake->live_buffers;
    int peak = Fake->peak_buffers.load();
    while (live > peak && !Fake->peak_buffers.compare_exchange_weak(peak, live)) {
    }
    return AlignedAlloc(length);
}

void ReleaseBuffer(void* buffer, size_t) {
    --Fake->live_buffers;
    AlignedFree(buffer);
}

bool StartHash(HashHandle& hash, ErrorCode& error) {
    if (Fake->hash_start_error != 0) {
        error = Fake->hash_start_error;
        return false;
    }
    hash = reinterpret_cast<HashHandle>(new StandInHash);
    return true;
}

bool HashBytes(HashHandle hash, const void* data, size_t length, ErrorCode& error) {
    if (Fake->hash_delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(Fake->hash_delay_ms));
    if (Fake->hash_error != 0 && Fake->hashed_bytes > 0) {
        error = Fake->hash_error;
        return false;
    }
    reinterpret_cast<StandInHash*>(hash)->Add(static_cast<const uint8_t*>(data), length);
    Fake->hashed_bytes += length;
    return true;
}

bool FinishHash(HashHandle hash, uint8_t (&digest)[DIGEST_BYTES], ErrorCode&) {
    std::string hex = reinterpret_cast<StandInHash*>(hash)->Hex();
    for (size_t n = 0; n < DIGEST_BYTES; ++n)
        digest[n] = static_cast<uint8_t>(std::stoi(hex.substr(2 * n, 2), nullptr, 16));
    DropHash(hash);
    return true;
}

void DropHash(HashHandle hash) { delete reinterpret_cast<StandInHash*>(hash); }

size_t FileNameStart(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? 0 : slash + 1;
}

bool NoSuchFile(ErrorCode code) { return code == 2; }

namespace {
// A call on path fails with code where the fault is set for it: for every
// path when none is named.
bool Faulted(uint32_t code, const std::string& at, const std::string& path, ErrorCode& error) {
    if (code == 0 || (!at.empty() && at != path)) return false;
    error = code;
    return true;
}

bool Exists(const std::string& path) { return Fake->files.count(path) != 0 || path == Fake->image_path; }
}  // namespace

bool ReadFileStart(const std::string& path, size_t limit, std::string& bytes, bool& found, ErrorCode&) {
    Hold hold(StateLock);
    found = Exists(path);
    if (path == Fake->image_path) {
        bytes.assign(std::min<size_t>(limit, Fake->image.size()), '\x5a');
    } else if (found) {
        bytes = Fake->files[path].substr(0, limit);
    }
    return true;
}

bool RemoveFile(const std::string& path, ErrorCode& error) {
    Hold hold(StateLock);
    if (Faulted(Fake->remove_error, Fake->remove_fails_at, path, error)) return false;
    if (HeldWithoutShareDelete(path)) {
        error = SHARING_VIOLATION;
        return false;
    }
    // One held with FILE_SHARE_DELETE is renamed aside first (see the
    // contract): its name is free at once.
    Fake->held.erase(path);
    Operation(false);
    Fake->files.erase(path);
    if (path == Fake->image_path) {
        Fake->image_path.clear();
        Fake->image_exists = false;
    }
    return true;
}

bool ImageInPlace(FileHandle, const std::string&, ErrorCode&) { return true; }

bool Replaceable(const std::string&, ErrorCode&) { return true; }

bool ReserveImage(FileHandle, uint64_t total, uint64_t beside, ErrorCode& error) {
    Hold hold(StateLock);
    if (beside > Fake->reserve_limit) {
        error = 28;
        return false;
    }
    Fake->reserved = total;
    Fake->reserved_beside = beside;
    return true;
}

bool NameImage(FileHandle, const std::string& path, bool& named, ErrorCode& error) {
    Hold hold(StateLock);
    named = false;
    if (Faulted(Fake->rename_error, Fake->rename_fails_at, path, error)) return false;
    // Windows renames no file that another handle holds without
    // FILE_SHARE_DELETE, as the image's second handle does.
    if (Fake->reader_open) {
        error = SHARING_VIOLATION;
        return false;
    }
    if (HeldWithoutShareDelete(path)) {
        error = ACCESS_DENIED;
        return false;
    }
    Fake->files.erase(path);
    Fake->image_path = path;
    named = true;
    bool flushed = !Faulted(Fake->name_flush_error, "", path, error);
    Operation(flushed);
    return flushed;
}

bool RenameFile(const std::string& from, const std::string& to, ErrorCode& error) {
    Hold hold(StateLock);
    if (!Exists(from)) {
        error = 2;
        return false;
    }
    if (Faulted(Fake->rename_error, Fake->rename_fails_at, from, error) ||
        Faulted(Fake->rename_error, Fake->rename_fails_at, to, error))
        return false;
    if (HeldWithoutShareDelete(from) || HeldWithoutShareDelete(to)) {
        error = HeldWithoutShareDelete(from) ? SHARING_VIOLATION : ACCESS_DENIED;
        return false;
    }
    if (from == Fake->image_path) {
        Fake->image_path = to;
        Fake->files.erase(to);
    } else {
        if (to == Fake->image_path) Fake->image_path.clear();
        Fake->files[to] = Fake->files.at(from);
        Fake->files.erase(from);
    }
    bool flushed = from != Fake->rename_unflushed_at;
    Operation(flushed);
    if (!flushed) error = 5;
    return flushed;
}

bool WriteSmallFile(const std::string& path, const std::string& bytes, ErrorCode& error) {
    Hold hold(StateLock);
    if (Fake->small_file_error != 0 && (!bytes.empty() || Fake->small_file_fails_empty) &&
        (Fake->small_file_fails_at.empty() || path == Fake->small_file_fails_at) &&
        Fake->small_file_fails_after-- <= 0 && Faulted(Fake->small_file_error, Fake->small_file_fails_at, path, error))
        return false;
    // Created anew, as O_EXCL and CREATE_NEW do.
    if (Exists(path)) {
        error = 17;
        return false;
    }
    Fake->files[path] = bytes;
    Operation(false);
    return true;
}

bool StartThread(ThreadProc proc, void* argument, ThreadHandle& thread, ErrorCode& error) {
    if (Fake->thread_error != 0 && ++Fake->threads_started == Fake->fail_thread_number) {
        error = Fake->thread_error;
        return false;
    }
    thread = reinterpret_cast<ThreadHandle>(new std::thread(proc, argument));
    return true;
}

void WaitThread(ThreadHandle thread) {
    auto* running = reinterpret_cast<std::thread*>(thread);
    running->join();
    delete running;
}

void WriteStdout(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(Fake->console_lock);
    Fake->console += bytes;
}

bool StdoutIsTerminal() { return Fake->stdout_terminal; }

bool StartTitle() { return Fake->has_title; }

void ShowTitle(const std::string& text) { Fake->titles.push_back(text); }

void EndTitle() { Fake->titles.push_back("(restored)"); }

void WatchInterrupts() {}

bool Interrupted() { return Fake->interrupted; }

void EndAsInterrupted() { std::abort(); }

void Pause() { Fake->paused = true; }

std::vector<DriveInfo> ListDrives() { return Fake->drives; }
