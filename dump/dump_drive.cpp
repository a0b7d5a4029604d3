// Second phase of a dump: open, create, read on this thread while the writer
// writes and the hasher hashes, then give the complete image its name and
// its fingerprint (image.h).
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
#include "dump/messages.h"
#include "dump/progress.h"
#include "dump/record.h"
#include "dump/rescue.h"
#include "dump/rewrite.h"
#include "dump/writer.h"

namespace {
// What the reader works with: the map records every read, and a rescue's
// copying phase carries its skip from transfer to transfer.
struct Reader {
    FileHandle drive;
    DriveMap& map;
    CopyPhase* rescue;  // nullptr: a plain dump, which a failed read ends
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
        if (!ChunkFilled(static_cast<uint32_t>(std::min<uint64_t>(got, want)))) return false;
    }
    return true;
}

bool ReadChunks(Reader& reader, const DumpPlan& plan) {
    uint64_t offset = 0;
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

// The consumers are always waited for, whatever ended the reading, so that
// neither runs on against a queue, image or hash that is gone.
// The writer writes image, and hashes what it writes with image_hash where
// that is not the drive's own hash (a compressed image).
bool CopyChunks(const std::string& drive_text, Reader& reader, const Image& image, WriterContext& writer_context,
                HashHandle hash, HashHandle image_hash, const DumpPlan& plan) {
    writer_context.image = image.handle;
    writer_context.image_hash = image_hash;
    ResetChunkQueue();
    StartProgress(drive_text, plan.total);
    ThreadHandle writer = 0, hasher = 0;
    HasherContext hasher_context{hash, plan.chunks};
    ErrorCode error = 0;
    if (!StartThread(WriterThread, &writer_context, writer, error)) {
        EndProgress();
        PrintFailureOrInterrupt(MSG_THREAD_FAILED, error);
        return false;
    }
    bool hashing = StartThread(HasherThread, &hasher_context, hasher, error);
    if (!hashing) FailChunkQueue(FailureOrInterruptLine(MSG_THREAD_FAILED, error));
    bool read_all = hashing && ReadChunks(reader, plan);
    CloseChunkQueue();
    WaitThread(writer);
    if (hashing) WaitThread(hasher);
    bool taken_all = !ChunkQueueFailed();
    DropChunkBuffers();
    EndProgress();
    return read_all && taken_all;
}

// After a rescue's copying: the later phases, and the image's hash read
// back if they wrote into it. False after the failure's line.
bool FinishRescuedImage(DriveMap& map, FileHandle drive, Image& image, uint64_t failed_reads,
                        uint8_t (&digest)[DIGEST_BYTES]) {
    bool rewrote = false;
    ErrorCode error = 0;
    switch (FinishRescue(map, drive, image.handle, RoomFor(image), failed_reads, rewrote, error)) {
        case RESCUED: break;
        case STOPPED: PrintLine(InterruptLine()); return false;
        case NO_MAP_ROOM: PrintFailureOrInterrupt(MSG_MAP_FAILED, error); return false;
        case NOT_WRITTEN: PrintFailureOrInterrupt(MSG_WRITE_FAILED, error); return false;
        case NOT_RESCUED: PrintFailureOrInterrupt(MSG_READ_FAILED, error); return false;
    }
    if (!rewrote) return true;
    // An image that cannot be read back has no fingerprint either.
    if (HashImage(image.handle, map.Total(), digest, error)) return true;
    if (Interrupted())
        PrintLine(InterruptLine());
    else
        PrintFailureOrInterrupt(MSG_HASH_FAILED, error);
    return false;
}

using Clock = std::chrono::steady_clock;

int64_t SecondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The most the record can take once its times, sizes and digests are known:
// each of those fields at its widest, each text as it stands escaped.
uint64_t RecordBound(Acquisition acquisition) {
    acquisition.drive_bytes = acquisition.image_bytes = acquisition.unreadable = UINT64_MAX;
    acquisition.start = acquisition.end = INT64_MAX / 2;
    acquisition.seconds = 1e15;
    acquisition.rescue = true;
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
    record.rescue = request.rescue;
    record.image = ImageFilePath(image_path);
    record.format = request.format;
    record.level = request.level;
    PrintLine("");
    PrintMessage(MSG_START);
    HashHandle hash = 0;
    ImageHash image_hash;
    Image image;
    DriveMap map(total, request.command_line);
    uint8_t digest[DIGEST_BYTES] = {};
    Published published = NOT_PUBLISHED;
    bool refused = false;
    // Every partial file kept has its map; a complete image only after a
    // rescue.
    auto map_text = [&image, &map](uint64_t held_to, bool finished) {
        return image.is_file ? map.Text(held_to, finished) : std::string();
    };
    CopyPhase copy{map, RoomFor(image), 0, 0, DriveSectorSize(drive)};
    Reader reader{drive, map, request.rescue ? &copy : nullptr};
    std::unique_ptr<Codec> codec = NewCodec(request.format, request.level);
    WriterContext writer{-1, plan.chunks, total};
    if (codec != nullptr) {
        writer.codec = codec.get();
        writer.workers = CompressWorkers(*codec, ProcessorCount());
    }
    ImageRequest image_request{total, request.rescue, map.BytesBound(0), compressing, RecordBound(record)};
    // A hash service that cannot even start is told before the image exists.
    if (!StartHashes(hash, compressing ? &image_hash : nullptr, error)) {
        PrintFailureOrInterrupt(MSG_HASH_FAILED, error);
    } else if (!CreateImageFor(drive, image_path, image_request, image)) {
        DropHash(hash);
    } else if (compressing && !image.is_file) {
        // Nothing was written: a device is left as it stands.
        DropHash(hash);
        DiscardImage(image);
        PrintMessage(MSG_COMPRESS_NOT_FILE);
        refused = true;
    } else if (Interrupted()) {
        // Stopped before the first read: nothing of this dump is kept.
        PrintLine(InterruptLine());
        DropHash(hash);
        DiscardImage(image);
    } else if (!CopyChunks(drive_text, reader, image, writer, hash, image_hash.handle, plan)) {
        // The map tells what the partial file holds, so that ddrescue can
        // go on from it.
        DropHash(hash);
        KeepPartialImage(image, map_text(WrittenBytes(), false));
    } else if (!FinishHash(hash, record.drive_digest, error) ||
               (compressing && !image_hash.Finish(digest, error))) {
        PrintFailureOrInterrupt(MSG_HASH_FAILED, error);
        KeepPartialImage(image, map_text(total, false));
    } else if (request.rescue && map.UnreadBytes() > 0 && ImageRewritable(image.handle) &&
               !FinishRescuedImage(map, drive, image, request.failed_reads, record.drive_digest)) {
        KeepPartialImage(image, map_text(total, false));
    } else {
        // A raw image is the drive's bytes as read: one hash is both.
        if (!compressing) std::copy(std::begin(record.drive_digest), std::end(record.drive_digest), digest);
        record.end = SecondsNow();
        record.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        record.unreadable = map.UnreadBytes();
        record.image_bytes = compressing ? writer.image_bytes : total;
        std::copy(std::begin(digest), std::end(digest), record.image_digest);
        published = PublishImage(image, digest, map_text(total, true), RecordText(record));
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
    // does, as sha256sum would.
    if (!image.is_file) PrintLine(DigestHex(digest) + "  " + EchoText(drive_text));
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
