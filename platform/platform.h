// The operating-system operations the dump engine needs. One implementation
// per OS (platform/linux/, platform/windows/) and a fake one for the
// engine's tests; the engine never asks which one it runs on.
//
// Every operation that can fail takes an ErrorCode& and, on failure, stores
// the OS's own code there at the failing call (errno, GetLastError), before
// any cleanup inside the operation can overwrite it. On success the code is
// left untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An open drive or image: a file descriptor or a HANDLE, widened.
using FileHandle = intptr_t;
// The platform's last-error code, printed in decimal.
using ErrorCode = uint32_t;
// The writer's thread, kept only to wait for it.
using ThreadHandle = uintptr_t;
// A thread procedure: one pointer-sized argument, a 32-bit result.
using ThreadProc = uint32_t (*)(void* argument);

// Unbuffered transfers need buffers, lengths and offsets on this boundary;
// 4096 covers every sector size in use (512 and 4096).
constexpr size_t IO_ALIGN = 4096;

// Readies the process before anything else runs: on Linux descriptors 0 to
// 2 are kept open (on /dev/null where closed), so that no drive or image can
// take one and receive the console's bytes, and SIGPIPE is ignored, so that
// a closed console never ends a dump, and the locale's character set picks
// the console's encoding; on Windows a missing medium fails its call rather
// than raise a dialog that an unattended run would wait on.
void StartPlatform();

// The command line, the program's name first, in the form every operation
// below takes paths in: the bytes as given on Linux, UTF-8 of the wide
// command line on Windows, so that a name in any script survives.
std::vector<std::string> CommandLine(int argc, char** argv);

// An argument as the console shows it: on Windows its system code page form,
// the bytes a narrow command line would have given.
std::string ConsoleText(const std::string& argument);

// A text of messages.h, held as GBK bytes, in the console's encoding: GBK
// on Windows and under a GB locale on Linux (GBK, GB18030, GB2312), UTF-8
// under every other Linux locale, "C" included.
std::string ConsoleMessage(const char* message);

// Error codes the engine reports for conditions the OS itself does not flag.
// A read that returns no data before the drive's planned end.
ErrorCode EndOfDriveCode();
// An image path that shares storage with the drive.
ErrorCode InvalidParameterCode();
// A name that something stands at which this dump may not replace.
ErrorCode ExistsCode();

// Sets total to the drive's exact size in bytes. False when it cannot: with
// error untouched when the text names no drive (no code worth printing),
// else set to why a drive that is there cannot be sized (no medium in a
// card reader: 21 on Windows).
bool QueryDriveSize(const std::string& drive, uint64_t& total, ErrorCode& error);

// The path a drive is opened by (Windows prefixes "\\.\" to the drive text,
// less the trailing backslash of a spelling such as "E:\").
std::string DevicePath(const std::string& drive);

// Opens the drive for unbuffered reading from offset 0; -1 on failure.
FileHandle OpenDrive(const std::string& device_path, ErrorCode& error);

// Where the system locks a volume against other writers (Windows), locks
// the drive's, or each volume of a whole disk: its cached data is flushed
// and nobody else writes to it until the drive is closed (CloseFile). The
// code of each lock the system refused (files open on the volume, the
// system volume), one per volume; none where every lock holds. Linux has
// no such lock: EBUSY where a file system is mounted writable on the drive
// (a partition of it, a loop device over its file), none otherwise.
std::vector<ErrorCode> LockDrive(FileHandle drive);

// The path a file image is made under, named as the system will name the
// file: on Windows without the trailing dots and blanks that it drops from
// a name; on Linux the path itself.
std::string ImageFilePath(const std::string& path);

// False, with the code, when what stands at path could not be replaced by
// a file (a folder), so that the dump is refused before it begins.
bool Replaceable(const std::string& path, ErrorCode& error);

// True when what stands at path now is the drive or storage it lies on (a
// partition of it, the disk or the file that holds it), so that replacing
// that name could take the drive's. A relation the system does not reveal
// counts as none. Only ever a reason to refuse: what is written is checked
// on what was opened (CreateImage).
bool SharesStorage(FileHandle drive, const std::string& path);

// A new file image is written under path with this appended, and takes
// path's name only once it is complete (NameImage).
constexpr char PARTIAL_SUFFIX[] = ".part";

