// Linux: whether writing the image could change the drive. Both sides are
// followed to the storage that holds them: a partition to its disk, a
// stacked device (device mapper, md) to the devices under it, a loop device
// to its backing file or device, a file to the device of its file system
// (through the mount table where that device is an anonymous one).
//
// Writing a file writes into its file system's device, but not into other
// files there: two files on one disk do not share storage, and neither do a
// loop device's backing file and an image beside it. So each reached piece
// of storage is marked as reached through a file system or not, and two
// sides only clash on a piece that at least one of them reaches directly.
#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/linux/linux.h"

namespace {
// A block device (inode 0) or a file (the device of its file system and its
// inode), and whether it was reached through a file system.
struct Storage {
    dev_t device;
    ino_t inode;
    bool through_file_system;
};

// Chains are short (a partition on a loop device on a file on a disk); the
// bound only stops a cycle that a broken sysfs might show.
constexpr size_t MOST_STORAGE = 64;

// "MAJ:MIN", as sysfs and the mount table write a device's number.
std::string DeviceNumber(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::string SysfsDir(dev_t device) {
    return "/sys/dev/block/" + DeviceNumber(device);
}

bool ReadDeviceNumber(const std::string& path, dev_t& device) {
    std::ifstream file(path);
    unsigned int major_number = 0, minor_number = 0;
    char colon = 0;
    if (!(file >> major_number >> colon >> minor_number) || colon != ':') return false;
    device = makedev(major_number, minor_number);
    return true;
}

// The loop device's node, found by the name the kernel gave it, since a
// /dev/block link is not on every system.
int OpenLoop(dev_t device) {
    std::ifstream uevent(SysfsDir(device) + "/uevent");
    std::string line;
    while (std::getline(uevent, line)) {
        if (line.rfind("DEVNAME=", 0) != 0) continue;
        std::string node = "/dev/" + line.substr(8);
        struct stat status {};
        if (stat(node.c_str(), &status) != 0 || !S_ISBLK(status.st_mode) || status.st_rdev != device)
            return -1;
        return open(node.c_str(), O_RDONLY | O_CLOEXEC);
    }
    return -1;
}

void AddBlock(dev_t device, bool through_file_system, std::vector<Storage>& reached);
void AddFileSystem(const std::string& path, dev_t device, bool through_file_system,
                   std::vector<Storage>& reached);

// A file: itself, and the file system that holds it. Where its path is
// known, the file system is asked what stands behind it (see AddFileSystem).
void AddFile(dev_t device, ino_t inode, bool through_file_system, const std::string& path,
             std::vector<Storage>& reached) {
    if (reached.size() >= MOST_STORAGE) return;
    reached.push_back({device, inode, through_file_system});
    if (path.empty()) return AddBlock(device, true, reached);
    AddFileSystem(path, device, through_file_system, reached);
}

}  // namespace

namespace {
// The mount table prints a blank, tab, line end and backslash in a path as
// \ooo, three octal digits.
std::string Unescaped(const std::string& text) {
    std::string plain;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\\' && at + 3 < text.size() && text.find_first_not_of("01234567", at + 1) >= at + 4) {
            plain += static_cast<char>(std::stoi(text.substr(at + 1, 3), nullptr, 8));
            at += 3;
        } else {
            plain += text[at];
        }
    }
    return plain;
}
}  // namespace

std::vector<MountEntry> MountTable() {
    std::vector<MountEntry> table;
    std::ifstream file("/proc/self/mountinfo");
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        MountEntry entry;
        std::string id, parent, field;
        fields >> id >> parent >> entry.number >> entry.root >> entry.point >> entry.mount_options;
        while (fields >> field && field != "-") {
        }
        fields >> entry.type >> entry.source >> entry.options;
        entry.point = Unescaped(entry.point);
        entry.root = Unescaped(entry.root);
        entry.source = Unescaped(entry.source);
        table.push_back(entry);
    }
    return table;
}

