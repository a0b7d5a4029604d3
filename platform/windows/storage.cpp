// Windows: what storage a path or an opened handle lies on, to refuse an
// image that would write into the drive it is made of.
#include <algorithm>
#include <cstddef>

#include "platform/windows/windows.h"

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

namespace {
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
std::wstring DriveVolume(const std::wstring& drive_path) {
    if (IsLetterAt(drive_path, 4)) return VolumeOf(drive_path.substr(4) + L"\\");
    if (StartsWith(drive_path, L"\\\\.\\Volume{")) return L"\\\\?\\" + drive_path.substr(4) + L"\\";
    return L"";
}

// Whether path (a file's, or a volume's "\\.\F:") lies on the drive's
// volume, or, for a whole disk as the drive, on a volume of that disk.
bool OnDriveVolume(const HeldFile& drive, const std::wstring& path) {
    // "\\.\F:" is the volume whose root is "F:\".
    std::wstring image_volume = VolumeOf(IsDevicePath(path) ? path.substr(4) + L"\\" : path);
    return SameText(image_volume, DriveVolume(drive.path)) || OnDriveStorage(drive.handle, image_volume);
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
}  // namespace

// The check on what was opened: the image's handle (opened_path is the path
// it was opened by, for a system that names no final path) against the
// drive's, whatever spellings led to either.
bool OpenedSharesStorage(const HeldFile& drive, HANDLE image, const std::wstring& opened_path, bool device) {
    // A volume's serial number is no name of it: a clone of a stick, or a
    // shadow copy, carries its volume's serial, so the volumes are compared
    // by their volume names or device numbers.
    if (device && SameDeviceNumber(drive.handle, image)) return true;
    std::wstring final_path = FinalPath(image);
    return OnDriveVolume(drive, device || final_path.empty() ? opened_path : final_path);
}

namespace {
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
}  // namespace

ErrorCode InvalidParameterCode() { return ERROR_INVALID_PARAMETER; }

bool SharesStorage(FileHandle drive, const std::string& path) {
    std::wstring image = LongPath(path);
    // A volume image is checked on its handle when it is opened.
    if (SameText(image, Held(drive).path) || SameFile(HandleOf(drive), image) ||
        (IsDevicePath(image) && SameStorageDevice(HandleOf(drive), image)))
        return true;
    return OnDriveVolume(Held(drive), image);
}
