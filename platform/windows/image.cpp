// Windows: the image, a new file made beside its name and renamed over it
// once complete, or a volume or the null device standing at its name; and
// the small files written beside it.
#include <algorithm>

#include "platform/windows/windows.h"

namespace {
// A volume as the image: Windows refuses writes into a mounted volume's
// extents part-way through, so it is locked and dismounted first, and FAT
// cuts writes at its boot sector's size unless extended access is allowed.
// A whole disk is refused whatever its spelling: it is not a volume. A
// volume shorter than the drive would fail late, after overwriting, and so
// would one whose sectors do not divide the drive's size: the image's tail
// is written unbuffered, in whole sectors of the volume.
bool TakeOverVolume(HANDLE image, uint64_t total, ErrorCode& error) {
    VOLUME_DISK_EXTENTS extents{};
    uint64_t length = 0;
    if (!Control(image, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, &extents, sizeof extents) &&
        GetLastError() != ERROR_MORE_DATA) {
        error = GetLastError();
        return false;
    }
    if (!DeviceLength(image, length)) {
        error = GetLastError();
        return false;
    }
    if (length < total) {
        error = ERROR_DISK_FULL;
        return false;
    }
    if (total % SectorSize(image) != 0) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (Control(image, FSCTL_LOCK_VOLUME) && Control(image, FSCTL_DISMOUNT_VOLUME)) {
        Control(image, FSCTL_ALLOW_EXTENDED_DASD_IO);
        return true;
    }
    error = GetLastError();
    return false;
}

// Room for total bytes of image and beside bytes of its fingerprint. The
// allocation lies past the file's end, which stays at what is written, and
// what is left of it goes at the last close. An allocation below the end
// would cut the file back to it (FILE_ALLOCATION_INFO's remarks), so it is
// never asked below what the file holds: a partial file opened again may
// hold more than total. Where the file system keeps no allocation of its
// own (Wine, some network shares), its free space is asked instead, for
// what the file does not hold yet. FAT refuses an allocation past 4 GiB - 1
// at once, and a full disk one past its free space: the dump then fails
// before it reads.
bool Reserve(HANDLE image, const std::wstring& folder, uint64_t total, uint64_t beside, ErrorCode& error) {
    auto blocks = [](uint64_t bytes) { return (bytes + IO_ALIGN - 1) / IO_ALIGN * IO_ALIGN; };
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(image, &size)) {
        error = GetLastError();
        return false;
    }
    uint64_t holds = blocks(static_cast<uint64_t>(size.QuadPart));
    uint64_t needed = std::max(blocks(total), holds) + blocks(beside);
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(needed);
    if (SetFileInformationByHandle(image, FileAllocationInfo, &allocation, sizeof allocation)) return true;
    DWORD code = GetLastError();
    if (code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION &&
        code != ERROR_CALL_NOT_IMPLEMENTED) {
        error = code;
        return false;
    }
    ULARGE_INTEGER free_to_caller{}, capacity{}, free_total{};
    if (GetDiskFreeSpaceExW(folder.c_str(), &free_to_caller, &capacity, &free_total) &&
        free_to_caller.QuadPart < needed - holds) {
        error = ERROR_DISK_FULL;
        return false;
    }
    return true;
}
}  // namespace

ErrorCode ExistsCode() { return ERROR_FILE_EXISTS; }

ErrorCode BusyCode() { return ERROR_SHARING_VIOLATION; }

bool Replaceable(const std::string& path, ErrorCode& error) {
    DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    error = ERROR_ACCESS_DENIED;
    return false;
}

// Windows drops trailing dots and blanks from a file's name ("t.img." is
// t.img) unless the path is given in the "\\?\" form, which keeps them.
std::string ImageFilePath(const std::string& path) {
    if (path.rfind("\\\\?\\", 0) == 0) return path;
    size_t start = FileNameStart(path), end = path.size();
    while (end > start && (path[end - 1] == '.' || path[end - 1] == ' ')) --end;
    return end > start ? path.substr(0, end) : path;
}