namespace {
// The mount whose point holds path: the longest such point, among those
// that keep (when type is given) that type or (else) that device number.
const MountEntry* Holder(const std::vector<MountEntry>& table, const std::string& full, const std::string& type,
                         const std::string& number) {
    const MountEntry* holder = nullptr;
    for (const MountEntry& entry : table) {
        bool inside = full == entry.point || entry.point == "/" || full.rfind(entry.point + "/", 0) == 0;
        bool kind = type.empty() ? entry.number == number : entry.type == type;
        if (kind && inside && (holder == nullptr || entry.point.size() >= holder->point.size())) holder = &entry;
    }
    return holder;
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// What a mount's source stands for. A block device is written through the
// file system. A folder (bindfs and other FUSE views) is a view: path
// inside the mount is the same path inside the folder, the very file where
// it is one. A file (fuse2fs over an image file) holds the file system.
void AddSource(const MountEntry& entry, const std::string& full, bool through_file_system,
               std::vector<Storage>& reached) {
    struct stat status {};
    if (stat(entry.source.c_str(), &status) != 0) return;
    if (S_ISBLK(status.st_mode)) return AddBlock(status.st_rdev, true, reached);
    if (S_ISREG(status.st_mode)) return AddFile(status.st_dev, status.st_ino, true, entry.source, reached);
    if (!S_ISDIR(status.st_mode)) return;
    // A bind mount of a folder inside the view shows that folder (root).
    std::string inside = entry.point == "/" ? full : full.substr(entry.point.size());
    std::string mapped = entry.source + (entry.root == "/" ? "" : entry.root) + inside;
    struct stat target {};
    if (!full.empty() && stat(mapped.c_str(), &target) == 0 && S_ISREG(target.st_mode))
        return AddFile(target.st_dev, target.st_ino, through_file_system, mapped, reached);
    if (full.empty() || stat(mapped.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) {
        mapped = entry.source;
        target = status;
    }
    AddFileSystem(mapped, target.st_dev, true, reached);
}

// A btrfs may span several devices; the file system itself lists them.
void AddBtrfsDevices(const std::string& path, std::vector<Storage>& reached) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    btrfs_ioctl_fs_info_args info {};
    if (ioctl(fd, BTRFS_IOC_FS_INFO, &info) == 0) {
        for (uint64_t id = 0; id <= info.max_id && reached.size() < MOST_STORAGE; ++id) {
            btrfs_ioctl_dev_info_args device {};
            device.devid = id;
            struct stat status {};
            if (ioctl(fd, BTRFS_IOC_DEV_INFO, &device) == 0 &&
                stat(reinterpret_cast<const char*>(device.path), &status) == 0 && S_ISBLK(status.st_mode))
                AddBlock(status.st_rdev, true, reached);
        }
    }
    close(fd);
}

// An overlay's file is the file of the same path in its upper folder, or
// else in one of its lower folders, and the overlay writes into the upper
// one: every layer is followed. A layer given as a relative path is
// relative to where the mount was made, which is not known, and is not
// followed.
void AddOverlayLayers(const std::string& path, bool through_file_system, std::vector<Storage>& reached) {
    const std::vector<MountEntry> table = MountTable();
    std::string full = RealPath(path);
    const MountEntry* holder = Holder(table, full, "overlay", "");
    if (holder == nullptr) return;
    std::string inside = holder->point == "/" ? full : full.substr(holder->point.size());
    std::vector<std::string> layers;
    for (const char* option : {"upperdir=", "lowerdir="}) {
        size_t at = holder->options.find(option);
        if (at == std::string::npos) continue;
        at += std::string(option).size();
        std::string value = holder->options.substr(at, holder->options.find(',', at) - at);
        // Lower folders are separated by ":" ("\:" within a name).
        std::string layer;
        for (size_t n = 0; n <= value.size(); ++n) {
            if (n < value.size() && value[n] == '\\' && n + 1 < value.size() && value[n + 1] == ':') {
                layer += ':';
                ++n;
            } else if (n == value.size() || value[n] == ':') {
                layers.push_back(Unescaped(layer));
                layer.clear();
            } else {
                layer += value[n];
            }
        }
    }
    bool file_found = false;
    for (const std::string& layer : layers) {
        struct stat status {};
        if (layer.empty() || layer[0] != '/' || stat(layer.c_str(), &status) != 0) continue;
        AddFileSystem(layer, status.st_dev, true, reached);
        struct stat file {};
        std::string mapped = layer + inside;
        if (!file_found && stat(mapped.c_str(), &file) == 0 && S_ISREG(file.st_mode)) {
            AddFile(file.st_dev, file.st_ino, through_file_system, mapped, reached);
            file_found = true;
        }
    }
}

// The storage behind the file system that holds path, whose st_dev is
// device. btrfs and overlayfs give their files an anonymous device that
// sysfs does not know; each is asked in its own way, any other such file
// system (FUSE, a view of a folder) through the mount table's source.
void AddFileSystem(const std::string& path, dev_t device, bool through_file_system,
                   std::vector<Storage>& reached) {
    if (access(SysfsDir(device).c_str(), F_OK) == 0) return AddBlock(device, true, reached);
    if (reached.size() >= MOST_STORAGE) return;
    reached.push_back({device, 0, true});
    struct statfs kind {};
    if (statfs(path.c_str(), &kind) == 0 && kind.f_type == BTRFS_SUPER_MAGIC) return AddBtrfsDevices(path, reached);
    if (statfs(path.c_str(), &kind) == 0 && kind.f_type == OVERLAYFS_SUPER_MAGIC)
        return AddOverlayLayers(path, through_file_system, reached);
    const std::vector<MountEntry> table = MountTable();
    std::string full = RealPath(path);
    if (const MountEntry* holder = Holder(table, full, "", DeviceNumber(device)))
        AddSource(*holder, full, through_file_system, reached);
}

// A loop device's backing: a file, or a block device (a loop over
// /dev/sdb1), whose number the kernel reports as lo_rdevice; lo_device and
// lo_inode are then those of the device's node, not of the device.
void AddLoopBacking(dev_t device, const std::string& dir, bool through_file_system,
                    std::vector<Storage>& reached) {
    loop_info64 info {};
    int loop = OpenLoop(device);
    bool known = loop >= 0 && ioctl(loop, LOOP_GET_STATUS64, &info) == 0;
    if (loop >= 0) close(loop);
    // lo_device and lo_rdevice are in the kernel's encoding: minor's low
    // byte, major, then the minor's upper bits.
    auto decode = [](uint64_t number) {
        return makedev((number >> 8) & 0xfff, (number & 0xff) | ((number >> 12) & 0xfff00));
    };
    if (known && info.lo_rdevice != 0) return AddBlock(decode(info.lo_rdevice), through_file_system, reached);
    std::ifstream named(dir + "/loop/backing_file");
    std::string path;
    std::getline(named, path);
    struct stat backing {};
    bool found = !path.empty() && stat(path.c_str(), &backing) == 0 &&
                 (!known || (backing.st_dev == decode(info.lo_device) && backing.st_ino == info.lo_inode));
    if (found && S_ISBLK(backing.st_mode)) return AddBlock(backing.st_rdev, through_file_system, reached);
    if (found && S_ISREG(backing.st_mode))
        return AddFile(backing.st_dev, backing.st_ino, through_file_system, path, reached);
    if (known) AddFile(decode(info.lo_device), static_cast<ino_t>(info.lo_inode), through_file_system, "", reached);
}

void AddBlock(dev_t device, bool through_file_system, std::vector<Storage>& reached) {
    if (reached.size() >= MOST_STORAGE) return;
    reached.push_back({device, 0, through_file_system});
    std::string dir = SysfsDir(device);
    if (access(dir.c_str(), F_OK) != 0) return;
    dev_t holder = 0;
    // The kernel resolves ".." against the link's target: the disk's folder.
    // A partition is only part of its disk: two partitions of one disk, or
    // a file system on one and another partition, do not clash there, but
    // either clashes with the whole disk.
    if (access((dir + "/partition").c_str(), F_OK) == 0 && ReadDeviceNumber(dir + "/../dev", holder))
        AddBlock(holder, true, reached);
    if (DIR* slaves = opendir((dir + "/slaves").c_str())) {
        while (dirent* entry = readdir(slaves)) {
            if (entry->d_name[0] != '.' &&
                ReadDeviceNumber(dir + "/slaves/" + entry->d_name + "/dev", holder))
                AddBlock(holder, through_file_system, reached);
        }
        closedir(slaves);
    }
    if (access((dir + "/loop").c_str(), F_OK) == 0) AddLoopBacking(device, dir, through_file_system, reached);
}

// A folder is where a file is to be created: its file system is written.
void AddStatus(const struct stat& status, const std::string& path, std::vector<Storage>& reached) {
    if (S_ISBLK(status.st_mode)) AddBlock(status.st_rdev, false, reached);
    if (S_ISREG(status.st_mode)) AddFile(status.st_dev, status.st_ino, false, path, reached);
    if (S_ISDIR(status.st_mode)) AddFileSystem(path, status.st_dev, true, reached);
}

bool Clash(const std::vector<Storage>& image_side, const std::vector<Storage>& drive_side) {
    for (const Storage& mine : image_side)
        for (const Storage& theirs : drive_side)
            if (mine.device == theirs.device && mine.inode == theirs.inode &&
                !(mine.through_file_system && theirs.through_file_system))
                return true;
    return false;
}

std::vector<Storage> Opened(int fd) {
    std::vector<Storage> reached;
    struct stat status {};
    if (fstat(fd, &status) == 0) AddStatus(status, "/proc/self/fd/" + std::to_string(fd), reached);
    return reached;
}

// An image path yet to be created lands in its folder's file system; a
// dangling link is followed to where the create would put the file.
void AddImagePath(std::string path, std::vector<Storage>& reached) {
    for (int links = 0; links < 40; ++links) {
        struct stat status {};
        if (stat(path.c_str(), &status) == 0) return AddStatus(status, path, reached);
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) break;
        char target[PATH_MAX];
        ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        if (length <= 0) return;
        std::string next(target, static_cast<size_t>(length));
        path = next[0] == '/' ? next : Folder(path) + "/" + next;
    }
    struct stat folder {};
    if (stat(Folder(path).c_str(), &folder) == 0) AddFileSystem(Folder(path), folder.st_dev, true, reached);
}
}  // namespace

