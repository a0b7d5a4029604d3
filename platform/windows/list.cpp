// Windows: the disks (\\.\PhysicalDriveN) and the lettered volumes, each
// opened for no access at all, which CreateFileW allows any user on a disk
// or volume: such a handle takes the queries of FILE_ANY_ACCESS and reads
// nothing, so no administrator is needed and no medium is touched. A query
// that fails (Wine answers few of them) leaves what it would tell unknown.
#include <cstddef>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/windows/windows.h"

namespace {
// Disk numbers can have gaps (a disk removed), so every number up to this
// bound is asked.
constexpr DWORD DISK_NUMBERS = 64;

HANDLE OpenForQuery(const std::wstring& device) {
    return CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

bool Query(HANDLE device, DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD& returned) {
    returned = 0;
    return DeviceIoControl(device, code, const_cast<void*>(in), in_size, out, out_size, &returned, nullptr) != 0;
}

// A drive with no medium in it (a card reader without its card) has
// nothing to image.
bool NoMedium(DWORD code) { return code == ERROR_NOT_READY || code == ERROR_NO_MEDIA_IN_DRIVE; }

// STORAGE_BUS_TYPE by value: older headers lack the later names.
std::string BusName(DWORD bus) {
    static const char* const NAMES[] = {"",     "SCSI",    "ATAPI", "ATA",  "1394",   "SSA",  "Fibre",
                                        "USB",  "RAID",    "iSCSI", "SAS",  "SATA",   "SD",   "MMC",
                                        "Virtual", "VHD",  "Spaces", "NVMe", "SCM",   "UFS"};
    return bus < sizeof NAMES / sizeof NAMES[0] ? NAMES[bus] : "";
}

// Model, bus and removable media from the device descriptor.
void DescribeStorage(HANDLE device, DriveInfo& drive) {
    StorageFacts storage;
    if (!QueryStorage(device, storage)) return;
    drive.model = storage.model;
    drive.bus = BusName(storage.bus);
    drive.removal = storage.removable ? DriveInfo::REMOVABLE : DriveInfo::FIXED;
}

// A disk's length from its geometry, which needs no access; the length
// query needs read access, which a query-only handle lacks on Windows but
// not under Wine. False when neither answers, with the geometry's code,
// which tells a missing medium.
bool DiskLength(HANDLE disk, uint64_t& length, DWORD& code) {
    Buffer buffer = BufferOf(sizeof(DISK_GEOMETRY_EX) + 256);
    GET_LENGTH_INFORMATION info{};
    DWORD returned = 0;
    if (Query(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer.data(),
              static_cast<DWORD>(buffer.size() * sizeof(ULONGLONG)), returned) &&
        returned >= offsetof(DISK_GEOMETRY_EX, Data)) {
        length = static_cast<uint64_t>(reinterpret_cast<DISK_GEOMETRY_EX*>(buffer.data())->DiskSize.QuadPart);
        return true;
    }
    code = GetLastError();
    if (Query(disk, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, returned)) {
        length = static_cast<uint64_t>(info.Length.QuadPart);
        return true;
    }
    return false;
}

// The pieces of disks a volume lies on. A buffer of one extent is too small
// for a volume that spans disks: the call then fails with ERROR_MORE_DATA
// and tells how many there are.
std::vector<DISK_EXTENT> Extents(HANDLE volume) {
    DWORD size = sizeof(VOLUME_DISK_EXTENTS), returned = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Buffer buffer = BufferOf(size);
        const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
        if (Query(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(), size, returned)) {
            DWORD header = offsetof(VOLUME_DISK_EXTENTS, Extents);
            DWORD fit = returned > header ? (returned - header) / sizeof(DISK_EXTENT) : 0;
            DWORD count = extents->NumberOfDiskExtents < fit ? extents->NumberOfDiskExtents : fit;
            return std::vector<DISK_EXTENT>(extents->Extents, extents->Extents + count);
        }
        if (GetLastError() != ERROR_MORE_DATA || extents->NumberOfDiskExtents == 0 ||
            extents->NumberOfDiskExtents > 1024)
            break;
        size = static_cast<DWORD>(offsetof(VOLUME_DISK_EXTENTS, Extents) +
                                  extents->NumberOfDiskExtents * sizeof(DISK_EXTENT));
    }
    return {};
}

// A volume's length, as a dump would find it: its partition's or the sum
// of its extents, which need no access; else what answers under Wine, the
// length query (which needs read access on Windows) or, for a letter that
// Wine backs with an image file, the file's size.
bool VolumeLength(HANDLE volume, const std::vector<DISK_EXTENT>& extents, uint64_t& length) {
    GET_LENGTH_INFORMATION info{};
    PARTITION_INFORMATION_EX partition{};
    LARGE_INTEGER file_size{};
    DWORD returned = 0;
    if (Query(volume, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0, &partition, sizeof partition, returned)) {
        length = static_cast<uint64_t>(partition.PartitionLength.QuadPart);
    } else if (!extents.empty()) {
        length = 0;
        for (const DISK_EXTENT& extent : extents) length += static_cast<uint64_t>(extent.ExtentLength.QuadPart);
    } else if (Query(volume, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, returned)) {
        length = static_cast<uint64_t>(info.Length.QuadPart);
    } else if (GetFileSizeEx(volume, &file_size) && file_size.QuadPart > 0) {
        length = static_cast<uint64_t>(file_size.QuadPart);
    } else {
        return false;
    }
    return true;
}

struct Volume {
    DriveInfo info;
    std::vector<DWORD> disks;  // the disk numbers it lies on
};

// A lettered volume; false for one that is no local storage or has no medium.
bool DescribeVolume(wchar_t letter, Volume& volume) {
    std::wstring root = std::wstring(1, letter) + L":\\";
    UINT type = GetDriveTypeW(root.c_str());
    // A network share has no volume to image, and asking it could wait on
    // the network.
    if (type != DRIVE_REMOVABLE && type != DRIVE_FIXED && type != DRIVE_CDROM && type != DRIVE_RAMDISK)
        return false;
    DriveInfo& info = volume.info;
    info.name = Narrow(root.substr(0, 2));
    wchar_t label[MAX_PATH + 1] = {}, file_system[MAX_PATH + 1] = {};
    bool mounted = GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr, file_system,
                                         MAX_PATH + 1) != 0;
    bool no_medium = !mounted && NoMedium(GetLastError());
    info.model = Narrow(label);
    info.file_system = Narrow(file_system);
    info.removal = type == DRIVE_FIXED || type == DRIVE_RAMDISK ? DriveInfo::FIXED : DriveInfo::REMOVABLE;
    HANDLE handle = OpenForQuery(L"\\\\.\\" + root.substr(0, 2));
    if (handle == INVALID_HANDLE_VALUE) return !no_medium;
    std::vector<DISK_EXTENT> extents = Extents(handle);
    for (const DISK_EXTENT& extent : extents) volume.disks.push_back(extent.DiskNumber);
    info.size_known = VolumeLength(handle, extents, info.size);
    no_medium = no_medium && !info.size_known;
    DriveInfo storage;
    DescribeStorage(handle, storage);
    CloseHandle(handle);
    info.bus = storage.bus;
    if (storage.removal != DriveInfo::UNKNOWN) info.removal = storage.removal;
    return !no_medium;
}

