// Linux: the drive is a block device or a regular image file, named by its
// path; the device path is the drive text itself.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>

#include "platform/linux/linux.h"

namespace {
// Without the rights to open a block device its size still shows in sysfs,
// so such a drive is planned and fails at the open with its own code.
bool SysfsSize(dev_t device, uint64_t& total) {
    std::ifstream file("/sys/dev/block/" + std::to_string(major(device)) + ":" +
                       std::to_string(minor(device)) + "/size");
    uint64_t sectors = 0;
    if (!(file >> sectors)) return false;
    total = sectors * 512;  // sysfs counts 512-byte units whatever the sector size
    return true;
}
}  // namespace

ErrorCode EndOfDriveCode() { return EIO; }

bool QueryDriveSize(const std::string& drive, uint64_t& total, ErrorCode& error) {
    struct stat status {};
    if (drive.empty()) return false;
    if (stat(drive.c_str(), &status) != 0) {
        // A name in a folder this user may not search may well be a drive:
        // told with its code, not as no drive at all.
        if (errno != ENOENT && errno != ENOTDIR) error = static_cast<ErrorCode>(errno);
        return false;
    }
    if (S_ISREG(status.st_mode)) {
        total = static_cast<uint64_t>(status.st_size);
        return true;
    }
    if (!S_ISBLK(status.st_mode)) return false;
    int fd = open(drive.c_str(), O_RDONLY | O_CLOEXEC);
    bool sized = false;
    if (fd >= 0) {
        sized = ioctl(fd, BLKGETSIZE64, &total) == 0;
        close(fd);
    }
    // A device of no size has no medium (an empty card reader, an unbound
    // loop device): an empty image of it would pass for a dump.
    return (sized || SysfsSize(status.st_rdev, total)) && total > 0;
}

std::string DevicePath(const std::string& drive) { return drive; }

FileHandle OpenDrive(const std::string& device_path, ErrorCode& error) {
    return HandOut(OpenUnbuffered(AT_FDCWD, device_path, O_RDONLY, error));
}

// Linux has no lock that keeps other writers off a device: a drive with a
// file system mounted writable on it is told as busy, since what the file
// system writes meanwhile makes an image that no moment of the drive was.
std::vector<ErrorCode> LockDrive(FileHandle drive) {
    if (MountedWritable(DescriptorOf(drive))) return {EBUSY};
    return {};
}

size_t DriveReadUnit() { return IO_ALIGN; }

size_t DriveSectorSize(FileHandle drive) {
    int fd = DescriptorOf(drive);
    int sector = 0;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISBLK(status.st_mode) && ioctl(fd, BLKSSZGET, &sector) == 0 && sector > 0)
        return static_cast<size_t>(sector);
    // A file read without the cache is read in its file system's direct-I/O
    // unit, which only newer kernels tell; 4096 is that unit's upper bound.
    // FUSE hands reads to its server as they are asked.
    int flags = fcntl(fd, F_GETFL);
    struct statfs kind {};
    if (flags < 0 || (flags & O_DIRECT) == 0 || (fstatfs(fd, &kind) == 0 && kind.f_type == FUSE_SUPER_MAGIC))
        return 512;
    struct statx info {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &info) == 0 && (info.stx_mask & STATX_DIOALIGN) != 0 &&
        info.stx_dio_offset_align >= 512 && info.stx_dio_offset_align <= IO_ALIGN)
        return info.stx_dio_offset_align;
    return IO_ALIGN;
}

bool DriveGone(ErrorCode code) {
    return code == ENODEV || code == ENXIO || code == ENOTCONN || code == ENOMEDIUM || code == ESHUTDOWN ||
           code == EBADF;
}

bool SeekDrive(FileHandle drive, uint64_t offset, ErrorCode& error) {
    if (lseek(DescriptorOf(drive), static_cast<off_t>(offset), SEEK_SET) >= 0) return true;
    error = static_cast<ErrorCode>(errno);
    return false;
}

int64_t ReadDrive(FileHandle drive, void* buffer, size_t length, ErrorCode& error) {
    ssize_t got;
    do {
        got = read(DescriptorOf(drive), buffer, length);
    } while (got < 0 && errno == EINTR && !Interrupted());
    if (got < 0) {
        error = static_cast<ErrorCode>(errno);
        return -1;
    }
    return got;
}

namespace {
// A model or serial number is a few dozen bytes; page 0x80 could say its
// serial is up to 65535, which is cut here.
constexpr size_t FACT_LIMIT = 4096;

// The file the descriptor reads, as the kernel names it now: a link's
// target, a renamed file's new name.
std::string DescriptorPath(int fd) {
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    for (size_t room = 4096; room <= 65536; room *= 4) {
        std::string path(room, '\0');
        ssize_t length = readlink(link.c_str(), &path[0], room);
        if (length < 0) return "";
        if (static_cast<size_t>(length) < room) return path.substr(0, static_cast<size_t>(length));
    }
    return "";
}

// The serial number the kernel tells of the disk whose sysfs folder is
// disk: a virtio disk's own, an NVMe controller's or an SD card's (hex, as
// the card gives it), else vital product data page 0x80, which SCSI disks
// (and SATA and USB disks through the SCSI layer) answer with the serial
// after a 4-byte header whose last two bytes are its length.
std::string SysfsSerial(const std::string& disk) {
    for (const char* attribute : {"serial", "device/serial"}) {
        std::string serial = Printable(SmallFile(disk + attribute, FACT_LIMIT));
        if (!serial.empty()) return serial;
    }
    std::string page = SmallFile(disk + "device/vpd_pg80", FACT_LIMIT);
    if (page.size() < 4 || static_cast<unsigned char>(page[1]) != 0x80) return "";
    size_t length = static_cast<size_t>(static_cast<unsigned char>(page[2]) << 8 | static_cast<unsigned char>(page[3]));
    return Printable(page.substr(4, length));
}
}  // namespace

// Told from the descriptor, not from the name it was opened by: a name
// checked earlier may have been pointed elsewhere since.
DriveFacts DescribeDrive(FileHandle drive, const std::string&) {
    DriveFacts facts;
    int fd = DescriptorOf(drive);
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISBLK(status.st_mode)) {
        facts.opened = DescriptorPath(fd);
        return facts;
    }
    std::string number = std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
    char resolved[PATH_MAX];
    if (realpath(("/sys/dev/block/" + number).c_str(), resolved) == nullptr) {
        facts.opened = DescriptorPath(fd);
        return facts;
    }
    std::string folder = resolved, device = folder + "/";
    size_t name = folder.rfind('/') + 1;
    facts.opened = NodeName(device, folder.substr(name));
    // A partition's folder lies in its disk's, which holds the device's facts.
    std::string disk = SmallFile(device + "partition", FACT_LIMIT).empty() ? device : folder.substr(0, name);
    facts.model = DiskModel(disk);
    facts.serial = SysfsSerial(disk);
    if (facts.serial.empty()) {
        std::string disk_number = Printable(SmallFile(disk + "dev", FACT_LIMIT));
        facts.serial = Printable(UdevProperties(disk_number)["ID_SERIAL_SHORT"]);
    }
    return facts;
}