// Opens the image for unbuffered writing from offset 0, never emptying or
// following anything at path:
// - a device, FIFO or null device standing at path is opened as it stands,
//   partial false; a disk or volume must be at least total bytes, unused
//   (not mounted or held: busy on Linux) and is taken over for writing;
// - anything else (nothing, a file, a link) gets a new file at path +
//   PARTIAL_SUFFIX, created exclusively (whatever stands at that name,
//   the partial file of an earlier or a running dump included, is left
//   alone and the call fails with ExistsCode()), partial true, held for
//   this dump alone (OpenPartialImage), with room for total bytes
//   and beside bytes more reserved, or, where the file system cannot
//   reserve, that much free; its visible size is what is written.
// What was opened (the device, or the folder the file is created in) that
// shares storage with the drive is refused with InvalidParameterCode().
// -1 on failure, with nothing left behind.
FileHandle CreateImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                       bool& partial, ErrorCode& error);

// Opens the partial file that a stopped dump left at path + PARTIAL_SUFFIX,
// to go on with it: for unbuffered reading and writing, never created, and
// never through a link at its name. Refused as busy while another dump holds
// it (each dump holds its partial file for itself alone, from CreateImage or
// this call on, until it closes it); refused with InvalidParameterCode()
// where what was opened is no regular file, or its folder shares storage
// with the drive. Room for total bytes and beside bytes more is reserved as
// CreateImage reserves it. size: the file's bytes as it stands. -1 on
// failure, the file left as it was.
FileHandle OpenPartialImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                            uint64_t& size, ErrorCode& error);

// The partial file's next write goes at offset, a multiple of IO_ALIGN; a
// file shorter than that is first lengthened to it with zeros. False on
// failure.
bool SeekImage(FileHandle image, uint64_t offset, ErrorCode& error);

// True while the partial image is where it was made: path's folder is
// still the folder it was created in, and its partial name there still the
// file written through image. False, with the code, when another program
// has put something else in either place.
bool ImageInPlace(FileHandle image, const std::string& path, ErrorCode& error);

// Grows the room reserved for a partial file image to total bytes of image
// and beside bytes of the files written beside it at the end (as
// CreateImage reserves), so that a file beside that grows during the dump
// (a rescue map) is sure of its room. False, with the code, when the file
// system cannot give it.
bool ReserveImage(FileHandle image, uint64_t total, uint64_t beside, ErrorCode& error);

// Gives a complete partial image its name: renames path + PARTIAL_SUFFIX
// over path, replacing whatever name stands there, in the folder it was
// created in and only while that name is still the file written through
// image; the image is closed either way. False, with named false, when
// path still holds what it held; named true when the rename was made but
// could not be brought to stable storage (the folder's or volume's flush
// failed).
bool NameImage(FileHandle image, const std::string& path, bool& named, ErrorCode& error);

// Moves the file at from over to, replacing whatever name stands there (a
// link itself, not what it points to), durably: the folder is flushed on
// Linux; on Windows the volume, where this process may open it for writing
// (an administrator), since a rename has no flush of its own there.
bool RenameFile(const std::string& from, const std::string& to, ErrorCode& error);

// The unit the drive's last read is rounded up to: a volume's tail is whole
// sectors and a read past its end fails on Windows; O_DIRECT on Linux reads
// whole 4096-byte blocks and returns short at the end of a device or file.
size_t DriveReadUnit();

// The drive's logical sector size: the smallest piece it can be read in
// (512, 2048 or 4096; on Linux the direct-I/O alignment of a file).
size_t DriveSectorSize(FileHandle drive);

// What the system tells of an open drive, for the acquisition record
// beside the image: empty texts where it tells nothing (a file as the
// drive has no model; Wine answers few of the queries).
struct DriveFacts {
    std::string opened;  // the drive as opened: the device or file the handle reads (UTF-8)
    std::string model;   // vendor and product as the device reports them
    std::string serial;  // the device's serial number
};

// The facts of the drive opened through drive from device_path: Linux
// from sysfs (a partition's from its disk), Windows from
// IOCTL_STORAGE_QUERY_PROPERTY.
DriveFacts DescribeDrive(FileHandle drive, const std::string& device_path);

