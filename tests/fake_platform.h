// An in-memory drive and image behind platform.h, with faults to inject.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FakeState {
    // The drive: "drive" names it; its data is Pattern(offset) for offset < size.
    std::string drive_name = "drive";
    uint64_t drive_size = 0;
    uint64_t drive_ends_at = UINT64_MAX;  // reads return 0 from here on
    uint64_t fail_read_from = UINT64_MAX;  // a read starting at or past this fails
    uint64_t gone_from = UINT64_MAX;       // ... with the code of a drive that is gone
    int vanish_at_read = 0;  // from this read on (from 1) every read fails with a bad sector's code
    int reads = 0;
    uint64_t drive_bytes_read = 0;  // by every read that returned bytes
    size_t max_read = SIZE_MAX;             // longer reads come back short
    std::vector<std::pair<uint64_t, uint64_t>> bad_ranges;  // [from, to): a read touching one fails
    std::vector<std::pair<uint64_t, uint64_t>> short_ranges;  // a read starting in one returns half, no error
    int read_delay_ms = 0;
    uint64_t reads_wait_from = UINT64_MAX;  // reads from here wait until a write has failed
    std::atomic<bool> write_failed{false};
    size_t sector_size = 512;
    // What DescribeDrive tells, and ProcessorCount.
    DriveFacts facts{"fake-drive", "Fake Model", "FAKE123"};
    unsigned processors = 2;
    // Unbuffered reads need the buffer on this boundary (0: the sector
    // size), and offset and length on the sector size; Windows' layer asks
    // 4096 of every buffer. Refused with 87 otherwise.
    size_t buffer_align = 0;
    int failed_reads = 0;
    uint64_t drive_position = 0;

    // The image.
    std::vector<uint8_t> image;
    uint64_t image_position = 0;
    bool image_exists = false;
    std::string image_path;  // where the image's file stands: its partial name, then its own
    bool image_is_drive = false;       // whatever the path: the opened folder lies on the drive
    std::vector<std::string> drive_at;  // paths that name the drive
    uint64_t fail_write_from = UINT64_MAX;  // a write starting at or past this fails
    size_t max_write = SIZE_MAX;
    size_t longest_write = 0;                    // the most one write was handed
    uint64_t interrupt_at_written = UINT64_MAX;  // an interrupt noted once the image holds this much
    int write_delay_ms = 0;
    bool misaligned_io = false;  // a transfer broke the unbuffered-I/O rules
    bool tail_written = false;   // the last bytes went through the cache
    uint64_t reserved = 0;       // bytes reserved at creation; the file's size stays what is written
    uint64_t flushed_bytes = 0;  // the image's bytes on stable storage, as of the last flush or sync
    // Ranges written in place since then: on stable storage they may still
    // hold what they held before.
    std::vector<std::pair<uint64_t, uint64_t>> unsynced;
    // What those ranges held before, in the order written: a power cut
    // takes them back to that.
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> overwritten;
    int syncs = 0;  // SyncImage calls that brought the image to stable storage

    bool partial_busy = false;
    bool reader_open = false;  // the image's second handle (ReadImageHandle), open  // another dump holds the partial file (OpenPartialImage refuses it)
    bool image_is_device = false;
    bool image_is_stream = false;  // a pipe or character device: written once, in order
    uint64_t fail_rewrite_from = UINT64_MAX;  // an in-place write reaching past this fails
    int rewrites = 0;                         // in-place writes made
    // Reading the image back (ReadImageAt): the byte at corrupt_image_at
    // comes back other than it was written, as from a fake-capacity stick
    // or a failing disk, while the image holds it as written; a read
    // reaching past fail_image_read_from returns the bytes before it, as
    // FUSE does, and one from there fails (5); one reaching past
    // interrupt_at_read_back notes an interrupt first.
    uint64_t corrupt_image_at = UINT64_MAX;
    bool corrupt_after_flush_only = false;  // ... and only once the image was flushed
    uint64_t fail_image_read_from = UINT64_MAX;
    uint64_t interrupt_at_read_back = UINT64_MAX;
    int read_back_delay_ms = 0;    // each read back takes this long, as a big image's does
    uint64_t read_back_bytes = 0;  // by every read back that returned bytes
    bool unflushed = false;          // a write since the image's last flush
    uint64_t read_back_flushed = 0;  // bytes read back with every write flushed
    uint64_t reserved_beside = 0;  // room reserved for the files beside the image
    uint64_t reserve_limit = UINT64_MAX;  // room beyond this cannot be reserved later (28)

    // An interrupt noted once this many bytes were read (UINT64_MAX: none).
    uint64_t interrupt_after = UINT64_MAX;
    int interrupt_at_read = 0;  // ... or at this read (from 1)
    std::atomic<bool> interrupted{false};

    // The hash, a stand-in for SHA-256: what it was given, in order.
    std::atomic<uint64_t> hashed_bytes{0};
    int hash_delay_ms = 0;

    // Files by path, other than the image being written: the files beside
    // it, and an old image as a text of its own. Each is on stable storage
    // as it is made (WriteSmallFile flushes it).
    std::map<std::string, std::string> files;
    // Files that another program holds open: with FILE_SHARE_DELETE (true),
    // or without it, when neither they nor their names can be removed or
    // replaced.
    std::map<std::string, bool> held;

    // A power cut: after this many operations that change a file or a name
    // (from 1), what stable storage holds is kept in cut. A folder's names
    // are on stable storage as of its last flush (a rename flushes it, a
    // removal does not), a file's bytes as of its own.
    int operations = 0;
    int cut_after = 0;
    bool stop_at_cut = false;  // the run ends soon after the cut (an interrupt), its rest unseen
    struct Durable {
        bool taken = false;
        std::map<std::string, std::string> files;
        std::string image_path;   // where the new image's name stands
        uint64_t image_bytes = 0; // of it on stable storage
        // At the cut: the image's bytes as they stood, of which those below
        // image_bytes and outside unsynced are on stable storage.
        std::vector<uint8_t> image;
        std::vector<std::pair<uint64_t, uint64_t>> unsynced;
        std::vector<std::pair<uint64_t, std::vector<uint8_t>>> overwritten;
    } cut, names;  // names: the folder as of its last flush

    // Calls that fail with the given code (0: they succeed).
    uint32_t open_error = 0, create_error = 0, thread_error = 0;
    uint32_t flush_error = 0, sync_error = 0, hash_start_error = 0, hash_error = 0, size_query_error = 0;
    uint32_t remove_error = 0, small_file_error = 0, rename_error = 0;
    std::vector<uint32_t> lock_errors;  // one per volume whose lock is refused
    bool small_file_fails_empty = false;  // with small_file_error: also the empty one made up front
    // With the error above: only the call on this path fails (empty: every one).
    std::string remove_fails_at, rename_fails_at, small_file_fails_at;
    int small_file_fails_after = 0;  // with small_file_error: so many calls succeed first
    uint32_t name_flush_error = 0;  // the image's rename is made, its flush fails
    bool flush_fails_once = false;  // with flush_error: a second flush reports nothing of the first's loss
    bool map_beside_new_partial = false;  // a partial file's map stood there when the partial file was made
    std::string rename_unflushed_at;  // a rename from here is made, its flush fails (5)
    int fail_thread_number = 1;  // with thread_error: this start (from 1) fails
    std::atomic<int> threads_started{0};
    int fail_obtain_number = 0;  // this buffer (from 1) cannot be obtained

    // Buffers.
    std::atomic<int> live_buffers{0}, peak_buffers{0}, obtained_buffers{0};

    // Console.
    std::mutex console_lock;
    std::string console;
    bool stdout_terminal = false;  // echoed names are escaped
    bool paused = false;
    bool has_title = false;
    std::vector<std::string> titles;  // as shown, in order

    // What ListDrives finds.
    std::vector<DriveInfo> drives;
};

extern FakeState* Fake;

// A new fake with a drive of drive_size bytes.
void ResetFake(uint64_t drive_size);

uint8_t Pattern(uint64_t offset);

// True when stable storage, as cut, holds the drive's bytes [from, to) of
// the image.
bool DurablyHeld(const FakeState::Durable& cut, uint64_t from, uint64_t to);

// True when the image's first length bytes are the drive's.
bool ImageMatches(uint64_t length);

// True when the image holds exactly the drive's bytes, size included.
bool ImageMatchesDrive();

// The stand-in hash's hex digest of the drive's bytes (its first length
// only, where given), as a fingerprint shows it.
std::string DriveDigestHex(uint64_t length = UINT64_MAX);

// ... of the image's bytes as they stand.
std::string ImageDigestHex();

// After a power cut (cut_after): stable storage as it was then becomes the
// fake's files and image, as a machine that starts again finds them: the
// image's bytes past what was flushed gone, those written in place since
// then as they were before.
void RestartAfterCut();

// The value of key in the record beside the image (out.img.info), as the
// line "key: value" gives it; "(none)" where no line has that key.
std::string RecordLine(const std::string& key);
