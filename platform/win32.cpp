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

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cwctype>
#include <string>
#include <vector>

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

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// A device: "\\.\" and one name ("\\.\E:", "\\.\PhysicalDrive1", "\\.\NUL"),
// or anything under "\\?\GLOBALROOT\" ("\\?\GLOBALROOT\Device\Harddisk1\Partition1").
// "\\.\J:\e.img" is a file, reached through the device namespace.
bool IsDevicePath(const std::wstring& path) {
    return (path.rfind(L"\\\\.\\", 0) == 0 && path.find_first_of(L"\\/", 4) == std::wstring::npos) ||
           StartsWith(path, L"\\\\?\\GLOBALROOT\\");
}

bool IsLetterAt(const std::wstring& text, size_t at) {
    return text.size() == at + 2 && iswalpha(text[at]) && text[at + 1] == L':';
}

// A disk or volume in any of its spellings, "\\.\" then its name:
// "\\.\E:", "//./E:", "\\?\E:", "\\?\GLOBALROOT\??\E:", "\\?\PhysicalDrive2",
// "\\?\Volume{...}". A "\\?\" path with a folder in it ("\\?\E:\x.img",
// "\\?\UNC\...") is a file path. Empty when path is none of these.
std::wstring DeviceSpelling(const std::wstring& path) {
    for (const wchar_t* prefix : {L"\\\\.\\", L"//./", L"\\\\?\\GLOBALROOT\\??\\", L"\\\\?\\"}) {
        std::wstring name = path.substr(std::min(path.size(), wcslen(prefix)));
        if (!StartsWith(path, prefix)) continue;
        if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos) break;
        return L"\\\\.\\" + name;
    }
    return IsDevicePath(path) ? path : L"";
}

// The absolute "\\?\" form, which lifts MAX_PATH and skips the rewriting of
// trailing dots and blanks. Any spelling of a device is taken as "\\.\"
// and its name, so that it is treated as the device it names.
std::wstring LongPath(const std::string& path) {
    std::wstring wide = Wide(path);
    std::wstring device = DeviceSpelling(wide);
    if (!device.empty()) return device;
    if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length == 0) return wide;
    std::wstring full(length, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), length, &full[0], nullptr));
    if (IsDevicePath(full)) return full;
    if (full.rfind(L"\\\\.\\", 0) == 0 || full.rfind(L"//./", 0) == 0) return L"\\\\?\\" + full.substr(4);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The drive's name as a device knows it: "E:" whatever its spelling ("e:\",
// "E:.", "\\.\E:", "//./E:"), else the text less a device prefix
// ("PhysicalDrive1").
std::string DriveName(const std::string& drive) {
    std::wstring wide = Wide(drive);
    // "\\.\E:\" is "\\.\E:", as "E:\" is "E:".
    while (wide.size() > 4 && (wide.back() == L'\\' || wide.back() == L'/')) wide.pop_back();
    std::wstring device = DeviceSpelling(wide);
    std::wstring name = device.empty() ? wide : device.substr(4);
    if (name.size() >= 2 && iswalpha(name[0]) && name[1] == L':' &&
        name.find_first_not_of(L"\\/.", 2) == std::wstring::npos)
        name.resize(2);
    return Narrow(name);
}

