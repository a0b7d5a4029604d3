// Second phase of a dump: open, create, read on this thread while the writer
// writes and the hasher hashes, read the image back where asked (verify.h),
// then give the complete image its name and its fingerprint (image.h).
#include <algorithm>
#include <chrono>
#include <memory>

#include "dump/chunk_queue.h"
#include "dump/compress.h"
#include "dump/console.h"
#include "dump/dump.h"
#include "dump/fingerprint.h"
#include "dump/hasher.h"
#include "dump/image.h"
#include "dump/map_keeper.h"
#include "dump/messages.h"
#include "dump/progress.h"
#include "dump/record.h"
#include "dump/rescue.h"
#include "dump/resume.h"
#include "dump/rewrite.h"
#include "dump/verify.h"
#include "dump/writer.h"

namespace {
// What the reader works with: the map records every read, and a rescue's
// copying phase carries its skip from transfer to transfer.
struct Reader {
    FileHandle drive;
    DriveMap& map;
    CopyPhase* rescue;  // nullptr: a plain dump, which a failed read ends
    bool first_bytes_seen = false;
};

MapRoom RoomFor(Image& image) {
    return {[](void* context, uint64_t map_bytes, ErrorCode& code) {
                return KeepMapRoom(*static_cast<Image*>(context), map_bytes, code);
            },
            &image};
}

// A rescue's transfer of length bytes at drive offset offset into data: it
// reads past what fails, zero-fills it, and lists in the map both what it
// read and what it did not, so that all length bytes are the chunk's. False
// after the line of what ends the dump (reported here).
bool RescueRead(Reader& reader, char* data, uint64_t offset, uint64_t length) {
    ErrorCode error = 0;
    switch (RescueTransfer(*reader.rescue, reader.drive, data, offset, length, error)) {
        case RESCUED: return true;
        case STOPPED: FailChunkQueue(InterruptLine()); return false;
        case NO_MAP_ROOM: FailChunkQueue(FailureOrInterruptLine(MSG_MAP_FAILED, error)); return false;
        case NOT_RESCUED:
        case NOT_WRITTEN: break;
    }
    FailChunkQueue(FailureOrInterruptLine(MSG_READ_FAILED, error));
    return false;
}

// The drive's first bytes name it in its map (mapfile.h): hashed as the
// copy reads them, once landed bytes of the first chunk reach past them,
// and only where all of them were read (a rescue zero-fills what it could
// not read). False after the hash failure's line.
bool NoteFirstBytes(Reader& reader, const char* data, uint64_t landed) {
    uint64_t first = std::min(FIRST_BYTES, reader.map.Total());
    if (reader.first_bytes_seen || landed < first) return true;
    reader.first_bytes_seen = true;
    if (first > 0 && (reader.map.At(0).status != READ || reader.map.At(0).size < first)) return true;
    HashHandle hash = 0;
    uint8_t digest[DIGEST_BYTES] = {};
    ErrorCode error = 0;
    if (!StartHash(hash, error)) {
        FailChunkQueue(FailureOrInterruptLine(MSG_HASH_FAILED, error));
        return false;
    }
    if (!HashBytes(hash, data, first, error)) {
        DropHash(hash);
        FailChunkQueue(FailureOrInterruptLine(MSG_HASH_FAILED, error));
        return false;
    }
    if (!FinishHash(hash, digest, error)) {
        FailChunkQueue(FailureOrInterruptLine(MSG_HASH_FAILED, error));
        return false;
    }
    reader.map.FirstBytesRead(DigestHex(digest));
    return true;
}

// Reads one queued chunk, TRANSFER_BYTES at a time, telling the writer of
// each piece as it lands. A short read is asked again for the rest; no data
// before the planned end means the drive ended early (unplugged, shrunk)
// and is a failure, never padding. Only the last chunk's want is not a whole
// number of read units; its round-up still fits the buffer, and what it
// reads past want lies past the drive's planned end and is never written.
// False after a read failure or an interrupt (reported here) or once the
// writer failed.
bool ReadChunk(Reader& reader, char* data, uint64_t offset, uint32_t want) {
    uint64_t ask = RoundUp(want, DriveReadUnit());
    uint64_t got = 0;
    while (got < want) {
        if (Interrupted()) {
            FailChunkQueue(InterruptLine());
            return false;
        }
        uint64_t length = std::min<uint64_t>(TRANSFER_BYTES, ask - got);
        if (reader.rescue != nullptr) {
            if (!RescueRead(reader, data + got, offset + got, length)) return false;
            got += length;
        } else {
            ErrorCode error = 0;
            int64_t read = ReadDrive(reader.drive, data + got, length, error);
            if (read <= 0) {
                if (read == 0) error = EndOfDriveCode();
                FailChunkQueue(FailureOrInterruptLine(MSG_READ_FAILED, error));
                return false;
            }
            reader.map.Mark(offset + got, std::min<uint64_t>(read, want - got), READ);
            got += static_cast<uint64_t>(read);
        }
        if (offset == 0 && !NoteFirstBytes(reader, data, std::min<uint64_t>(got, want))) return false;
        if (!ChunkFilled(static_cast<uint32_t>(std::min<uint64_t>(got, want)))) return false;
    }
    return true;
}

bool ReadChunks(Reader& reader, const DumpPlan& plan) {
    // An empty drive's first bytes are none, and no read brings them.
    if (plan.total == 0 && !NoteFirstBytes(reader, nullptr, 0)) return false;
    uint64_t offset = plan.start;
    for (int32_t index = 0; index < plan.chunks; ++index) {
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(CHUNK_BYTES, plan.total - offset));
        // Waiting for room before taking a buffer keeps at most QUEUE_BOUND
        // of them in flight, the one being read included.
        if (!WaitForRoom() || !PrintMarkUnlessFailed(MARK_READ)) return false;
        ErrorCode error = 0;
        void* buffer = ObtainChunkBuffer(error);
        if (buffer == nullptr) {
            FailChunkQueue(FailureOrInterruptLine(MSG_NO_MEMORY, error));
            return false;
        }
        // A refused append means the writer has failed and said so. Once
        // queued, the buffer is the queue's, whatever happens to its reads.
        if (!AppendChunk({buffer, want, 0})) {
            ReleaseChunkBuffer(buffer);
            return false;
        }
        if (!ReadChunk(reader, static_cast<char*>(buffer), offset, want)) return false;
        offset += want;
    }
    return true;
}