// Sets the drive's position for the next read. False on failure.
bool SeekDrive(FileHandle drive, uint64_t offset, ErrorCode& error);

// True when a read's code says the drive is gone (unplugged, its medium
// taken out, the server behind it ended) rather than a sector unreadable.
bool DriveGone(ErrorCode code);

// Reads up to length bytes at the current position into an IO_ALIGN-aligned
// buffer; returns the bytes read, 0 at the end of the drive, -1 on an error.
// Fewer than asked with no error is not the end: ask again for the rest.
int64_t ReadDrive(FileHandle drive, void* buffer, size_t length, ErrorCode& error);

// Writes up to length bytes from an IO_ALIGN-aligned buffer at the current
// position; returns the bytes written (at least 1), or -1 on an error.
// Fewer than asked with no error means write the rest again.
int64_t WriteImage(FileHandle image, const void* buffer, size_t length, ErrorCode& error);

// Writes the image's last length bytes, fewer than IO_ALIGN, after what was
// written so far, through the system's cache: unbuffered writes are whole
// blocks, and a block past the drive's end would lengthen a pipe's stream,
// overrun a device of the drive's size or break a file-size limit. Returns
// the bytes written (at least 1), or -1; no unbuffered write follows it.
int64_t WriteImageTail(FileHandle image, const void* buffer, size_t length, ErrorCode& error);

// True when the image can be written in place and read back once the copy
// has been written: a file or a disk, not a pipe, FIFO or character device.
bool ImageRewritable(FileHandle image);

// After the copy: writes length bytes from an IO_ALIGN-aligned buffer at
// offset, a multiple of IO_ALIGN, into a rewritable image, in place; length
// is whole IO_ALIGN blocks but where the bytes end at the image's end,
// whose last piece goes as the tail does (WriteImageTail). False on failure.
bool WriteImageAt(FileHandle image, uint64_t offset, const void* buffer, size_t length, ErrorCode& error);

// After the copy: reads up to length bytes, whole IO_ALIGN blocks, of a
// rewritable image at offset, a multiple of IO_ALIGN, without the cache,
// into an IO_ALIGN-aligned buffer. A file image is read to its own end,
// whatever the drive's size (a compressed one's is not the drive's); a
// disk or volume to its own. Fewer than asked at that end, or (FUSE)
// before a block whose read fails: asked again from there, the read fails
// or returns 0. Returns the bytes read, 0 past the end, -1 on an error.
int64_t ReadImageAt(FileHandle image, uint64_t offset, void* buffer, size_t length, ErrorCode& error);

// Cuts a file image back to the bytes written, giving back the room
// reserved past them.
void TrimImage(FileHandle image);

// Trims a file image (TrimImage) and brings its data and size to stable
// storage. False on failure.
bool FlushImage(FileHandle image, ErrorCode& error);

// Brings the bytes written to a file image so far, and its size, to stable
// storage, without cutting it back: the room reserved past them stays, and
// another thread may go on writing meanwhile (the writer, while the map is
// kept). What a map written after it calls held survives a power cut.
// False on failure.
bool SyncImage(FileHandle image, ErrorCode& error);

// Closes a drive or image. False on failure (the handle is gone either way).
bool CloseFile(FileHandle file, ErrorCode& error);

// Returns length bytes aligned to IO_ALIGN, not cleared, or nullptr.
void* ObtainBuffer(size_t length, ErrorCode& error);

// Returns a buffer from ObtainBuffer to the system.
void ReleaseBuffer(void* buffer, size_t length);

// The system's SHA-256 of the drive's bytes, in progress.
using HashHandle = intptr_t;
constexpr size_t DIGEST_BYTES = 32;

// Starts a SHA-256 with the system's own service. False when it cannot.
bool StartHash(HashHandle& hash, ErrorCode& error);

// Adds length bytes, in order after those added before. False on failure.
bool HashBytes(HashHandle hash, const void* data, size_t length, ErrorCode& error);

// Sets digest to the hash of every byte added and ends it. False on failure;
// the hash is ended either way.
bool FinishHash(HashHandle hash, uint8_t (&digest)[DIGEST_BYTES], ErrorCode& error);

// Ends an unfinished hash.
void DropHash(HashHandle hash);