ErrorCode InvalidParameterCode() { return EINVAL; }

bool OpenedSharesStorage(int drive, int opened) { return Clash(Opened(opened), Opened(drive)); }

bool LoopBackingInUse(int fd) {
    struct stat status {};
    loop_info64 mine {};
    if (fstat(fd, &status) != 0 || !S_ISBLK(status.st_mode) || ioctl(fd, LOOP_GET_STATUS64, &mine) != 0) return false;
    DIR* block = opendir("/sys/block");
    if (block == nullptr) return false;
    bool in_use = false;
    while (dirent* entry = readdir(block)) {
        dev_t device = 0;
        std::string dir = std::string("/sys/block/") + entry->d_name;
        if (in_use || access((dir + "/loop").c_str(), F_OK) != 0 || !ReadDeviceNumber(dir + "/dev", device) ||
            device == status.st_rdev)
            continue;
        int other = OpenLoop(device);
        loop_info64 theirs {};
        bool same = other >= 0 && ioctl(other, LOOP_GET_STATUS64, &theirs) == 0 &&
                    theirs.lo_device == mine.lo_device && theirs.lo_inode == mine.lo_inode &&
                    theirs.lo_rdevice == mine.lo_rdevice;
        if (other >= 0) close(other);
        if (!same) continue;
        // A mounted or otherwise claimed device, or one with a claimed
        // partition, refuses an exclusive open.
        std::string node = "/dev/" + std::string(entry->d_name);
        int probe = open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        if (probe < 0 && errno == EBUSY) in_use = true;
        if (probe >= 0) close(probe);
    }
    closedir(block);
    return in_use;
}