// The consumers and the map's keeper are always waited for, whatever ended
// the reading, so that none runs on against a queue, image or hash that is
// gone. The writer writes image, and hashes what it writes with image_hash
// where that is not the drive's own hash (a compressed image); the hasher
// hashes with hash, after the bytes before plan.start where the dump goes
// on (hasher_context). keep_map: the partial file's map is kept current
// (map_keeper.h).
bool CopyChunks(const std::string& drive_text, Reader& reader, Image& image, bool keep_map,
                WriterContext& writer_context, HasherContext& hasher_context, HashHandle hash,
                HashHandle image_hash, const DumpPlan& plan) {
    writer_context.image = image.handle;
    hasher_context.hash = hash;
    hasher_context.chunks = plan.chunks;
    writer_context.image_hash = image_hash;
    ResetChunkQueue();
    StartProgress(drive_text, plan.total, plan.start);
    ThreadHandle writer = 0, hasher = 0, keeper = 0;
    KeeperContext keeper_context{image, reader.map, plan.start};
    ErrorCode error = 0;
    if (!StartThread(WriterThread, &writer_context, writer, error)) {
        EndProgress();
        PrintFailureOrInterrupt(MSG_THREAD_FAILED, error);
        return false;
    }
    bool hashing = StartThread(HasherThread, &hasher_context, hasher, error);
    if (!hashing) FailChunkQueue(FailureOrInterruptLine(MSG_THREAD_FAILED, error));
    bool keeping = hashing && keep_map && StartThread(KeeperThread, &keeper_context, keeper, error);
    if (hashing && keep_map && !keeping) FailChunkQueue(FailureOrInterruptLine(MSG_THREAD_FAILED, error));
    bool read_all = hashing && (keeping || !keep_map) && ReadChunks(reader, plan);
    CloseChunkQueue();
    WaitThread(writer);
    if (hashing) WaitThread(hasher);
    // Windows renames no file that a handle without delete sharing holds:
    // the read-back's goes before the image takes its name.
    if (hasher_context.image >= 0) CloseQuietly(hasher_context.image);
    hasher_context.image = -1;
    if (keeping) WaitThread(keeper);
    bool taken_all = !ChunkQueueFailed();
    DropChunkBuffers();
    EndProgress();
    return read_all && taken_all;
}