// Where the last component of path begins: after the last "/" on Linux,
// where "\" and ":" are a name's own characters; after the last "/", "\"
// or drive colon on Windows.
size_t FileNameStart(const std::string& path);

// True when a call's code says nothing stands at its path.
bool NoSuchFile(ErrorCode code);

// Reads up to limit bytes from the start of the regular file at path (a
// link followed) into bytes, never waiting on what stands there. True, with
// found false, when nothing does; false, with the code, when it cannot
// (no rights; a folder, a device, a FIFO or a link to nothing: ExistsCode()).
bool ReadFileStart(const std::string& path, size_t limit, std::string& bytes, bool& found, ErrorCode& error);

// Removes the file at path, freeing the name at once; true when there is
// none there now. Windows only marks a file that another program holds
// open (with FILE_SHARE_DELETE) for deletion, and its name stays taken
// until that program closes it, so the file is first renamed aside to a
// unique name in its folder, then deleted.
bool RemoveFile(const std::string& path, ErrorCode& error);

// Creates path, where nothing is, (mode 0600 on Linux) holding bytes,
// written in one call, brought to stable storage (unless empty) and closed. False at the
// first failing step, with nothing left at path.
bool WriteSmallFile(const std::string& path, const std::string& bytes, ErrorCode& error);

// The processors this process may run on (its affinity), at least 1: how
// many threads compress an image.
unsigned ProcessorCount();

// Starts proc(argument) on a new thread. False when it cannot be started.
bool StartThread(ThreadProc proc, void* argument, ThreadHandle& thread, ErrorCode& error);

// Returns once the thread has ended. An interrupt noted meanwhile is passed
// on to it, so that a call it is blocked in (a write into a stalled pipe)
// returns.
void WaitThread(ThreadHandle thread);

// True when standard output is a terminal (Linux) or a console (Windows),
// which would act on control characters in what is written to it.
bool StdoutIsTerminal();

// Hands bytes to standard output in one call and flushes them, so that a
// line is never split by the other thread's marks and marks show at once.
// The console is a report: a closed or failing one is no failure of a dump.
void WriteStdout(const std::string& bytes);

// The console window's title (Windows) or the terminal's (Linux, by its
// title sequences, where TERM is not "dumb"), for progress. Saves the
// title; false, and the others do nothing, where standard output is no
// console or terminal.
bool StartTitle();

// Shows text (UTF-8) as the title.
void ShowTitle(const std::string& text);

// Puts the saved title back.
void EndTitle();

// From now on an interrupt (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break,
// a closed console) no longer ends the process: it is only noted, and the
// dump stops at its next step (Interrupted).
void WatchInterrupts();

// True once an interrupt was noted. Safe on any thread.
bool Interrupted();

// Ends the process as the noted interrupt would have: the signal's own
// default action on Linux (128+n to a shell), STATUS_CONTROL_C_EXIT on
// Windows.
[[noreturn]] void EndAsInterrupted();

// Where standard input is a console or terminal, prints the "press any
// key" prompt and waits for one key; otherwise (a pipe, a file, closed)
// returns at once, so that no script waits on it.
void Pause();

// A drive as --list shows it: what the system says of it, empty texts and
// UNKNOWN where it says nothing (Wine answers few of the queries).
struct DriveInfo {
    enum Removal { UNKNOWN, FIXED, REMOVABLE };
    std::string name;         // as given for DRIVE: "/dev/sdb1", "E:", "PhysicalDrive2"
    bool within = false;      // a partition or volume of the last drive before it that is not
    bool size_known = false;
    uint64_t size = 0;        // bytes
    std::string model;        // a disk's model, a volume's label, a loop device's backing file (UTF-8)
    std::string bus;          // "USB", "SD", "SATA", "NVMe", "loop", ...
    Removal removal = UNKNOWN;
    std::string file_system;  // "ext4", "vfat", "NTFS"
    std::string mount;        // where its file system is mounted (Linux)
    bool system = false;      // the disk the running system started from
};

// Every drive this program could image, disks first, each followed by its
// partitions (Linux) or lettered volumes (Windows). Needs no rights beyond
// an ordinary user's: what they do not show is left unknown.
std::vector<DriveInfo> ListDrives();
