// Windows: the drive is a volume such as E:, opened as the device "\\.\E:".
// Every code is taken from GetLastError right after the failing call,
// before a CloseHandle on the way out can replace it.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace {
constexpr DWORD SHARE_READ_WRITE = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Volumes are read in sectors of at least 512 bytes, and the last read asks
// for exactly what remains: past the volume's end it would fail with
// ERROR_INVALID_PARAMETER. Only that read may be shorter than IO_ALIGN.
constexpr uint64_t SECTOR = 512;

HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle FromHandle(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<FileHandle>(handle);
}

// The image's own path: its final size is set through a second, buffered
// handle, since an unbuffered one moves only to sector multiples.
std::string ImagePath;
// The drive's device path, to refuse an image path that names the volume.
std::string DrivePath;

bool IsDevicePath(const std::string& path) { return path.rfind("\\\\.\\", 0) == 0; }

bool Position(HANDLE file, uint64_t& position) {
    LARGE_INTEGER zero{}, now{};
    if (!SetFilePointerEx(file, zero, &now, FILE_CURRENT)) return false;
    position = static_cast<uint64_t>(now.QuadPart);
    return true;
}

// FILE_FLAG_NO_BUFFERING needs sector-aligned buffers, lengths and offsets.
// Wine does not enforce that, so the rule is checked here, where a broken
// one shows under test instead of only on a real Windows volume.
bool UnbufferedTransferIsAligned(HANDLE file, const void* buffer, size_t length,
                                 uint64_t length_unit, ErrorCode& error) {
    uint64_t position = 0;
    if (!Position(file, position)) {
        error = GetLastError();
        return false;
    }
    if (reinterpret_cast<uintptr_t>(buffer) % IO_ALIGN != 0 || length % length_unit != 0 ||
        position % IO_ALIGN != 0) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    return true;
}

// The exact length of the volume. GetDiskFreeSpaceEx counts only what the
// file system offers the caller (less under quotas; on FAT without the
// reserved sectors and the FATs), so the volume itself is asked first.
bool VolumeLength(const std::string& drive, uint64_t& length) {
    HANDLE volume = CreateFileA(DevicePath(drive).c_str(), GENERIC_READ, SHARE_READ_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return false;
    GET_LENGTH_INFORMATION info{};
    DWORD returned = 0;
    LARGE_INTEGER file_size{};
    bool known = false;
    if (DeviceIoControl(volume, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info,
                        &returned, nullptr)) {
        length = static_cast<uint64_t>(info.Length.QuadPart);
        known = true;
    } else if (GetFileSizeEx(volume, &file_size) && file_size.QuadPart > 0) {
        // A drive letter backed by an image file, as Wine maps one.
        length = static_cast<uint64_t>(file_size.QuadPart);
        known = true;
    }
    CloseHandle(volume);
    return known;
}

struct ThreadStart {
    ThreadProc proc;
    void* argument;
};

DWORD WINAPI RunThread(LPVOID start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    return copy.proc(copy.argument);
}
}  // namespace

ErrorCode EndOfDriveCode() { return ERROR_HANDLE_EOF; }
ErrorCode InvalidParameterCode() { return ERROR_INVALID_PARAMETER; }

bool QueryDriveSize(const std::string& drive, uint64_t& total) {
    // An empty text would ask about the current directory's volume.
    ULARGE_INTEGER free_to_caller{}, capacity{}, free_total{};
    if (drive.empty() || !GetDiskFreeSpaceExA(drive.c_str(), &free_to_caller, &capacity, &free_total))
        return false;
    // Without the rights to open the volume its capacity stands in, and the
    // open that follows reports the refusal.
    if (!VolumeLength(drive, total)) total = capacity.QuadPart;
    return true;
}

std::string DevicePath(const std::string& drive) { return "\\\\.\\" + drive; }