// The partial file's map kept current by the rescue's phases, on their own
// thread: of the whole copy, which is written.
MapKeeping KeepingFor(Image& image) {
    return {[](void* context, const DriveMap& map, ErrorCode& error) {
                Image& kept = *static_cast<Image*>(context);
                const char* failure = nullptr;
                if (KeepMapCurrent(kept, map.Text(map.Total(), false), true, failure, error)) return RESCUED;
                return kept.flush_failed ? NOT_WRITTEN : NO_MAP_ROOM;
            },
            &image};
}

// After a rescue's copying: the later phases, and the image's hash read
// back if they wrote into it. Then, for a read-back to come (written not
// nullptr), what the copy wrote is kept: where the copy read, its bytes;
// elsewhere its zeros, which the phases wrote over. False after the
// failure's line.
bool FinishRescuedImage(DriveMap& map, FileHandle drive, Image& image, uint64_t failed_reads,
                        uint8_t (&digest)[DIGEST_BYTES], WrittenImage* written) {
    std::vector<MapArea> copied = written != nullptr ? map.Areas() : std::vector<MapArea>();
    uint8_t copy_digest[DIGEST_BYTES] = {};
    std::copy(std::begin(digest), std::end(digest), copy_digest);
    bool rewrote = false;
    ErrorCode error = 0;
    switch (FinishRescue(map, drive, image.handle, RoomFor(image), KeepingFor(image), failed_reads, rewrote,
                         error)) {
        case RESCUED: break;
        case STOPPED: PrintLine(InterruptLine()); return false;
        case NO_MAP_ROOM: PrintFailureOrInterrupt(MSG_MAP_FAILED, error); return false;
        case NOT_WRITTEN: PrintFailureOrInterrupt(MSG_WRITE_FAILED, error); return false;
        case NOT_RESCUED: PrintFailureOrInterrupt(MSG_READ_FAILED, error); return false;
    }
    if (!rewrote) return true;
    // An image that cannot be read back has no fingerprint either.
    if (HashImage(image.handle, map.Total(), digest, error)) {
        if (written != nullptr) {
            written->copied = std::move(copied);
            written->content_known = true;
            std::copy(std::begin(copy_digest), std::end(copy_digest), written->content_digest);
        }
        return true;
    }
    if (Interrupted())
        PrintLine(InterruptLine());
    else
        PrintFailureOrInterrupt(MSG_HASH_FAILED, error);
    return false;
}

using Clock = std::chrono::steady_clock;

enum GoOn { NEW_DUMP, GO_ON, CANNOT_GO_ON };

// Whether the dump goes on where one stopped (resume.h): asked for
// (--resume), or a rescue into an image that its map describes, which goes
// on from that map rather than put a worse image in its place. A partial
// file left blocks a new dump (CreateImageFor says so). now: the drive as
// it stands, its first bytes' SHA-256 added where they can be read. After
// the line of what refuses it: CANNOT_GO_ON.
GoOn WhereToGoOn(FileHandle drive, const std::string& image_path, const DumpRequest& request, DriveIdentity& now,
                 LeftImage& left, ParsedMap& parsed) {
    if (!request.resume && !request.rescue) return NEW_DUMP;
    left.left = FindLeft(ImageFilePath(image_path), left.map_text);
    if (left.left == NOTHING_LEFT || (!request.resume && left.left == PARTIAL_LEFT)) {
        if (!request.resume) return NEW_DUMP;
        PrintMessage(MSG_NOTHING_TO_RESUME);
        return CANNOT_GO_ON;
    }
    std::string why;
    if (!ParseMap(left.map_text, parsed, why)) {
        PrintMessage(MSG_MAP_INVALID);
        return CANNOT_GO_ON;
    }
    const uint64_t first = std::min(FIRST_BYTES, now.size);
    ErrorCode error = 0;
    // A dying drive may no longer read there: it is then told by what
    // else the map names.
    if (!DriveStartDigest(drive, first, now.first_sha256, error)) now.first_sha256.clear();
    if (!SameDrive(parsed, now)) {
        PrintMessage(MSG_OTHER_DRIVE);
        return CANNOT_GO_ON;
    }
    left.held_end = HeldEnd(parsed);
    // Read from 0 on, however many lines the map gives it in (ddrescue
    // joins them; a map edited by hand may not).
    uint64_t read_from_start = 0;
    for (const MapArea& area : parsed.areas) {
        if (area.status != READ || area.pos != read_from_start) break;
        read_from_start += area.size;
    }
    if (read_from_start >= first) {
        left.start_bytes = first;
        left.start_digest = now.first_sha256;
    }
    return GO_ON;
}

