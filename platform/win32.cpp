// Windows: the drive is a volume such as E: (or a whole disk, PhysicalDrive1),
// opened as the device "\\.\E:". Every code is taken from GetLastError right
// after the failing call, before a CloseHandle on the way out can replace it.
//
// Paths travel through the engine as UTF-8 of the wide command line and are
// opened with the wide calls, in the "\\?\" form, so that a name in any
// script and a path past MAX_PATH both reach the file system unchanged.
#include <windows.h>
#include <bcrypt.h>
#include <process.h>
#include <winioctl.h>
#include <winternl.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>

#include "platform/platform.h"

// msvcrt's own splitting of the wide command line, by the rules that built
// the narrow argv; CommandLineToArgvW would bring in shell32.
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand,
                                      int* start_info);

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

std::wstring Wide(const std::string& text, UINT code_page = CP_UTF8) {
    int length = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring& wide, UINT code_page = CP_UTF8) {
    int length = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                     0, nullptr, nullptr);
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), &text[0], length,
                        nullptr, nullptr);
    return text;
}

bool IsDevicePath(const std::wstring& path) { return path.rfind(L"\\\\.\\", 0) == 0; }

bool IsLetterAt(const std::wstring& text, size_t at) {
    return text.size() == at + 2 && iswalpha(text[at]) && text[at + 1] == L':';
}

// The absolute "\\?\" form, which lifts MAX_PATH and skips the rewriting of
// trailing dots and blanks. Device paths stay as given, and the other
// spellings of a volume ("\\?\E:", "\\?\GLOBALROOT\??\E:") are taken as
// "\\.\E:", so that they are treated as the device they name.
std::wstring LongPath(const std::string& path) {
    std::wstring wide = Wide(path);
    const std::wstring global = L"\\\\?\\GLOBALROOT\\??\\";
    if (wide.rfind(L"\\\\?\\", 0) == 0 && IsLetterAt(wide, 4)) return L"\\\\.\\" + wide.substr(4);
    if (IsLetterAt(wide, global.size()) &&
        CompareStringOrdinal(wide.c_str(), static_cast<int>(global.size()), global.c_str(), -1, TRUE) == CSTR_EQUAL)
        return L"\\\\.\\" + wide.substr(global.size());
    if (IsDevicePath(wide) || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length == 0) return wide;
    std::wstring full(length, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), length, &full[0], nullptr));
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// "E:\" and "E:/" name the volume E:, not its root folder.
std::string DriveName(const std::string& drive) {
    if (drive.size() == 3 && drive[1] == ':' && (drive[2] == '\\' || drive[2] == '/'))
        return drive.substr(0, 2);
    return drive;
}


// The image's own path: its last bytes go through a second, buffered handle.
std::wstring ImagePath;
// The drive as opened, to refuse an image that shares its storage.
std::wstring DrivePath;

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

bool Control(HANDLE device, DWORD code, void* out = nullptr, DWORD out_size = 0) {
    DWORD returned = 0;
    return DeviceIoControl(device, code, nullptr, 0, out, out_size, &returned, nullptr) != 0;
}

// The exact length, asked of the device itself: the disk driver's length,
// then the partition's, then a file's size (a letter that Wine backs with
// an image file).
bool DeviceLength(HANDLE device, uint64_t& length) {
    GET_LENGTH_INFORMATION info{};
    PARTITION_INFORMATION_EX partition{};
    LARGE_INTEGER file_size{};
    if (Control(device, IOCTL_DISK_GET_LENGTH_INFO, &info, sizeof info)) {
        length = static_cast<uint64_t>(info.Length.QuadPart);
    } else if (Control(device, IOCTL_DISK_GET_PARTITION_INFO_EX, &partition, sizeof partition)) {
        length = static_cast<uint64_t>(partition.PartitionLength.QuadPart);
    } else if (GetFileSizeEx(device, &file_size) && file_size.QuadPart > 0) {
        length = static_cast<uint64_t>(file_size.QuadPart);
    } else {
        return false;
    }
    return true;
}

