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
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/platform.h"

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

std::string SysfsDir(dev_t device) {
    return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
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

void AddFile(dev_t device, ino_t inode, bool through_file_system, std::vector<Storage>& reached);
void AddBlock(dev_t device, bool through_file_system, std::vector<Storage>& reached);

// btrfs and overlayfs give their files an anonymous device that sysfs does
// not know; the mount table names what stands behind it: the block device a
// btrfs was mounted from, the folder an overlay writes into.
void AddMountSources(dev_t device, bool through_file_system, std::vector<Storage>& reached) {
    std::ifstream table("/proc/self/mountinfo");
    std::string number = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, mount_number, field;
        fields >> id >> parent >> mount_number;
        if (mount_number != number) continue;
        while (fields >> field && field != "-") {
        }
        std::string type, source, options;
        fields >> type >> source >> options;
        struct stat status {};
        if (source[0] == '/' && stat(source.c_str(), &status) == 0 && S_ISBLK(status.st_mode))
            AddBlock(status.st_rdev, through_file_system, reached);
        size_t upper = options.find("upperdir=");
        if (upper == std::string::npos) continue;
        std::string folder = options.substr(upper + 9, options.find(',', upper) - upper - 9);
        if (stat(folder.c_str(), &status) == 0) AddBlock(status.st_dev, true, reached);
    }
}

// A loop device's backing: a file, or a block device (a loop over
// /dev/sdb1), for which the kernel reports the inode of the device's node,
// not the device; sysfs names the path that tells the two apart.
void AddLoopBacking(dev_t device, const std::string& dir, bool through_file_system,
                    std::vector<Storage>& reached) {
    loop_info64 info {};
    int loop = OpenLoop(device);
    bool known = loop >= 0 && ioctl(loop, LOOP_GET_STATUS64, &info) == 0;
    if (loop >= 0) close(loop);
    // lo_device is in the kernel's encoding: minor's low byte, major, then
    // the minor's upper bits.
    dev_t file_device = makedev((info.lo_device >> 8) & 0xfff,
                                (info.lo_device & 0xff) | ((info.lo_device >> 12) & 0xfff00));
    std::ifstream named(dir + "/loop/backing_file");
    std::string path;
    std::getline(named, path);
    struct stat backing {};
    bool found = !path.empty() && stat(path.c_str(), &backing) == 0 &&
                 (!known || (backing.st_dev == file_device && backing.st_ino == info.lo_inode));
    if (found && S_ISBLK(backing.st_mode)) return AddBlock(backing.st_rdev, through_file_system, reached);
    if (found && S_ISREG(backing.st_mode)) return AddFile(backing.st_dev, backing.st_ino, through_file_system, reached);
    if (known) AddFile(file_device, static_cast<ino_t>(info.lo_inode), through_file_system, reached);
}

void AddBlock(dev_t device, bool through_file_system, std::vector<Storage>& reached) {
    if (reached.size() >= MOST_STORAGE) return;
    reached.push_back({device, 0, through_file_system});
    std::string dir = SysfsDir(device);
    if (access(dir.c_str(), F_OK) != 0) return AddMountSources(device, through_file_system, reached);
    dev_t holder = 0;
    // The kernel resolves ".." against the link's target: the disk's folder.
    if (access((dir + "/partition").c_str(), F_OK) == 0 && ReadDeviceNumber(dir + "/../dev", holder))
        AddBlock(holder, through_file_system, reached);
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

void AddFile(dev_t device, ino_t inode, bool through_file_system, std::vector<Storage>& reached) {
    if (reached.size() >= MOST_STORAGE) return;
    reached.push_back({device, inode, through_file_system});
    AddBlock(device, true, reached);
}

void AddStatus(const struct stat& status, std::vector<Storage>& reached) {
    if (S_ISBLK(status.st_mode)) AddBlock(status.st_rdev, false, reached);
    if (S_ISREG(status.st_mode)) AddFile(status.st_dev, status.st_ino, false, reached);
}

std::string Folder(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// An image path yet to be created lands in its folder's file system; a
// dangling link is followed to where the create would put the file.
void AddImagePath(std::string path, std::vector<Storage>& reached) {
    for (int links = 0; links < 40; ++links) {
        struct stat status {};
        if (stat(path.c_str(), &status) == 0) return AddStatus(status, reached);
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) break;
        char target[PATH_MAX];
        ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        if (length <= 0) return;
        std::string next(target, static_cast<size_t>(length));
        path = next[0] == '/' ? next : Folder(path) + "/" + next;
    }
    struct stat folder {};
    if (stat(Folder(path).c_str(), &folder) == 0) AddBlock(folder.st_dev, true, reached);
}
}  // namespace

bool SharesStorage(FileHandle drive, const std::string& path) {
    struct stat source {};
    if (fstat(static_cast<int>(drive), &source) != 0) return false;
    std::vector<Storage> drive_side, image_side;
    AddStatus(source, drive_side);
    AddImagePath(path, image_side);
    for (const Storage& mine : image_side)
        for (const Storage& theirs : drive_side)
            if (mine.device == theirs.device && mine.inode == theirs.inode &&
                !(mine.through_file_system && theirs.through_file_system))
                return true;
    return false;
}