FileHandle OpenDrive(const std::string& device_path, ErrorCode& error) {
    HANDLE drive = CreateFileA(device_path.c_str(), GENERIC_READ, SHARE_READ_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (drive == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return -1;
    }
    // Lets the reads reach the sectors past the file system's end; a file
    // or a volume without a file system refuses it and needs none.
    DWORD returned = 0;
    DeviceIoControl(drive, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned, nullptr);
    DrivePath = device_path;
    return FromHandle(drive);
}

bool IsSameFile(FileHandle drive, const std::string& path) {
    // A volume handle has no file index to compare; its path does.
    if (lstrcmpiA(path.c_str(), DrivePath.c_str()) == 0) return true;
    HANDLE image = CreateFileA(path.c_str(), 0, SHARE_READ_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (image == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION mine{}, theirs{};
    bool same = GetFileInformationByHandle(image, &mine) &&
                GetFileInformationByHandle(ToHandle(drive), &theirs) &&
                mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
                mine.nFileIndexHigh == theirs.nFileIndexHigh &&
                mine.nFileIndexLow == theirs.nFileIndexLow;
    CloseHandle(image);
    return same;
}

FileHandle CreateImage(const std::string& path, ErrorCode& error) {
    HANDLE image = CreateFileA(path.c_str(), GENERIC_WRITE, SHARE_READ_WRITE, nullptr,
                               CREATE_ALWAYS, FILE_FLAG_NO_BUFFERING, nullptr);
    if (image == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return -1;
    }
    ImagePath = path;
    return FromHandle(image);
}

size_t DriveReadUnit() { return SECTOR; }

int64_t ReadDrive(FileHandle drive, void* buffer, size_t length, ErrorCode& error) {
    if (!UnbufferedTransferIsAligned(ToHandle(drive), buffer, length, SECTOR, error)) return -1;
    DWORD got = 0;
    if (!ReadFile(ToHandle(drive), buffer, static_cast<DWORD>(length), &got, nullptr)) {
        error = GetLastError();
        return -1;
    }
    return got;
}

int64_t WriteImage(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    if (!UnbufferedTransferIsAligned(ToHandle(image), buffer, length, IO_ALIGN, error)) return -1;
    DWORD put = 0;
    if (!WriteFile(ToHandle(image), buffer, static_cast<DWORD>(length), &put, nullptr)) {
        error = GetLastError();
        return -1;
    }
    if (put == 0 && length > 0) {
        error = ERROR_DISK_FULL;
        return -1;
    }
    return put;
}

bool SetImageSize(FileHandle /*image*/, uint64_t size, ErrorCode& error) {
    if (IsDevicePath(ImagePath)) return true;
    HANDLE sized = CreateFileA(ImagePath.c_str(), GENERIC_WRITE, SHARE_READ_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (sized == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    bool done = SetFilePointerEx(sized, end, nullptr, FILE_BEGIN) && SetEndOfFile(sized) &&
                FlushFileBuffers(sized);
    if (!done) error = GetLastError();
    CloseHandle(sized);
    return done;
}

bool FlushImage(FileHandle image, ErrorCode& error) {
    if (!FlushFileBuffers(ToHandle(image))) {
        error = GetLastError();
        return false;
    }
    return true;
}

bool CloseFile(FileHandle file, ErrorCode& error) {
    if (!CloseHandle(ToHandle(file))) {
        error = GetLastError();
        return false;
    }
    return true;
}

void* ObtainBuffer(size_t length, ErrorCode& error) {
    // VirtualAlloc gives page-aligned memory; the heap only 8-byte aligned.
    void* buffer = VirtualAlloc(nullptr, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (buffer == nullptr) error = GetLastError();
    return buffer;
}

void ReleaseBuffer(void* buffer, size_t /*length*/) { VirtualFree(buffer, 0, MEM_RELEASE); }

bool StartThread(ThreadProc proc, void* argument, ThreadHandle& thread, ErrorCode& error) {
    auto* start = new ThreadStart{proc, argument};
    HANDLE handle = CreateThread(nullptr, 0, RunThread, start, 0, nullptr);
    if (handle == nullptr) {
        error = GetLastError();
        delete start;
        return false;
    }
    thread = reinterpret_cast<ThreadHandle>(handle);
    return true;
}

void WaitThread(ThreadHandle thread) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}

void WriteStdout(const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

void Pause() { system("pause"); }