namespace {
bool HasOption(const std::string& options, const std::string& option) {
    return ("," + options + ",").find("," + option + ",") != std::string::npos;
}

// The device and every block device that can write into it: its
// partitions, and what is stacked on it or on them (device mapper, md,
// loop), as sysfs lists them under partitions' folders and holders.
void AddWriters(dev_t device, std::vector<dev_t>& devices) {
    if (devices.size() >= MOST_STORAGE || std::find(devices.begin(), devices.end(), device) != devices.end()) return;
    devices.push_back(device);
    std::string dir = SysfsDir(device);
    dev_t found = 0;
    if (DIR* entries = opendir(dir.c_str())) {
        while (dirent* entry = readdir(entries)) {
            std::string sub = dir + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && access((sub + "/partition").c_str(), F_OK) == 0 &&
                ReadDeviceNumber(sub + "/dev", found))
                AddWriters(found, devices);
        }
        closedir(entries);
    }
    if (DIR* holders = opendir((dir + "/holders").c_str())) {
        while (dirent* entry = readdir(holders)) {
            if (entry->d_name[0] != '.' && ReadDeviceNumber(dir + "/holders/" + entry->d_name + "/dev", found))
                AddWriters(found, devices);
        }
        closedir(holders);
    }
}

// The file a loop device reads, as its device and inode: the kernel's own
// record, which a file deleted or renamed since, or a name with a line end
// in it, leaves intact where sysfs's backing_file text does not.
bool LoopFile(dev_t loop, dev_t& file_device, ino_t& file_inode) {
    loop_info64 info {};
    int opened = OpenLoop(loop);
    bool known = opened >= 0 && ioctl(opened, LOOP_GET_STATUS64, &info) == 0 && info.lo_inode != 0;
    if (opened >= 0) close(opened);
    if (!known) return false;
    // lo_device is in the kernel's encoding: minor's low byte, major, then
    // the minor's upper bits.
    file_device = makedev((info.lo_device >> 8) & 0xfff, (info.lo_device & 0xff) | ((info.lo_device >> 12) & 0xfff00));
    file_inode = static_cast<ino_t>(info.lo_inode);
    return true;
}