namespace {
FileHandle Refuse(HANDLE image, const std::wstring& created, DWORD code, ErrorCode& error) {
    error = code;
    if (image != INVALID_HANDLE_VALUE) CloseHandle(image);
    if (!created.empty()) DeleteFileW(created.c_str());
    return -1;
}

// A volume, opened as it stands (OPEN_EXISTING: a device is never created),
// or the null device, which takes every byte and keeps none: a read test.
// The console (CON) would take the image's bytes into the transcript.
FileHandle OpenVolumeImage(FileHandle drive, const std::wstring& path, uint64_t total, ErrorCode& error) {
    HANDLE image = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, SHARE_READ_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (image == INVALID_HANDLE_VALUE) return Refuse(image, L"", GetLastError(), error);
    bool character = GetFileType(image) == FILE_TYPE_CHAR;
    // Of the character devices only NUL ("nul.img" names it too) takes an
    // image: a serial port or the console would carry the drive's bytes
    // off or into the transcript.
    if (character && !SameText(path, L"\\\\.\\NUL"))
        return Refuse(image, L"", ERROR_INVALID_PARAMETER, error);
    if (character) return HandOut(image, path, true);
    if (OpenedSharesStorage(Held(drive), image, path, true))
        return Refuse(image, L"", ERROR_INVALID_PARAMETER, error);
    if (!TakeOverVolume(image, total, error)) return Refuse(image, L"", error, error);
    return HandOut(image, path);
}
}  // namespace

FileHandle CreateImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                       bool& partial, ErrorCode& error) {
    std::wstring wide = LongPath(path);
    partial = !IsDevicePath(wide);
    if (!partial) return OpenVolumeImage(drive, wide, total, error);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (FileNameStart(path) == path.size() ||
        (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)))
        return Refuse(INVALID_HANDLE_VALUE, L"", ERROR_ACCESS_DENIED, error);
    std::wstring part = wide + Wide(PARTIAL_SUFFIX);
    // CREATE_NEW makes a new file or fails (80) where anything stands at the
    // partial name, the partial file of an earlier or a running dump
    // included, which is left alone and not followed.
    // Read too: a rescue reads the image back once it has written into it
    // out of order.
    HANDLE image = CreateFileW(part.c_str(), GENERIC_READ | GENERIC_WRITE, SHARE_READ_WRITE, nullptr, CREATE_NEW,
                               FILE_FLAG_NO_BUFFERING, nullptr);
    if (image == INVALID_HANDLE_VALUE) return Refuse(image, L"", GetLastError(), error);
    if (OpenedSharesStorage(Held(drive), image, part, false))
        return Refuse(image, part, ERROR_INVALID_PARAMETER, error);
    if (!Reserve(image, part.substr(0, part.find_last_of(L'\\') + 1), total, beside, error))
        return Refuse(image, part, error, error);
    return HandOut(image, part);
}

