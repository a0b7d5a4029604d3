// Windows: the drive is a volume such as E: (or a whole disk, PhysicalDrive1),
// opened as the device "\\.\E:".
#include <algorithm>
#include <cstddef>
#include <cwctype>

#include "platform/windows/windows.h"

namespace {
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
}  // namespace

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

ErrorCode EndOfDriveCode() { return ERROR_HANDLE_EOF; }

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
    return HandOut(drive, Wide(device_path));
}

namespace {
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
    if (!IsWholeDisk(HandleOf(drive), disk)) {
        if (Control(HandleOf(drive), FSCTL_LOCK_VOLUME)) return {};
        return {GetLastError()};
    }
    std::vector<ErrorCode> refused;
    for (const std::wstring& device : VolumesOnDisk(disk)) {
        HANDLE volume = CreateFileW(device.c_str(), GENERIC_READ, SHARE_READ_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (volume != INVALID_HANDLE_VALUE && Control(volume, FSCTL_LOCK_VOLUME)) {
            Held(drive).volume_locks.push_back(volume);
            continue;
        }
        refused.push_back(GetLastError());
        if (volume != INVALID_HANDLE_VALUE) CloseHandle(volume);
    }
    return refused;
}

size_t DriveReadUnit() { return SECTOR; }

// The disk's own sector size, else the storage stack's logical sector size;
// where neither answers (a file that Wine backs a letter with), the unit
// that unbuffered reads of any file system take: Wine refuses a 512-byte
// read of such a file off a 4096-byte boundary.
size_t SectorSize(HANDLE device) {
    DISK_GEOMETRY_EX geometry{};
    if (Control(device, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &geometry, sizeof geometry) &&
        geometry.Geometry.BytesPerSector >= SECTOR && geometry.Geometry.BytesPerSector <= IO_ALIGN)
        return geometry.Geometry.BytesPerSector;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
    DWORD returned = 0;
    if (DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &alignment,
                        sizeof alignment, &returned, nullptr) &&
        alignment.BytesPerLogicalSector >= SECTOR && alignment.BytesPerLogicalSector <= IO_ALIGN)
        return alignment.BytesPerLogicalSector;
    return IO_ALIGN;
}

size_t DriveSectorSize(FileHandle drive) { return SectorSize(HandleOf(drive)); }

// ERROR_NOT_READY (21) is not among them: Windows (and Wine) report an
// unreadable range of a drive that is there with it too.
bool DriveGone(ErrorCode code) {
    return code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_DEV_NOT_EXIST ||
           code == ERROR_NO_MEDIA_IN_DRIVE || code == ERROR_INVALID_HANDLE;
}

bool SeekDrive(FileHandle drive, uint64_t offset, ErrorCode& error) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (SetFilePointerEx(HandleOf(drive), at, nullptr, FILE_BEGIN)) return true;
    error = GetLastError();
    return false;
}

int64_t ReadDrive(FileHandle drive, void* buffer, size_t length, ErrorCode& error) {
    if (!UnbufferedTransferIsAligned(HandleOf(drive), buffer, length, SECTOR, error)) return -1;
    DWORD got = 0;
    if (!ReadFile(HandleOf(drive), buffer, static_cast<DWORD>(length), &got, nullptr)) {
        error = GetLastError();
        return -1;
    }
    return got;
}

namespace {
// A text of the device descriptor at offset within the bytes returned (0:
// none), NUL-terminated ASCII; the blanks that pad SCSI inquiry fields and
// any control characters dropped.
std::string DescriptorText(const char* bytes, DWORD returned, DWORD offset) {
    if (offset == 0 || offset >= returned) return "";
    std::string text;
    for (DWORD at = offset; at < returned && bytes[at] != '\0'; ++at)
        if (static_cast<unsigned char>(bytes[at]) >= 0x20 && bytes[at] != 0x7f) text += bytes[at];
    size_t begin = text.find_first_not_of(' '), end = text.find_last_not_of(' ');
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

bool QueryProperty(HANDLE device, const STORAGE_PROPERTY_QUERY& query, void* out, DWORD size, DWORD& returned) {
    returned = 0;
    return DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, const_cast<STORAGE_PROPERTY_QUERY*>(&query),
                           sizeof query, out, size, &returned, nullptr) != 0;
}
}  // namespace

// The descriptor's length is told first, in its header: the texts follow
// the structure, each at the offset it gives.
bool QueryStorage(HANDLE device, StorageFacts& facts) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_DESCRIPTOR_HEADER header{};
    DWORD returned = 0;
    constexpr DWORD FIXED_PART = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength);
    if (!QueryProperty(device, query, &header, sizeof header, returned) || returned < sizeof header ||
        header.Size < FIXED_PART)
        return false;
    DWORD size = header.Size < 65536 ? header.Size : 65536;
    Buffer buffer = BufferOf(size);
    if (!QueryProperty(device, query, buffer.data(), size, returned) || returned < FIXED_PART) return false;
    const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer.data());
    const auto* bytes = reinterpret_cast<const char*>(buffer.data());
    std::string vendor = DescriptorText(bytes, returned, descriptor->VendorIdOffset);
    std::string product = DescriptorText(bytes, returned, descriptor->ProductIdOffset);
    facts.model = vendor.empty() || product.compare(0, vendor.size(), vendor) == 0 ? product
                  : product.empty()                                              ? vendor
                                                                                 : vendor + " " + product;
    facts.serial = DescriptorText(bytes, returned, descriptor->SerialNumberOffset);
    facts.bus = static_cast<DWORD>(descriptor->BusType);
    facts.removable = descriptor->RemovableMedia != 0;
    return true;
}

// A volume's handle passes the storage query on to the disk beneath (for a
// volume on one disk), so a letter tells its disk's model and serial.
DriveFacts DescribeDrive(FileHandle drive, const std::string&) {
    DriveFacts facts;
    facts.opened = Narrow(Held(drive).path);
    StorageFacts storage;
    if (QueryStorage(HandleOf(drive), storage)) {
        facts.model = storage.model;
        facts.serial = storage.serial;
    }
    return facts;
}