// The loop devices over the file with this device and inode.
void AddLoopsOver(dev_t file_device, ino_t file_inode, std::vector<dev_t>& devices) {
    DIR* block = opendir("/sys/block");
    if (block == nullptr) return;
    while (dirent* entry = readdir(block)) {
        std::string dir = std::string("/sys/block/") + entry->d_name;
        dev_t device = 0, backing_device = 0;
        ino_t backing_inode = 0;
        if (access((dir + "/loop").c_str(), F_OK) == 0 && ReadDeviceNumber(dir + "/dev", device) &&
            LoopFile(device, backing_device, backing_inode) && backing_device == file_device &&
            backing_inode == file_inode)
            AddWriters(device, devices);
    }
    closedir(block);
}

// A device another program has claimed (a mount in another mount
// namespace, a container's, a swap area) refuses an exclusive open, though
// this process's mount table does not show it. Its node is reached through
// the descriptor for the drive itself, and through /dev/block for the rest.
bool ClaimedElsewhere(int fd, const struct stat& status, const std::vector<dev_t>& devices) {
    for (dev_t device : devices) {
        std::string node = device == status.st_rdev
                               ? "/proc/self/fd/" + std::to_string(fd)
                               : "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
        int probe = open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
        if (probe >= 0) close(probe);
        if (probe < 0 && errno == EBUSY) return true;
    }
    return false;
}
}  // namespace

bool MountedWritable(int fd) {
    struct stat status {};
    std::vector<dev_t> devices;
    if (fstat(fd, &status) != 0) return false;
    if (S_ISBLK(status.st_mode)) AddWriters(status.st_rdev, devices);
    // A loop device's file is written through any loop device over it.
    dev_t file_device = status.st_dev;
    ino_t file_inode = status.st_ino;
    if ((S_ISBLK(status.st_mode) && LoopFile(status.st_rdev, file_device, file_inode)) || S_ISREG(status.st_mode))
        AddLoopsOver(file_device, file_inode, devices);
    bool mounted_here = false;
    for (const MountEntry& entry : MountTable()) {
        // btrfs numbers its mounts with a device of its own; the source is
        // the device it lies on.
        struct stat source {};
        bool on_source = stat(entry.source.c_str(), &source) == 0 && S_ISBLK(source.st_mode);
        bool ours = false;
        for (dev_t device : devices)
            ours = ours || entry.number == DeviceNumber(device) || (on_source && source.st_rdev == device);
        if (!ours) continue;
        mounted_here = true;
        // A file system is written where any of its mounts is writable and
        // it is not read-only as a whole.
        if (HasOption(entry.mount_options, "rw") && !HasOption(entry.options, "ro")) return true;
    }
    // Mounted only read-only here: its other mounts are this one's too.
    return !mounted_here && ClaimedElsewhere(fd, status, devices);
}

bool SharesStorage(FileHandle drive, const std::string& path) {
    std::vector<Storage> image_side;
    AddImagePath(path, image_side);
    return Clash(image_side, Opened(DescriptorOf(drive)));
}