// --verify, before the image takes its name: flushed first, so that what is
// read back without the cache is what its storage holds, then read back and
// compared with what was written; seconds, the time it took. False after
// the line of what stopped it, the partial file kept: without a map where
// its bytes came back other than written or could not be read, since a map
// would call bytes held that the target did not keep; with map_text after
// an interrupt or a failure of this program's own (memory, the hash, a
// decoder), as after any failure: the bytes were flushed and not found
// wrong.
bool VerifyImage(Image& image, const WrittenImage& written, const std::string& map_text, double& seconds) {
    Clock::time_point started = Clock::now();
    if (!FlushWholeImage(image, map_text)) return false;
    std::string line;
    ReadBack found = ReadImageBack(image.handle, written, line);
    seconds = std::chrono::duration<double>(Clock::now() - started).count();
    switch (found) {
        case SAME: return true;
        case DIFFERENT: PrintMessage(MSG_VERIFY_FAILED); break;
        case UNREADABLE: PrintLine(line); break;
        case NOT_COMPARED:
            PrintLine(line);
            KeepPartialImage(image, map_text);
            return false;
    }
    KeepPartialImage(image, "");
    return false;
}

int64_t SecondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The most the record can take once its times, sizes and digests are known:
// each of those fields at its widest, each text as it stands escaped.
uint64_t RecordBound(Acquisition acquisition) {
    acquisition.drive_bytes = acquisition.image_bytes = acquisition.unreadable = UINT64_MAX;
    acquisition.start = acquisition.end = INT64_MAX / 2;
    acquisition.seconds = acquisition.verify_seconds = 1e15;
    acquisition.rescue = acquisition.verified = acquisition.resumed = true;
    acquisition.resumed_from = UINT64_MAX;
    return RecordText(acquisition).size() + 64;
}

// The image's hash, where it is not the drive's: a compressed file's bytes.
// Dropped unless finished.
struct ImageHash {
    HashHandle handle = 0;
    bool started = false;
    ~ImageHash() {
        if (started) DropHash(handle);
    }
    bool Start(ErrorCode& error) { return started = StartHash(handle, error); }
    bool Finish(uint8_t (&digest)[DIGEST_BYTES], ErrorCode& error) {
        started = false;
        return FinishHash(handle, digest, error);
    }
};

// Both hashes started, or neither.
bool StartHashes(HashHandle& hash, ImageHash* image_hash, ErrorCode& error) {
    if (!StartHash(hash, error)) return false;
    if (image_hash == nullptr || image_hash->Start(error)) return true;
    DropHash(hash);
    return false;
}

// Before the copy goes on at from: the image and the drive set to go on
// there, and the hasher given a handle to read back the part of the
// partial file before it, which it hashes first while the copy begins.
// False after the line of what stopped it.
bool GoOnWith(Image& image, FileHandle drive, uint64_t size, uint64_t from, HasherContext& hasher) {
    PrintLine(ConsoleMessage(MSG_RESUMING) + std::to_string(from));
    ErrorCode error = 0;
    // A drive's last block cut short is where a rescue's image ends: no
    // write follows, and its end is no place an unbuffered handle may be set to.
    bool at_end = from == image.total && size >= from;
    if (!at_end && !SeekImage(image.handle, from, error)) {
        PrintFailureOrInterrupt(MSG_WRITE_FAILED, error);
        return false;
    }
    if (!SeekDrive(drive, from, error)) {
        PrintFailureOrInterrupt(MSG_READ_FAILED, error);
        return false;
    }
    if (from > 0 && (hasher.image = ReadImageHandle(image.handle, error)) < 0) {
        PrintFailureOrInterrupt(MSG_IMAGE_READ_FAILED, error);
        return false;
    }
    hasher.held = std::min(size, from);
    hasher.start = from;
    return true;
}

// The hasher's handle to read the image back, closed with the dump where
// the copy did not close it.
struct HasherHandle {
    HasherContext& context;
    ~HasherHandle() {
        if (context.image >= 0) CloseQuietly(context.image);
    }
};