FileHandle OpenPartialImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                            uint64_t& size, ErrorCode& error) {
    // The same name CreateImage gave the partial file.
    std::wstring wide = LongPath(path);
    if (FileNameStart(path) == path.size()) return Refuse(INVALID_HANDLE_VALUE, L"", ERROR_ACCESS_DENIED, error);
    std::wstring part = wide + Wide(PARTIAL_SUFFIX);
    // A dump writing it holds a handle with write access, which an open
    // that shares only reading is refused beside (32). The file is then
    // opened as a dump writes it, sharing writing too, which this process's
    // own second handles need (the tail's, the flush's). OPEN_EXISTING never
    // creates. FILE_FLAG_OPEN_REPARSE_POINT opens a link or junction
    // standing at the name itself, to be refused, rather than what it leads
    // to. A folder fails the open itself (5).
    HANDLE probe = CreateFileW(part.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return Refuse(probe, L"", GetLastError(), error);
    CloseHandle(probe);
    HANDLE image = CreateFileW(part.c_str(), GENERIC_READ | GENERIC_WRITE, SHARE_READ_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_NO_BUFFERING | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (image == INVALID_HANDLE_VALUE) return Refuse(image, L"", GetLastError(), error);
    BY_HANDLE_FILE_INFORMATION facts{};
    if (GetFileType(image) != FILE_TYPE_DISK) return Refuse(image, L"", ERROR_INVALID_PARAMETER, error);
    if (!GetFileInformationByHandle(image, &facts)) return Refuse(image, L"", GetLastError(), error);
    if (facts.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return Refuse(image, L"", ERROR_INVALID_PARAMETER, error);
    if (OpenedSharesStorage(Held(drive), image, part, false))
        return Refuse(image, L"", ERROR_INVALID_PARAMETER, error);
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(image, &length)) return Refuse(image, L"", GetLastError(), error);
    if (!Reserve(image, part.substr(0, part.find_last_of(L'\\') + 1), total, beside, error))
        return Refuse(image, L"", error, error);
    size = static_cast<uint64_t>(length.QuadPart);
    return HandOut(image, part);
}

// The partial file was opened without FILE_SHARE_DELETE, so nobody can
// remove or rename it while this dump holds it, and a folder that holds an
// open file cannot be renamed either: the place stays as it was made. (Its
// final path is no test: a subst drive or a junction on the way differs.)
bool ImageInPlace(FileHandle, const std::string&, ErrorCode&) { return true; }

bool ReserveImage(FileHandle image, uint64_t total, uint64_t beside, ErrorCode& error) {
    const HeldFile& held = Held(image);
    return Reserve(held.handle, held.path.substr(0, held.path.find_last_of(L'\\') + 1), total, beside, error);
}

namespace {
// The volume of the last folder renamed in, open for its flush until the
// process ends: every rename of a dump is in one folder, so the volume is
// found and opened once. Renames of the files beside go by path, with no
// handle to keep it in.
std::wstring FlushedFolder;
HANDLE FlushedVolume = INVALID_HANDLE_VALUE;

// A rename is on the disk only once its folder is, and Windows flushes no
// folder on its own: MOVEFILE_WRITE_THROUGH covers only a move done as a
// copy and a delete. FlushFileBuffers on a handle to the volume flushes
// all of it, and needs GENERIC_WRITE on the volume, which only an
// administrator gets (as a raw read of a drive needs). Where the volume
// cannot be opened (no rights, a network share) or has no flush to give
// (Wine: 1), the rename stands as the file system keeps it.
bool FlushFolderOf(const std::wstring& path, ErrorCode& error) {
    std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
    if (!SameText(folder, FlushedFolder)) {
        if (FlushedVolume != INVALID_HANDLE_VALUE) CloseHandle(FlushedVolume);
        std::wstring volume = VolumeDevice(VolumeOf(folder));
        FlushedVolume = volume.empty() ? INVALID_HANDLE_VALUE
                                       : CreateFileW(volume.c_str(), GENERIC_WRITE, SHARE_READ_WRITE, nullptr,
                                                     OPEN_EXISTING, 0, nullptr);
        FlushedFolder = folder;
    }
    if (FlushedVolume == INVALID_HANDLE_VALUE || FlushFileBuffers(FlushedVolume)) return true;
    DWORD code = GetLastError();
    if (code == ERROR_INVALID_FUNCTION) return true;
    error = code;
    return false;
}

// Renames from over to, replacing what stands there; renamed tells whether
// the name was given, the result whether it is also on the disk.
bool Rename(const std::wstring& from, const std::wstring& to, bool& renamed, ErrorCode& error) {
    renamed = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (!renamed) {
        error = GetLastError();
        return false;
    }
    return FlushFolderOf(to, error);
}
}  // namespace

bool NameImage(FileHandle image, const std::string& path, bool& named, ErrorCode& error) {
    ErrorCode ignored = 0;
    CloseFile(image, ignored);
    return Rename(LongPath(path + PARTIAL_SUFFIX), LongPath(path), named, error);
}

bool RenameFile(const std::string& from, const std::string& to, ErrorCode& error) {
    bool renamed = false;
    return Rename(LongPath(from), LongPath(to), renamed, error);
}

int64_t WriteImage(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    if (!Held(image).character && !UnbufferedTransferIsAligned(HandleOf(image), buffer, length, IO_ALIGN, error))
        return -1;
    DWORD put = 0;
    if (!WriteFile(HandleOf(image), buffer, static_cast<DWORD>(length), &put, nullptr)) {
        error = GetLastError();
        return -1;
    }
    if (put == 0 && length > 0) {
        error = ERROR_DISK_FULL;
        return -1;
    }
    return put;
}

// The reservation is allocation only: the file's end stays at what was
// written, and the allocation past it goes at the last close.
void TrimImage(FileHandle /*image*/) {}

int64_t WriteImageTail(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    if (Held(image).character) return WriteImage(image, buffer, length, error);
    uint64_t position = 0;
    if (!Position(HandleOf(image), position)) {
        error = GetLastError();
        return -1;
    }
    // A locked volume takes no second handle; its tail is whole sectors of
    // it (TakeOverVolume) and goes through the unbuffered one.
    if (IsDevicePath(Held(image).path)) {
        DWORD put = 0;
        if (length % SECTOR != 0 || !WriteFile(HandleOf(image), buffer, static_cast<DWORD>(length), &put, nullptr)) {
            error = length % SECTOR != 0 ? ERROR_INVALID_PARAMETER : GetLastError();
            return -1;
        }
        return put;
    }
    HANDLE cached = CreateFileW(Held(image).path.c_str(), GENERIC_WRITE, SHARE_READ_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (cached == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return -1;
    }
    // Every byte goes in this call: the unbuffered handle's pointer stays
    // where the tail begins, since it may be moved only to sector-aligned
    // positions (SetFilePointer's remarks), and the tail's end is none on a
    // volume of 4096-byte sectors.
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(position);
    const char* data = static_cast<const char*>(buffer);
    size_t done = 0;
    bool written = SetFilePointerEx(cached, at, nullptr, FILE_BEGIN) != 0;
    if (!written) error = GetLastError();
    while (written && done < length) {
        DWORD put = 0;
        written = WriteFile(cached, data + done, static_cast<DWORD>(length - done), &put, nullptr) != 0;
        if (!written) error = GetLastError();
        if (written && put == 0) {
            error = ERROR_DISK_FULL;
            written = false;
        }
        done += put;
    }
    if (written && !FlushFileBuffers(cached)) {
        error = GetLastError();
        written = false;
    }
    CloseHandle(cached);
    return written ? static_cast<int64_t>(length) : -1;
}

bool ImageRewritable(FileHandle image) {
    return !Held(image).character && GetFileType(HandleOf(image)) == FILE_TYPE_DISK;
}

namespace {
bool MoveTo(HANDLE file, uint64_t offset, ErrorCode& error) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return true;
    error = GetLastError();
    return false;
}
}  // namespace

// The pointer of the unbuffered handle may be moved only to sector-aligned
// positions (SetFilePointer's remarks), which IO_ALIGN is on every sector
// size in use; Wine lets any through, so the rule is checked here. The end
// is set through the handle's end-of-file information, which needs no
// pointer there: a drive's size that is no multiple of a sector is a file
// end, where no write follows. What it adds reads as zeros: the valid data
// length stays where the writes ended, and the file system fills up to the
// next write with zeros (the filling SetFileValidData exists to skip, never
// called here).
bool SeekImage(FileHandle image, uint64_t offset, ErrorCode& error) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(HandleOf(image), &size)) {
        error = GetLastError();
        return false;
    }
    bool lengthened = static_cast<uint64_t>(size.QuadPart) < offset;
    if (offset % IO_ALIGN != 0 && !lengthened) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(offset);
    if (lengthened && !SetFileInformationByHandle(HandleOf(image), FileEndOfFileInfo, &end, sizeof end)) {
        error = GetLastError();
        return false;
    }
    return offset % IO_ALIGN != 0 || MoveTo(HandleOf(image), offset, error);
}