// The image's own path: its last bytes go through a second, buffered handle.
std::wstring ImagePath;
// The image is a character device (NUL): no sectors, no cache, no flush.
bool ImageIsCharacter = false;
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
        position % length_unit != 0) {
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
    // A buffer "at least as big as the full path" (GetVolumePathNameW's
    // remarks), for a path past MAX_PATH too.
    std::wstring found(std::max<size_t>(path.size(), MAX_PATH) + 1, L'\0');
    wchar_t name[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(path.c_str(), &found[0], static_cast<DWORD>(found.size()))) return L"";
    // A "\\?\" path gives a "\\?\K:\" mount point, which has no volume name.
    std::wstring mount = found.c_str();
    if (mount.rfind(L"\\\\?\\", 0) == 0 && mount.size() > 5 && mount[5] == L':') mount.erase(0, 4);
    if (GetVolumeNameForVolumeMountPointW(mount.c_str(), name, MAX_PATH)) return name;
    return mount;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The device a volume (as VolumeOf names it) is opened by:
// "\\?\Volume{...}", or "\\.\X:" for a letter without a volume name,
// without the trailing backslash that would name its root folder; empty for
// none (a network share).
std::wstring VolumeDevice(const std::wstring& volume) {
    if (StartsWith(volume, L"\\\\?\\Volume{") && volume.back() == L'\\') return volume.substr(0, volume.size() - 1);
    if (volume.size() == 3 && volume[2] == L'\\' && IsLetterAt(volume.substr(0, 2), 0)) return L"\\\\.\\" + volume.substr(0, 2);
    return L"";
}

// The disks a volume has extents on: one for a simple volume, each of them
// for a spanned, striped or mirrored one; none where the volume does not
// tell. A buffer too small for every extent fails with ERROR_MORE_DATA and
// the count of them, and the call is made again with room for that many.
std::vector<DWORD> VolumeDisks(HANDLE volume) {
    std::vector<DWORD> disks;
    std::vector<VOLUME_DISK_EXTENTS> room(1);
    for (int tries = 0; tries < 4; ++tries) {
        DWORD size = static_cast<DWORD>(room.size() * sizeof(VOLUME_DISK_EXTENTS));
        if (Control(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, room.data(), size)) {
            DWORD fits = static_cast<DWORD>((size - offsetof(VOLUME_DISK_EXTENTS, Extents)) / sizeof(DISK_EXTENT));
            for (DWORD n = 0; n < std::min(room[0].NumberOfDiskExtents, fits); ++n)
                disks.push_back(room[0].Extents[n].DiskNumber);
            return disks;
        }
        if (GetLastError() != ERROR_MORE_DATA) break;
        // Whole structures, so that the extents past the first keep their alignment.
        size_t needed = offsetof(VOLUME_DISK_EXTENTS, Extents) + room[0].NumberOfDiskExtents * sizeof(DISK_EXTENT);
        room.assign(std::max(room.size() + 1, (needed + sizeof(VOLUME_DISK_EXTENTS) - 1) / sizeof(VOLUME_DISK_EXTENTS)), {});
    }
    return disks;
}

// The image's volume against the drive by device numbers: a whole disk as
// the drive (partition 0) holds every volume on it, a partition only the
// volume that is that partition.
bool OnDriveStorage(HANDLE drive, const std::wstring& image_volume) {
    STORAGE_DEVICE_NUMBER number{}, theirs{};
    std::wstring device = VolumeDevice(image_volume);
    if (device.empty() || !Control(drive, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number) ||
        number.DeviceType != FILE_DEVICE_DISK)
        return false;
    HANDLE volume = CreateFileW(device.c_str(), 0, SHARE_READ_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return false;
    bool numbered = Control(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, &theirs, sizeof theirs) &&
                    theirs.DeviceType == FILE_DEVICE_DISK && theirs.DeviceNumber == number.DeviceNumber;
    std::vector<DWORD> disks = number.PartitionNumber == 0 ? VolumeDisks(volume) : std::vector<DWORD>();
    bool on = number.PartitionNumber == 0
                  ? numbered || std::find(disks.begin(), disks.end(), number.DeviceNumber) != disks.end()
                  : numbered && theirs.PartitionNumber == number.PartitionNumber;
    CloseHandle(volume);
    return on;
}

// The drive's volume name where the drive is a volume named by its letter
// or by its volume name ("\\.\Volume{...}"), as VolumeOf gives it; empty
// for a disk or a device path.
std::wstring DriveVolume() {
    if (IsLetterAt(DrivePath, 4)) return VolumeOf(DrivePath.substr(4) + L"\\");
    if (StartsWith(DrivePath, L"\\\\.\\Volume{")) return L"\\\\?\\" + DrivePath.substr(4) + L"\\";
    return L"";
}

// Whether path (a file's, or a volume's "\\.\F:") lies on the drive's
// volume, or, for a whole disk as the drive, on a volume of that disk.
bool OnDriveVolume(HANDLE drive, const std::wstring& path) {
    // "\\.\F:" is the volume whose root is "F:\".
    std::wstring image_volume = VolumeOf(IsDevicePath(path) ? path.substr(4) + L"\\" : path);
    return SameText(image_volume, DriveVolume()) || OnDriveStorage(drive, image_volume);
}

// Any two spellings of one storage device are numbered alike by its driver;
// a whole disk (partition 0) holds all its partitions. Asked of devices
// only: a file's handle may answer with its volume's number, or (Wine) with
// one number for everything.
bool SameDeviceNumber(HANDLE drive, HANDLE image) {
    STORAGE_DEVICE_NUMBER mine{}, theirs{};
    // A character device (NUL) is no storage, whatever number Wine gives it.
    return GetFileType(image) == FILE_TYPE_DISK && Control(image, IOCTL_STORAGE_GET_DEVICE_NUMBER, &mine, sizeof mine) &&
           Control(drive, IOCTL_STORAGE_GET_DEVICE_NUMBER, &theirs, sizeof theirs) &&
           mine.DeviceType == theirs.DeviceType && mine.DeviceNumber == theirs.DeviceNumber &&
           (mine.PartitionNumber == theirs.PartitionNumber || mine.PartitionNumber == 0 ||
            theirs.PartitionNumber == 0);
}

bool SameStorageDevice(HANDLE drive, const std::wstring& path) {
    HANDLE image = CreateFileW(path.c_str(), 0, SHARE_READ_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (image == INVALID_HANDLE_VALUE) return false;
    bool same = SameDeviceNumber(drive, image);
    CloseHandle(image);
    return same;
}

// Where the file a handle opened lies ("\\?\J:\e.img.part"), whatever path
// led to it; empty where the system does not tell.
std::wstring FinalPath(HANDLE file) {
    std::wstring path(MAX_PATH, L'\0');
    for (int tries = 0; tries < 2; ++tries) {
        DWORD length = GetFinalPathNameByHandleW(file, &path[0], static_cast<DWORD>(path.size()),
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return L"";
        if (length < path.size()) return path.substr(0, length);
        path.resize(length + 1);
    }
    return L"";
}

// The check on what was opened: the image's handle (opened_path is the path
// it was opened by, for a system that names no final path) against the
// drive's, whatever spellings led to either.
bool OpenedSharesStorage(HANDLE drive, HANDLE image, const std::wstring& opened_path, bool device) {
    // A volume's serial number is no name of it: a clone of a stick, or a
    // shadow copy, carries its volume's serial, so the volumes are compared
    // by their volume names or device numbers.
    if (device && SameDeviceNumber(drive, image)) return true;
    std::wstring final_path = FinalPath(image);
    return OnDriveVolume(drive, device || final_path.empty() ? opened_path : final_path);
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
    if (total % DriveSectorSize(FromHandle(image)) != 0) {
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
// what is left of it goes at the last close. Where the file system keeps no
// allocation of its own (Wine, some network shares), its free space is asked
// instead. FAT refuses an allocation past 4 GiB - 1 at once, and a full disk
// one past its free space: the dump then fails before it reads.
bool Reserve(HANDLE image, const std::wstring& folder, uint64_t total, uint64_t beside, ErrorCode& error) {
    auto blocks = [](uint64_t bytes) { return (bytes + IO_ALIGN - 1) / IO_ALIGN * IO_ALIGN; };
    uint64_t needed = blocks(total) + blocks(beside);
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
        free_to_caller.QuadPart < needed) {
        error = ERROR_DISK_FULL;
        return false;
    }
    return true;
}

// A CNG hash and the provider it came from, both closed at its end.
struct CngHash {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

CngHash* ToHash(HashHandle hash) { return reinterpret_cast<CngHash*>(hash); }

// CNG reports an NTSTATUS; the line shows the Win32 code it stands for, as
// every other line does. RtlNtStatusToDosError has no import library: it
// is found in the ntdll every process has loaded. Where it cannot be, the
// status itself is shown.
ErrorCode FromStatus(NTSTATUS status) {
    using Convert = ULONG(WINAPI*)(NTSTATUS);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto convert = ntdll != nullptr ? reinterpret_cast<Convert>(reinterpret_cast<void*>(
                                          GetProcAddress(ntdll, "RtlNtStatusToDosError")))
                                    : nullptr;
    return convert != nullptr ? convert(status) : static_cast<ErrorCode>(status);
}

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

namespace {
// Set once at start-up: standard output is a console, which is written in
// Unicode (WriteConsoleW), so that any code page shows the Chinese. Bytes
// to a file or pipe stay GBK, the arguments in the system code page.
bool UnicodeConsole = false;
}  // namespace

void StartPlatform() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    DWORD mode = 0;
    UnicodeConsole = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

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

std::string ConsoleText(const std::string& argument) {
    return UnicodeConsole ? argument : Narrow(Wide(argument), CP_ACP);
}

std::string ConsoleMessage(const char* message) {
    return UnicodeConsole ? Narrow(Wide(message, 936)) : message;
}

ErrorCode EndOfDriveCode() { return ERROR_HANDLE_EOF; }
ErrorCode InvalidParameterCode() { return ERROR_INVALID_PARAMETER; }
ErrorCode ExistsCode() { return ERROR_FILE_EXISTS; }

bool QueryDriveSize(const std::string& drive, uint64_t& total, ErrorCode& error) {
    // An empty text would ask about the current directory's volume.
    if (drive.empty()) return false;
    HANDLE device = CreateFileW(Wide(DevicePath(drive)).c_str(), GENERIC_READ, SHARE_READ_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        // A name that names nothing is no drive; any other refusal (no
        // rights: 5, no medium: 21) is of a drive that is there.
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND && code != ERROR_INVALID_NAME &&
            code != ERROR_BAD_PATHNAME)
            error = code;
        return false;
    }
    // A character device ("NUL", "CON") is no drive.
    if (GetFileType(device) != FILE_TYPE_DISK) {
        CloseHandle(device);
        return false;
    }
    bool known = DeviceLength(device, total);
    DWORD code = GetLastError();
    CloseHandle(device);
    // The file system's capacity is no stand-in: it leaves out the
    // sectors outside the file system, and an image of it would be short.
    if (!known) error = code != 0 ? code : ERROR_INVALID_FUNCTION;
    return known;
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
    DrivePath = Wide(device_path);
    return FromHandle(drive);
}

namespace {
// The handles that hold the locks of a whole disk's volumes, closed with
// the drive they were taken for: a lock lasts as long as its handle.
HANDLE LockedDisk = INVALID_HANDLE_VALUE;
std::vector<HANDLE> VolumeLocks;

// A whole disk: numbered as partition 0 of a disk, and no volume, which
// would tell its extents.
bool IsWholeDisk(HANDLE drive, DWORD& disk) {
    STORAGE_DEVICE_NUMBER number{};
    if (!Control(drive, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number) ||
        number.DeviceType != FILE_DEVICE_DISK || number.PartitionNumber != 0 || !VolumeDisks(drive).empty())
        return false;
    disk = number.DeviceNumber;
    return true;
}

// Every volume with an extent on disk, as the device it is opened by.
std::vector<std::wstring> VolumesOnDisk(DWORD disk) {
    std::vector<std::wstring> found;
    wchar_t name[MAX_PATH + 1] = {};
    HANDLE search = FindFirstVolumeW(name, MAX_PATH + 1);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        std::wstring device = VolumeDevice(name);
        HANDLE volume = device.empty() ? INVALID_HANDLE_VALUE
                                       : CreateFileW(device.c_str(), 0, SHARE_READ_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (volume == INVALID_HANDLE_VALUE) continue;
        std::vector<DWORD> disks = VolumeDisks(volume);
        CloseHandle(volume);
        if (std::find(disks.begin(), disks.end(), disk) != disks.end()) found.push_back(device);
    } while (FindNextVolumeW(search, name, MAX_PATH + 1));
    FindVolumeClose(search);
    return found;
}
}  // namespace

// The lock flushes the file system's cache to the volume and keeps other
// writers out until its handle closes, so the image is of a still volume.
// Open files or the system volume refuse it. FSCTL_LOCK_VOLUME takes a
// volume's handle: a whole disk's volumes are each opened and locked.
std::vector<ErrorCode> LockDrive(FileHandle drive) {
    DWORD disk = 0;
    if (!IsWholeDisk(ToHandle(drive), disk)) {
        if (Control(ToHandle(drive), FSCTL_LOCK_VOLUME)) return {};
        return {GetLastError()};
    }
    std::vector<ErrorCode> refused;
    for (const std::wstring& device : VolumesOnDisk(disk)) {
        HANDLE volume = CreateFileW(device.c_str(), GENERIC_READ, SHARE_READ_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (volume != INVALID_HANDLE_VALUE && Control(volume, FSCTL_LOCK_VOLUME)) {
            VolumeLocks.push_back(volume);
            continue;
        }
        refused.push_back(GetLastError());
        if (volume != INVALID_HANDLE_VALUE) CloseHandle(volume);
    }
    LockedDisk = ToHandle(drive);
    return refused;
}

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

bool SharesStorage(FileHandle drive, const std::string& path) {
    std::wstring image = LongPath(path);
    // A volume image is checked on its handle when it is opened.
    if (SameText(image, DrivePath) || SameFile(ToHandle(drive), image) ||
        (IsDevicePath(image) && SameStorageDevice(ToHandle(drive), image)))
        return true;
    return OnDriveVolume(ToHandle(drive), image);
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
    ImageIsCharacter = GetFileType(image) == FILE_TYPE_CHAR;
    // Of the character devices only NUL ("nul.img" names it too) takes an
    // image: a serial port or the console would carry the drive's bytes
    // off or into the transcript.
    if (ImageIsCharacter && !SameText(path, L"\\\\.\\NUL"))
        return Refuse(image, L"", ERROR_INVALID_PARAMETER, error);
    if (ImageIsCharacter) {
        ImagePath = path;
        return FromHandle(image);
    }
    if (OpenedSharesStorage(ToHandle(drive), image, path, true))
        return Refuse(image, L"", ERROR_INVALID_PARAMETER, error);
    if (!TakeOverVolume(image, total, error)) return Refuse(image, L"", error, error);
    ImagePath = path;
    return FromHandle(image);
}
}  // namespace

FileHandle CreateImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                       bool& partial, ErrorCode& error) {
    std::wstring wide = LongPath(path);
    partial = !IsDevicePath(wide);
    ImageIsCharacter = false;
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
    if (OpenedSharesStorage(ToHandle(drive), image, part, false))
        return Refuse(image, part, ERROR_INVALID_PARAMETER, error);
    if (!Reserve(image, part.substr(0, part.find_last_of(L'\\') + 1), total, beside, error))
        return Refuse(image, part, error, error);
    ImagePath = part;
    return FromHandle(image);
}

// The partial file was opened without FILE_SHARE_DELETE, so nobody can
// remove or rename it while this dump holds it, and a folder that holds an
// open file cannot be renamed either: the place stays as it was made. (Its
// final path is no test: a subst drive or a junction on the way differs.)
bool ImageInPlace(FileHandle, const std::string&, ErrorCode&) { return true; }

bool ReserveImage(FileHandle image, uint64_t total, uint64_t beside, ErrorCode& error) {
    return Reserve(ToHandle(image), ImagePath.substr(0, ImagePath.find_last_of(L'\\') + 1), total, beside, error);
}

namespace {
// The volume of the last folder renamed in, open for its flush until the
// process ends: every rename of a dump is in one folder, so the volume is
// found and opened once.
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
    CloseHandle(ToHandle(image));
    return Rename(LongPath(path + PARTIAL_SUFFIX), LongPath(path), named, error);
}

bool RenameFile(const std::string& from, const std::string& to, ErrorCode& error) {
    bool renamed = false;
    return Rename(LongPath(from), LongPath(to), renamed, error);
}

size_t DriveReadUnit() { return SECTOR; }

// The disk's own sector size, else the storage stack's logical sector size;
// where neither answers (a file that Wine backs a letter with), the unit
// that unbuffered reads of any file system take: Wine refuses a 512-byte
// read of such a file off a 4096-byte boundary.
size_t DriveSectorSize(FileHandle drive) {
    DISK_GEOMETRY_EX geometry{};
    if (Control(ToHandle(drive), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &geometry, sizeof geometry) &&
        geometry.Geometry.BytesPerSector >= SECTOR && geometry.Geometry.BytesPerSector <= IO_ALIGN)
        return geometry.Geometry.BytesPerSector;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
    DWORD returned = 0;
    if (DeviceIoControl(ToHandle(drive), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &alignment,
                        sizeof alignment, &returned, nullptr) &&
        alignment.BytesPerLogicalSector >= SECTOR && alignment.BytesPerLogicalSector <= IO_ALIGN)
        return alignment.BytesPerLogicalSector;
    return IO_ALIGN;
}

// ERROR_NOT_READY (21) is not among them: Windows (and Wine) report an
// unreadable range of a drive that is there with it too.
bool DriveGone(ErrorCode code) {
    return code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_DEV_NOT_EXIST ||
           code == ERROR_NO_MEDIA_IN_DRIVE || code == ERROR_INVALID_HANDLE;
}

bool SeekDrive(FileHandle drive, uint64_t offset, ErrorCode& error) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (SetFilePointerEx(ToHandle(drive), at, nullptr, FILE_BEGIN)) return true;
    error = GetLastError();
    return false;
}

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
    if (!ImageIsCharacter && !UnbufferedTransferIsAligned(ToHandle(image), buffer, length, IO_ALIGN, error))
        return -1;
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

// The reservation is allocation only: the file's end stays at what was
// written, and the allocation past it goes at the last close.
void TrimImage(FileHandle /*image*/) {}

int64_t WriteImageTail(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    if (ImageIsCharacter) return WriteImage(image, buffer, length, error);
    uint64_t position = 0;
    if (!Position(ToHandle(image), position)) {
        error = GetLastError();
        return -1;
    }
    // A locked volume takes no second handle; its tail is whole sectors of
    // it (TakeOverVolume) and goes through the unbuffered one.
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
    return !ImageIsCharacter && GetFileType(ToHandle(image)) == FILE_TYPE_DISK;
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

// Whole blocks through the unbuffered handle, whose pointer may be moved
// only to sector-aligned positions; a last piece that ends at the image's
// end as the tail goes (WriteImageTail), which writes at the pointer.
bool WriteImageAt(FileHandle image, uint64_t offset, const void* buffer, size_t length, ErrorCode& error) {
    size_t blocks = length / IO_ALIGN * IO_ALIGN;
    const char* data = static_cast<const char*>(buffer);
    for (size_t done = 0; done < length;) {
        if (!MoveTo(ToHandle(image), offset + done, error)) return false;
        int64_t put = done < blocks ? WriteImage(image, data + done, blocks - done, error)
                                    : WriteImageTail(image, data + done, length - done, error);
        if (put < 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

// Past a file's end an unbuffered read returns what there is; past a
// volume's it fails, so a read there stops at the volume's last sector.
int64_t ReadImageAt(FileHandle image, uint64_t offset, void* buffer, size_t length, ErrorCode& error) {
    uint64_t size = 0;
    if (IsDevicePath(ImagePath) && DeviceLength(ToHandle(image), size) && size > offset && offset + length > size)
        length = static_cast<size_t>(size - offset);
    if (!MoveTo(ToHandle(image), offset, error) ||
        !UnbufferedTransferIsAligned(ToHandle(image), buffer, length, IsDevicePath(ImagePath) ? SECTOR : IO_ALIGN, error))
        return -1;
    DWORD got = 0;
    if (!ReadFile(ToHandle(image), buffer, static_cast<DWORD>(length), &got, nullptr)) {
        error = GetLastError();
        return -1;
    }
    return got;
}

bool FlushImage(FileHandle image, ErrorCode& error) {
    if (!ImageIsCharacter && !FlushFileBuffers(ToHandle(image))) {
        error = GetLastError();
        return false;
    }
    return true;
}

bool CloseFile(FileHandle file, ErrorCode& error) {
    bool closed = CloseHandle(ToHandle(file)) != 0;
    if (!closed) error = GetLastError();
    if (ToHandle(file) == LockedDisk) {
        for (HANDLE volume : VolumeLocks) CloseHandle(volume);
        VolumeLocks.clear();
        LockedDisk = INVALID_HANDLE_VALUE;
    }
    return closed;
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

size_t FileNameStart(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos) return slash + 1;
    // "E:e.img" names e.img in the current folder of E:.
    return path.size() >= 2 && path[1] == ':' && isalpha(static_cast<unsigned char>(path[0])) ? 2 : 0;
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

bool StdoutIsTerminal() { return UnicodeConsole; }

void WriteStdout(const std::string& bytes) {
    if (UnicodeConsole) {
        // Windows 7 takes at most about 64 KB in one WriteConsoleW and fails
        // past it, and any console may take fewer characters than given:
        // pieces go until all is written or one fails, a surrogate pair
        // never split between two.
        constexpr size_t PIECE = 8192;
        std::wstring wide = Wide(bytes);
        HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
        for (size_t done = 0; done < wide.size();) {
            size_t piece = std::min(PIECE, wide.size() - done);
            if (piece < wide.size() - done && wide[done + piece - 1] >= 0xD800 && wide[done + piece - 1] <= 0xDBFF)
                --piece;
            DWORD written = 0;
            if (!WriteConsoleW(console, wide.data() + done, static_cast<DWORD>(piece), &written, nullptr) ||
                written == 0)
                return;
            done += written;
        }
        return;
    }
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

namespace {
std::wstring SavedTitle;
bool TitleSaved = false;
}  // namespace

bool StartTitle() {
    if (!UnicodeConsole) return false;
    // A title may be up to 64K characters. One that fills the buffer may
    // have been cut, and one that does not fit may give 0 with no error, so
    // the buffer grows until the title is shorter than it; an empty title
    // gives 0 at every size.
    constexpr DWORD MOST = 128 * 1024;
    for (DWORD size = 1024;; size *= 2) {
        std::wstring title(size, L'\0');
        SetLastError(ERROR_SUCCESS);
        DWORD length = GetConsoleTitleW(&title[0], size);
        if (length == 0 && GetLastError() != ERROR_SUCCESS) return false;
        if ((length != 0 && length + 1 < size) || size >= MOST) {
            SavedTitle = title.c_str();
            break;
        }
    }
    TitleSaved = true;
    return true;
}

void ShowTitle(const std::string& text) {
    if (TitleSaved) SetConsoleTitleW(Wide(text).c_str());
}

void EndTitle() {
    if (TitleSaved) SetConsoleTitleW(SavedTitle.c_str());
    TitleSaved = false;
}

namespace {
// The console event that interrupted the dump, -1 until one came.
volatile LONG NotedEvent = -1;

BOOL WINAPI NoteEvent(DWORD event) {
    InterlockedExchange(&NotedEvent, static_cast<LONG>(event));
    // Ctrl+C and Ctrl+Break leave the process to the dump, which stops at
    // its next step. Closing the console (or a logoff or shutdown) ends the
    // process once this handler returns, so it does not return: the dump
    // keeps its partial file and ends the process itself, within the
    // system's few seconds.
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    Sleep(INFINITE);
    return TRUE;
}
}  // namespace

void WatchInterrupts() { SetConsoleCtrlHandler(NoteEvent, TRUE); }

bool Interrupted() { return InterlockedCompareExchange(&NotedEvent, -1, -1) != -1; }

void EndAsInterrupted() { ExitProcess(STATUS_CONTROL_C_EXIT); }

void Pause() {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) system("pause");
}