DumpOutcome CopyDrive(const std::string& drive_text, const std::string& image_path, const DumpPlan& plan,
                      const DumpRequest& request) {
    const uint64_t total = plan.total;
    const bool compressing = request.format != RAW;
    Acquisition record;
    record.start = SecondsNow();
    Clock::time_point started = Clock::now();
    ErrorCode error = 0;
    FileHandle drive = OpenDrive(DevicePath(drive_text), error);
    if (drive < 0) {
        PrintFailureOrInterrupt(MSG_OPEN_FAILED, error);
        return DUMP_FAILED;
    }
    // A volume in use may change while it is read: said, but no failure.
    for (ErrorCode refused : LockDrive(drive)) PrintFailureOrInterrupt(MSG_LOCK_FAILED, refused);
    record.command_line = request.command_line;
    record.drive = drive_text;
    record.facts = DescribeDrive(drive, DevicePath(drive_text));
    record.drive_bytes = total;
    record.sector_size = DriveSectorSize(drive);
    record.image = ImageFilePath(image_path);
    record.format = request.format;
    record.level = request.level;
    PrintLine("");
    PrintMessage(MSG_START);
    DriveIdentity now{total, record.sector_size, record.facts.opened, record.facts.model, record.facts.serial, ""};
    LeftImage left;
    ParsedMap parsed;
    GoOn go_on = WhereToGoOn(drive, image_path, request, now, left, parsed);
    if (go_on == CANNOT_GO_ON) {
        CloseQuietly(drive);
        return DUMP_FAILED;
    }
    const bool resuming = go_on == GO_ON;
    // A map that tells of bytes not read goes on as the rescue it was.
    const bool rescue = request.rescue || (resuming && RescueLeft(parsed, LastNotTried(parsed)));
    DumpPlan copy_plan = plan;
    if (resuming) {
        copy_plan.start = GoOnFrom(parsed, rescue);
        copy_plan.chunks = CountChunks(total - copy_plan.start);
    }
    const uint64_t from = copy_plan.start;
    record.rescue = rescue;
    record.resumed = resuming;
    record.resumed_from = from;
    HashHandle hash = 0;
    ImageHash image_hash;
    Image image;
    WrittenImage written;  // what a read-back is compared with
    DriveMap map(total, request.command_line);
    map.Identify({total, record.sector_size, record.facts.opened, record.facts.model, record.facts.serial, ""});
    if (resuming) {
        map.Restore(parsed.areas, from);
        if (from > 0 && !now.first_sha256.empty()) map.FirstBytesRead(now.first_sha256);
    }
    uint8_t digest[DIGEST_BYTES] = {};
    Published published = NOT_PUBLISHED;
    bool refused = false;
    const char* failure = nullptr;
    // Every partial file kept has its map; a complete image only after a
    // rescue.
    auto map_text = [&image, &map](uint64_t held_to, bool finished) {
        return image.is_file ? map.Text(held_to, finished) : std::string();
    };
    CopyPhase copy{map, RoomFor(image), 0, 0, DriveSectorSize(drive)};
    Reader reader{drive, map, rescue ? &copy : nullptr};
    // The copy's first bytes were read before (WhereToGoOn).
    reader.first_bytes_seen = from > 0;
    std::unique_ptr<Codec> codec = NewCodec(request.format, request.level);
    WriterContext writer{-1, copy_plan.chunks, total};
    HasherContext hasher{0, 0};
    HasherHandle hasher_handle{hasher};
    if (codec != nullptr) {
        writer.codec = codec.get();
        writer.workers = CompressWorkers(*codec, ProcessorCount());
    }
    // What a rescue's copy wrote is checked on its own by a read-back, but
    // not gone on with: the bytes before the copy are then the partial
    // file's as they stood, not zeros wherever the map lacks them.
    WrittenImage* copy_checked = request.verify && !resuming ? &written : nullptr;
    ImageRequest image_request{total, rescue, map.BytesBound(0), compressing, RecordBound(record)};
    uint64_t left_size = 0;
    // A hash service that cannot even start is told before the image exists.
    if (!StartHashes(hash, compressing ? &image_hash : nullptr, error)) {
        PrintFailureOrInterrupt(MSG_HASH_FAILED, error);
    } else if (resuming ? !OpenLeftImage(drive, image_path, image_request, left, image, left_size)
                        : !CreateImageFor(drive, image_path, image_request, image)) {
        DropHash(hash);
    } else if (compressing && !image.is_file) {
        // Nothing was written: a device is left as it stands.
        DropHash(hash);
        DiscardImage(image);
        PrintMessage(MSG_COMPRESS_NOT_FILE);
        refused = true;
    } else if (request.verify && !ImageRewritable(image.handle)) {
        // Nothing was written: what cannot be read back (a pipe, the null
        // device) cannot be verified, so the dump asked for is not begun.
        DropHash(hash);
        DiscardImage(image);
        PrintMessage(MSG_VERIFY_UNREADABLE);
        refused = true;
    } else if (Interrupted()) {
        // Stopped before the first read: nothing of this dump is kept.
        PrintLine(InterruptLine());
        DropHash(hash);
        DiscardImage(image);
    } else if (!KeepMapCurrent(image, map_text(from, false), false, failure, error)) {
        // The map's room is told before the copy, where it can be.
        PrintFailureOrInterrupt(failure, error);
        DropHash(hash);
        DiscardImage(image);
    } else if (resuming && !GoOnWith(image, drive, left_size, from, hasher)) {
        DropHash(hash);
        KeepPartialImage(image, map_text(from, false));
    } else if (!CopyChunks(drive_text, reader, image, image.is_file && !compressing, writer, hasher, hash,
                           image_hash.handle, copy_plan)) {
        // The map tells what the partial file holds, so that ddrescue can
        // go on from it.
        DropHash(hash);
        KeepPartialImage(image, map_text(from + WrittenBytes(), false));
    } else if (!FinishHash(hash, record.drive_digest, error) ||
               (compressing && !image_hash.Finish(digest, error))) {
        PrintFailureOrInterrupt(MSG_HASH_FAILED, error);
        KeepPartialImage(image, map_text(total, false));
    } else if (rescue && map.UnreadBytes() > 0 && ImageRewritable(image.handle) &&
               !FinishRescuedImage(map, drive, image, request.failed_reads, record.drive_digest,
                                   copy_checked)) {
        KeepPartialImage(image, map_text(total, false));
    } else {
        // The copy ends here; a read-back has a time of its own.
        record.end = SecondsNow();
        record.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        // A raw image is the drive's bytes as read: one hash is both.
        if (!compressing) std::copy(std::begin(record.drive_digest), std::end(record.drive_digest), digest);
        written.codec = codec.get();
        written.total = total;
        std::copy(std::begin(digest), std::end(digest), written.file_digest);
        if (compressing) {
            written.content_known = true;
            std::copy(std::begin(record.drive_digest), std::end(record.drive_digest), written.content_digest);
        }
        if (!request.verify || VerifyImage(image, written, map_text(total, false), record.verify_seconds)) {
            record.verified = request.verify;
            record.unreadable = map.UnreadBytes();
            record.image_bytes = compressing ? writer.image_bytes : total;
            std::copy(std::begin(digest), std::end(digest), record.image_digest);
            published = PublishImage(image, digest, map_text(total, true), RecordText(record));
        }
    }
    CloseQuietly(drive);
    if (refused) return DUMP_REFUSED;
    if (published == NOT_PUBLISHED) return DUMP_FAILED;
    uint64_t unread = map.UnreadBytes();
    // The image has the name even so: one with zeros in it says how many,
    // whether or not its map could follow.
    if (published == NAMED_ONLY) {
        if (unread > 0) PrintLine(ConsoleMessage(MSG_RESCUED) + std::to_string(unread));
        return DUMP_NAMED_ONLY;
    }
    PrintLine("");
    // Nothing beside the image tells what the drive hashed to: the console
    // does, as sha256sum would, a name's line ends and backslashes escaped
    // behind a leading backslash, so that the name cannot add a line.
    if (!image.is_file) {
        std::string name = EscapeLineEnds(drive_text, true);
        PrintLine((name != drive_text ? "\\" : "") + DigestHex(digest) + "  " + EchoText(name));
    }
    if (unread == 0) {
        PrintMessage(MSG_COMPLETE);
        return DUMP_COMPLETE;
    }
    PrintLine(ConsoleMessage(MSG_RESCUED) + std::to_string(unread));
    return DUMP_RESCUED;
}
}  // namespace

DumpOutcome DumpDrive(const std::string& drive, const std::string& image, const DumpRequest& request) {
    WatchInterrupts();
    EchoDump(drive, image);
    uint64_t total = 0;
    if (!SizeDrive(drive, total)) return DUMP_FAILED;
    DumpPlan plan = PlanDump(total);
    PrintPlan(plan);
    return CopyDrive(drive, image, plan, request);
}

DumpOutcome DumpDrive(const std::string& drive, const std::string& image, bool rescue,
                      const std::string& command_line, uint64_t failed_reads) {
    DumpRequest request;
    request.rescue = rescue;
    request.failed_reads = failed_reads;
    request.command_line = command_line;
    request.format = FormatOfName(image);
    request.level = DefaultLevel(request.format);
    return DumpDrive(drive, image, request);
}