// The volume a path lies on, by its volume name where the system has one,
// else by its mount point ("K:\"); empty when unknown.
std::wstring VolumeOf(const std::wstring& path) {
    wchar_t found[MAX_PATH + 1] = {}, name[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(path.c_str(), found, MAX_PATH)) return L"";
    // A "\\?\" path gives a "\\?\K:\" mount point, which has no volume name.
    std::wstring mount = found;
    if (mount.rfind(L"\\\\?\\", 0) == 0 && mount.size() > 5 && mount[5] == L':') mount.erase(0, 4);
    if (GetVolumeNameForVolumeMountPointW(mount.c_str(), name, MAX_PATH)) return name;
    return mount;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The disk a volume lies on; false for a volume that spans disks or for an
// unknown one.
bool DiskOfVolume(const std::wstring& volume, DWORD& disk) {
    std::wstring device = volume;
    if (!device.empty() && device.back() == L'\\') device.pop_back();
    HANDLE handle = CreateFileW(device.c_str(), 0, SHARE_READ_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    VOLUME_DISK_EXTENTS extents{};
    bool known = Control(handle, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, &extents, sizeof extents) &&
                 extents.NumberOfDiskExtents == 1;
    CloseHandle(handle);
    disk = extents.Extents[0].DiskNumber;
    return known;
}

// A whole disk as the drive: the image may not lie on any volume of it.
bool OnDriveDisk(HANDLE drive, const std::wstring& image_volume) {
    STORAGE_DEVICE_NUMBER number{};
    DWORD disk = 0;
    return Control(drive, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number) &&
           number.DeviceType == FILE_DEVICE_DISK && DiskOfVolume(image_volume, disk) &&
           disk == number.DeviceNumber;
}

// Any two spellings of one storage device are numbered alike by its driver;
// a whole disk (partition 0) holds all its partitions. Asked of devices
// only: a file's handle may answer with its volume's number, or (Wine) with
// one number for everything.
bool SameStorageDevice(HANDLE drive, const std::wstring& path) {
    HANDLE image = CreateFileW(path.c_str(), 0, SHARE_READ_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (image == INVALID_HANDLE_VALUE) return false;
    STORAGE_DEVICE_NUMBER mine{}, theirs{};
    bool same = Control(image, IOCTL_STORAGE_GET_DEVICE_NUMBER, &mine, sizeof mine) &&
                Control(drive, IOCTL_STORAGE_GET_DEVICE_NUMBER, &theirs, sizeof theirs) &&
                mine.DeviceType == theirs.DeviceType && mine.DeviceNumber == theirs.DeviceNumber &&
                (mine.PartitionNumber == theirs.PartitionNumber || mine.PartitionNumber == 0 ||
                 theirs.PartitionNumber == 0);
    CloseHandle(image);
    return same;
}

bool SameFile(HANDLE drive, const std::wstring& path) {
    HANDLE image = CreateFileW(path.c_str(), 0, SHARE_READ_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (image == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION mine{}, theirs{};
    bool same = GetFileInformationByHandle(image, &mine) && GetFileInformationByHandle(drive, &theirs) &&
                mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
                mine.nFileIndexHigh == theirs.nFileIndexHigh && mine.nFileIndexLow == theirs.nFileIndexLow;
    CloseHandle(image);
    return same;
}

// A volume as the image: Windows refuses writes into a mounted volume's
// extents part-way through, so it is locked and dismounted first, and
// anything that is not a volume (a PhysicalDrive) is refused.
bool TakeOverVolume(HANDLE image, ErrorCode& error) {
    VOLUME_DISK_EXTENTS extents{};
    if (Control(image, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, &extents, sizeof extents) ||
        GetLastError() == ERROR_MORE_DATA) {
        if (Control(image, FSCTL_LOCK_VOLUME) && Control(image, FSCTL_DISMOUNT_VOLUME)) return true;
    }
    error = GetLastError();
    return false;
}

// Where a file system keeps no allocation of its own, the dump goes on.
bool ReservationUnsupported(DWORD code) {
    return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED ||
           code == ERROR_INVALID_FUNCTION || code == ERROR_CALL_NOT_IMPLEMENTED;
}

bool Reserve(HANDLE image, uint64_t total, ErrorCode& error) {
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(total);
    if (total == 0 || SetFileInformationByHandle(image, FileAllocationInfo, &allocation, sizeof allocation))
        return true;
    error = GetLastError();
    return ReservationUnsupported(error);
}

// A CNG hash and the provider it came from, both closed at its end.
struct CngHash {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

CngHash* ToHash(HashHandle hash) { return reinterpret_cast<CngHash*>(hash); }

// CNG reports an NTSTATUS; the line shows the Win32 code it stands for, as
// every other line does.
ErrorCode FromStatus(NTSTATUS status) { return RtlNtStatusToDosError(status); }

struct ThreadStart {
    ThreadProc proc;
    void* argument;
};

unsigned __stdcall RunThread(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    return copy.proc(copy.argument);
}
}  // namespace

void StartPlatform() { SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX); }

std::vector<std::string> CommandLine(int argc, char** argv) {
    int count = 0, start_info = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    if (__wgetmainargs(&count, &wide, &environment, 0, &start_info) != 0 || wide == nullptr)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int n = 0; n < count; ++n) arguments.push_back(Narrow(wide[n]));
    return arguments;
}

std::string ConsoleText(const std::string& argument) { return Narrow(Wide(argument), CP_ACP); }

std::string ConsoleMessage(const char* message) { return message; }

ErrorCode EndOfDriveCode() { return ERROR_HANDLE_EOF; }
ErrorCode InvalidParameterCode() { return ERROR_INVALID_PARAMETER; }

bool QueryDriveSize(const std::string& drive, uint64_t& total, ErrorCode& error) {
    // An empty text would ask about the current directory's volume.
    if (drive.empty()) return false;
    HANDLE device = CreateFileW(Wide(DevicePath(drive)).c_str(), GENERIC_READ, SHARE_READ_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    bool opened = device != INVALID_HANDLE_VALUE;
    DWORD unsized = GetLastError();
    if (opened) {
        bool known = DeviceLength(device, total);
        unsized = GetLastError();
        CloseHandle(device);
        if (known) return true;
    }
    // Without the rights to open the volume, or where no length query
    // answers, the file system's capacity stands in; the root is asked, as
    // a bare "E:" means the current folder on E:, which may be gone. Only a
    // letter is asked: any folder has a free space too.
    ULARGE_INTEGER free_to_caller{}, capacity{}, free_total{};
    if (IsLetterAt(Wide(DriveName(drive)), 0) &&
        GetDiskFreeSpaceExW(Wide(DriveName(drive) + "\\").c_str(), &free_to_caller, &capacity, &free_total)) {
        total = capacity.QuadPart;
        return true;
    }
    // A card reader without its card opens but answers nothing, or is not
    // ready: a drive that is there, told with its code.
    if (opened || unsized == ERROR_NOT_READY) error = unsized != 0 ? unsized : ERROR_NOT_READY;
    return false;
}

std::string DevicePath(const std::string& drive) { return "\\\\.\\" + DriveName(drive); }

FileHandle OpenDrive(const std::string& device_path, ErrorCode& error) {
    HANDLE drive = CreateFileW(Wide(device_path).c_str(), GENERIC_READ, SHARE_READ_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (drive == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return -1;
    }
    // Lets the reads reach the sectors past the file system's end; a file
    // or a volume without a file system refuses it and needs none.
    Control(drive, FSCTL_ALLOW_EXTENDED_DASD_IO);
    // The lock flushes the file system's cache to the volume and keeps other
    // writers out until the handle closes, so the image is of a still
    // volume. Open files or the system volume refuse it; the dump goes on.
    Control(drive, FSCTL_LOCK_VOLUME);
    DrivePath = Wide(device_path);
    return FromHandle(drive);
}

bool SharesStorage(FileHandle drive, const std::string& path) {
    std::wstring image = LongPath(path);
    if (SameText(image, DrivePath) || SameFile(ToHandle(drive), image) ||
        (IsDevicePath(image) && SameStorageDevice(ToHandle(drive), image)))
        return true;
    // "\\.\F:" is the volume whose root is "F:\".
    std::wstring image_volume = VolumeOf(IsDevicePath(image) ? image.substr(4) + L"\\" : image);
    if (IsLetterAt(DrivePath, 4)) return SameText(image_volume, VolumeOf(DrivePath.substr(4) + L"\\"));
    return OnDriveDisk(ToHandle(drive), image_volume);
}

FileHandle CreateImage(const std::string& path, uint64_t total, ErrorCode& error) {
    std::wstring wide = LongPath(path);
    bool device = IsDevicePath(wide);
    HANDLE image = CreateFileW(wide.c_str(), device ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE,
                               SHARE_READ_WRITE, nullptr, device ? OPEN_EXISTING : CREATE_ALWAYS,
                               FILE_FLAG_NO_BUFFERING, nullptr);
    if (image == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return -1;
    }
    // FAT refuses an allocation past 4 GiB - 1 at once, and a full disk
    // refuses one past its free space: the dump then fails before it reads.
    if (!(device ? TakeOverVolume(image, error) : Reserve(image, total, error))) {
        CloseHandle(image);
        return -1;
    }
    ImagePath = wide;
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

// The reservation is allocation only; the file's end stays at what was written.
void TrimImage(FileHandle /*image*/) {}

int64_t WriteImageTail(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    uint64_t position = 0;
    if (!Position(ToHandle(image), position)) {
        error = GetLastError();
        return -1;
    }
    // A locked volume takes no second handle; its tail is whole sectors,
    // as a drive's size always is, and goes through the unbuffered one.
    if (IsDevicePath(ImagePath)) {
        DWORD put = 0;
        if (length % SECTOR != 0 || !WriteFile(ToHandle(image), buffer, static_cast<DWORD>(length), &put, nullptr)) {
            error = length % SECTOR != 0 ? ERROR_INVALID_PARAMETER : GetLastError();
            return -1;
        }
        return put;
    }
    HANDLE cached = CreateFileW(ImagePath.c_str(), GENERIC_WRITE, SHARE_READ_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (cached == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return -1;
    }
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(position);
    DWORD put = 0;
    bool done = SetFilePointerEx(cached, at, nullptr, FILE_BEGIN) &&
                WriteFile(cached, buffer, static_cast<DWORD>(length), &put, nullptr) && FlushFileBuffers(cached);
    if (!done) error = GetLastError();
    CloseHandle(cached);
    if (!done) return -1;
    at.QuadPart += put;
    if (!SetFilePointerEx(ToHandle(image), at, nullptr, FILE_BEGIN)) {
        error = GetLastError();
        return -1;
    }
    return put;
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

bool StartHash(HashHandle& hash, ErrorCode& error) {
    auto* cng = new CngHash;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&cng->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    // With no object buffer given, CNG keeps the hash object itself.
    if (BCRYPT_SUCCESS(status)) status = BCryptCreateHash(cng->algorithm, &cng->hash, nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) {
        error = FromStatus(status);
        DropHash(reinterpret_cast<HashHandle>(cng));
        return false;
    }
    hash = reinterpret_cast<HashHandle>(cng);
    return true;
}

bool HashBytes(HashHandle hash, const void* data, size_t length, ErrorCode& error) {
    NTSTATUS status = BCryptHashData(ToHash(hash)->hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                                     static_cast<ULONG>(length), 0);
    if (BCRYPT_SUCCESS(status)) return true;
    error = FromStatus(status);
    return false;
}

bool FinishHash(HashHandle hash, uint8_t (&digest)[DIGEST_BYTES], ErrorCode& error) {
    NTSTATUS status = BCryptFinishHash(ToHash(hash)->hash, digest, DIGEST_BYTES, 0);
    if (!BCRYPT_SUCCESS(status)) error = FromStatus(status);
    DropHash(hash);
    return BCRYPT_SUCCESS(status);
}

void DropHash(HashHandle hash) {
    CngHash* cng = ToHash(hash);
    if (cng->hash != nullptr) BCryptDestroyHash(cng->hash);
    if (cng->algorithm != nullptr) BCryptCloseAlgorithmProvider(cng->algorithm, 0);
    delete cng;
}

// "NUL" and the like come back from GetFullPathNameW as "\\.\NUL".
bool NamesNoFile(const std::string& path) {
    std::wstring wide = LongPath(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    return IsDevicePath(wide) || (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
}

size_t FileNameStart(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos) return slash + 1;
    // "E:e.img" names e.img in the current folder of E:.
    return path.size() >= 2 && path[1] == ':' && isalpha(static_cast<unsigned char>(path[0])) ? 2 : 0;
}

bool RemoveFile(const std::string& path, ErrorCode& error) {
    if (DeleteFileW(LongPath(path).c_str())) return true;
    error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
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
    bool done = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
                FlushFileBuffers(file);
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

void* ObtainBuffer(size_t length, ErrorCode& error) {
    // VirtualAlloc gives page-aligned memory; the heap only 8-byte aligned.
    void* buffer = VirtualAlloc(nullptr, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (buffer == nullptr) error = GetLastError();
    return buffer;
}

void ReleaseBuffer(void* buffer, size_t /*length*/) { VirtualFree(buffer, 0, MEM_RELEASE); }

bool StartThread(ThreadProc proc, void* argument, ThreadHandle& thread, ErrorCode& error) {
    auto* start = new ThreadStart{proc, argument};
    // _beginthreadex, not CreateThread: the thread calls the C runtime.
    uintptr_t handle = _beginthreadex(nullptr, 0, RunThread, start, 0, nullptr);
    if (handle == 0) {
        error = GetLastError();
        delete start;
        return false;
    }
    thread = static_cast<ThreadHandle>(handle);
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