// The letter of the volume the system runs from, as in "C:".
std::string SystemLetter() {
    wchar_t folder[MAX_PATH + 1] = {};
    UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length < 2 || length > MAX_PATH || folder[1] != L':') return "";
    return Narrow(std::wstring(1, towupper(folder[0])) + L":");
}
}  // namespace

std::vector<DriveInfo> ListDrives() {
    std::vector<Volume> volumes;
    DWORD letters = GetLogicalDrives();
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        Volume volume;
        if ((letters >> (letter - L'A') & 1) && DescribeVolume(letter, volume)) volumes.push_back(volume);
    }
    std::string system_letter = SystemLetter();
    std::vector<DWORD> system_disks;
    for (const Volume& volume : volumes)
        if (volume.info.name == system_letter) system_disks = volume.disks;

    std::vector<DriveInfo> drives;
    std::vector<bool> placed(volumes.size(), false);
    for (DWORD number = 0; number < DISK_NUMBERS; ++number) {
        std::wstring name = L"PhysicalDrive" + std::to_wstring(number);
        HANDLE handle = OpenForQuery(L"\\\\.\\" + name);
        if (handle == INVALID_HANDLE_VALUE) continue;
        DriveInfo disk;
        disk.name = Narrow(name);
        DWORD code = 0;
        disk.size_known = DiskLength(handle, disk.size, code);
        bool empty = !disk.size_known && NoMedium(code);
        DescribeStorage(handle, disk);
        CloseHandle(handle);
        if (empty) continue;
        for (DWORD system_disk : system_disks) disk.system = disk.system || system_disk == number;
        drives.push_back(disk);
        for (size_t at = 0; at < volumes.size(); ++at) {
            const Volume& volume = volumes[at];
            bool on_disk = !volume.disks.empty();
            for (DWORD on : volume.disks) on_disk = on_disk && on == number;
            if (!on_disk) continue;
            DriveInfo within = volume.info;
            within.within = true;
            if (within.bus.empty()) within.bus = disk.bus;
            if (disk.removal != DriveInfo::UNKNOWN) within.removal = disk.removal;
            drives.push_back(within);
            placed[at] = true;
        }
    }
    // Volumes on no disk listed (spanning disks, or where the disks cannot
    // be opened) stand alone; the system's volume carries the mark where
    // its disk is not listed.
    bool marked = false;
    for (const DriveInfo& drive : drives) marked = marked || drive.system;
    for (size_t at = 0; at < volumes.size(); ++at) {
        if (placed[at]) continue;
        DriveInfo alone = volumes[at].info;
        alone.system = !marked && alone.name == system_letter;
        drives.push_back(alone);
    }
    return drives;
}