// Whole blocks through the unbuffered handle, whose pointer may be moved
// only to sector-aligned positions; a last piece that ends at the image's
// end as the tail goes (WriteImageTail), which writes at the pointer.
bool WriteImageAt(FileHandle image, uint64_t offset, const void* buffer, size_t length, ErrorCode& error) {
    size_t blocks = length / IO_ALIGN * IO_ALIGN;
    const char* data = static_cast<const char*>(buffer);
    for (size_t done = 0; done < length;) {
        if (!MoveTo(HandleOf(image), offset + done, error)) return false;
        int64_t put = done < blocks ? WriteImage(image, data + done, blocks - done, error)
                                    : WriteImageTail(image, data + done, length - done, error);
        if (put < 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

// By the name the partial file was made under: it holds that name while
// it is open here, opened without FILE_SHARE_DELETE (ImageInPlace). Sharing
// writing, beside the handle that writes it.
FileHandle ReadImageHandle(FileHandle image, ErrorCode& error) {
    const HeldFile& held = Held(image);
    HANDLE reading = CreateFileW(held.path.c_str(), GENERIC_READ, SHARE_READ_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_NO_BUFFERING, nullptr);
    if (reading == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return -1;
    }
    return HandOut(reading, held.path);
}

// Past a file's end an unbuffered read returns what there is; past a
// volume's it fails, so a read there stops at the volume's last sector.
int64_t ReadImageAt(FileHandle image, uint64_t offset, void* buffer, size_t length, ErrorCode& error) {
    uint64_t size = 0;
    if (IsDevicePath(Held(image).path) && DeviceLength(HandleOf(image), size) && size > offset && offset + length > size)
        length = static_cast<size_t>(size - offset);
    if (!MoveTo(HandleOf(image), offset, error) ||
        !UnbufferedTransferIsAligned(HandleOf(image), buffer, length, IsDevicePath(Held(image).path) ? SECTOR : IO_ALIGN, error))
        return -1;
    DWORD got = 0;
    if (!ReadFile(HandleOf(image), buffer, static_cast<DWORD>(length), &got, nullptr)) {
        error = GetLastError();
        return -1;
    }
    return got;
}

bool FlushImage(FileHandle image, ErrorCode& error) {
    if (!Held(image).character && !FlushFileBuffers(HandleOf(image))) {
        error = GetLastError();
        return false;
    }
    return true;
}

// Through a handle of its own: the I/O manager serializes the calls on a
// handle opened for synchronous I/O, so a flush through the writer's would
// hold up its next write for as long as the flush takes. FlushFileBuffers
// flushes the file, whichever handle wrote it, and needs GENERIC_WRITE.
// The allocation past the end is left as it is.
bool SyncImage(FileHandle image, ErrorCode& error) {
    HANDLE flushing = CreateFileW(Held(image).path.c_str(), GENERIC_WRITE, SHARE_READ_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (flushing == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    bool flushed = FlushFileBuffers(flushing) != 0;
    if (!flushed) error = GetLastError();
    CloseHandle(flushing);
    return flushed;
}

bool NoSuchFile(ErrorCode code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

bool ReadFileStart(const std::string& path, size_t limit, std::string& bytes, bool& found, ErrorCode& error) {
    // Shared every way: a file another program holds is still read, and
    // OPEN_EXISTING never creates one.
    HANDLE file = CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        found = !NoSuchFile(error);
        // A link to nothing is something at the name all the same.
        if (!found && GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
            found = true;
            error = ERROR_FILE_EXISTS;
        }
        return !found;
    }
    found = true;
    bool regular = GetFileType(file) == FILE_TYPE_DISK;
    bytes.assign(regular ? limit : 0, '\0');
    DWORD got = 0;
    bool read = regular && ReadFile(file, &bytes[0], static_cast<DWORD>(limit), &got, nullptr);
    if (!read) error = regular ? GetLastError() : ERROR_FILE_EXISTS;
    CloseHandle(file);
    bytes.resize(got);
    return read;
}

namespace {
// Moves the file at path to a name of its own in its folder, short and
// unlike any image's, so that it fits wherever path fitted; false with the
// code where it cannot be moved (held open without FILE_SHARE_DELETE: 32).
bool MoveAside(const std::wstring& path, std::wstring& aside, ErrorCode& error) {
    static unsigned count = 0;
    std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
    for (int tries = 0; tries < 100; ++tries) {
        aside = folder + L"~korvex" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(count++) +
                L".tmp";
        // Without MOVEFILE_REPLACE_EXISTING a name that is taken fails
        // (183) rather than being replaced, and the next one is tried.
        if (MoveFileExW(path.c_str(), aside.c_str(), 0)) return true;
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
    }
    return false;
}
}  // namespace

// DeleteFileW only marks a file that another program holds open with
// FILE_SHARE_DELETE (an indexer, a scanner) for deletion, and "if a file
// cannot be deleted, its name cannot be reused. To reuse a file name
// immediately, rename the existing file" (Closing and Deleting Files). The
// file goes once the last program lets go of it.
bool RemoveFile(const std::string& path, ErrorCode& error) {
    std::wstring wide = LongPath(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD code = GetLastError();
        if (NoSuchFile(code)) return true;
        error = code;
        return false;
    }
    // A folder is no file to remove, as DeleteFileW refuses it.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = ERROR_ACCESS_DENIED;
        return false;
    }
    std::wstring aside;
    ErrorCode moved = 0;
    if (!MoveAside(wide, aside, moved)) {
        if (NoSuchFile(moved)) return true;
        error = moved;
        return false;
    }
    if (DeleteFileW(aside.c_str())) return true;
    // A file that cannot go (read-only) takes its name back.
    error = GetLastError();
    MoveFileExW(aside.c_str(), wide.c_str(), 0);
    return false;
}

bool WriteSmallFile(const std::string& path, const std::string& bytes, ErrorCode& error) {
    // CREATE_NEW: whatever stands at path now was put there during the dump.
    std::wstring wide = LongPath(path);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    DWORD put = 0;
    // An empty file (a name tried before the copy) has nothing to flush.
    bool done = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
                (bytes.empty() || FlushFileBuffers(file));
    if (!done) error = GetLastError();
    if (done && put != bytes.size()) {
        error = ERROR_DISK_FULL;
        done = false;
    }
    if (!CloseHandle(file) && done) {
        error = GetLastError();
        done = false;
    }
    // Half a fingerprint vouches for nothing.
    if (!done) DeleteFileW(wide.c_str());
    return done;
}
