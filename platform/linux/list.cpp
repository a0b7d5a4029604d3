// Linux: the drives from sysfs, their file systems from the mount table and
// udev's records. Every file read here is readable by any user, so the list
// needs no root.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "platform/linux/linux.h"
#include "platform/platform.h"

// One read: sysfs gives an attribute whole in a single read, and a file
// that something else has put at the name is never waited on.
std::string SmallFile(const std::string& path, size_t limit) {
    std::string bytes;
    bool found = false;
    ErrorCode ignored = 0;
    if (!ReadFileStart(path, limit, bytes, found, ignored)) bytes.clear();
    return bytes;
}

std::string Printable(const std::string& text) {
    std::string kept;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) kept += c;
    size_t begin = kept.find_first_not_of(' '), end = kept.find_last_not_of(' ');
    return begin == std::string::npos ? std::string() : kept.substr(begin, end - begin + 1);
}

namespace {
// A line of sysfs (a number, a model) is short; a whole attribute (a loop
// device's file name) is at most a page, 64 KiB on some machines.
constexpr size_t LINE_LIMIT = 4096, ATTRIBUTE_LIMIT = 65536;
// udev's record of a device: a few dozen lines.
constexpr size_t UDEV_LIMIT = 65536;

// The first line of a small sysfs or proc file, without the blanks that
// pad a SCSI model; empty when there is none.
std::string ReadText(const std::string& path) {
    std::string text = SmallFile(path, LINE_LIMIT);
    return Printable(text.substr(0, text.find('\n')));
}

// All of a sysfs file but its closing line end: a loop device's file name
// may hold line ends of its own, and " (deleted)" once the file is gone.
std::string ReadWhole(const std::string& path) {
    std::string text = SmallFile(path, ATTRIBUTE_LIMIT);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

bool ReadNumber(const std::string& path, uint64_t& number) {
    std::string text = ReadText(path);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    number = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

bool Exists(const std::string& path) {
    struct stat status{};
    return stat(path.c_str(), &status) == 0;
}

std::string Real(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    closedir(dir);
    return names;
}

// sdb before sdaa and loop2 before loop10, as a person counts.
bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ei = a.find_first_not_of("0123456789", i), ej = b.find_first_not_of("0123456789", j);
            std::string x = a.substr(i, ei - i), y = b.substr(j, ej - j);
            x.erase(0, std::min(x.find_first_not_of('0'), x.size() - 1));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size() - 1));
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            i = ei == std::string::npos ? a.size() : ei;
            j = ej == std::string::npos ? b.size() : ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// A block device node's "major:minor", as sysfs and mountinfo write it.
std::string DeviceNumber(const std::string& node) {
    struct stat status{};
    if (stat(node.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) return "";
    return std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
}

// udev writes a label's unsafe bytes as \xNN.
std::string UnescapeHex(const std::string& text) {
    std::string plain;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text.compare(at, 2, "\\x") == 0 && at + 3 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[at + 2])) &&
            std::isxdigit(static_cast<unsigned char>(text[at + 3]))) {
            plain += static_cast<char>(std::stoi(text.substr(at + 2, 2), nullptr, 16));
            at += 3;
        } else {
            plain += text[at];
        }
    }
    return plain;
}

struct Mounted {
    std::string file_system, mount;
    bool whole = false;  // the file system's own root is mounted there, not a folder of it bound
};

struct MountsByDevice {
    std::map<std::string, Mounted> by_device;  // by "major:minor"
    std::string root_device;                   // the device "/" is mounted from, if any
};

// A file system's device by its source node where that is one: btrfs
// reports a number of its own in mountinfo, not its device's.
MountsByDevice ReadMounts() {
    MountsByDevice table;
    for (const MountEntry& entry : MountTable()) {
        std::string device = entry.source.compare(0, 5, "/dev/") == 0 ? DeviceNumber(entry.source) : "";
        if (device.empty()) device = entry.number;
        Mounted mounted{entry.type, entry.point, entry.root == "/"};
        if (mounted.mount == "/") table.root_device = device;
        auto known = table.by_device.find(device);
        if (known == table.by_device.end() || (!known->second.whole && mounted.whole))
            table.by_device[device] = mounted;
    }
    return table;
}

// The disks under a device, through the partition's disk and the devices a
// mapped or RAID device is made of.
void DisksUnder(const std::string& path, std::set<std::string>& disks, int depth) {
    if (path.empty() || depth > 8) return;
    std::string device = Exists(path + "/partition") ? path.substr(0, path.rfind('/')) : path;
    std::vector<std::string> slaves = Entries(device + "/slaves");
    for (const std::string& slave : slaves) DisksUnder(Real(device + "/slaves/" + slave), disks, depth + 1);
    if (slaves.empty()) disks.insert(device.substr(device.rfind('/') + 1));
}

struct Udev {
    std::string file_system, label;
};

// What udev found on a device: its file system and label, mounted or not.
Udev UdevRecord(const std::string& device) {
    std::map<std::string, std::string> properties = UdevProperties(device);
    Udev record{properties["ID_FS_TYPE"], UnescapeHex(properties["ID_FS_LABEL_ENC"])};
    if (record.label.empty()) record.label = properties["ID_FS_LABEL"];
    return record;
}

std::string Kind(const std::string& name) {
    return name.substr(0, name.find_first_of("0123456789"));
}

std::string Bus(const std::string& path, const std::string& base, const std::string& name) {
    auto has = [&path](const char* part) { return path.find(part) != std::string::npos; };
    // A card reader or NVMe enclosure on USB is a USB drive.
    if (has("/usb")) return "USB";
    if (has("/mmc")) {
        std::string type = ReadText(base + "device/type");
        return type.empty() ? "SD" : type;
    }
    if (has("/nvme")) return "NVMe";
    if (has("/ata")) return "SATA";
    if (has("/virtio")) return "virtio";
    if (has("/devices/virtual/")) return Kind(name);
    if (has("/target")) return "SCSI";
    return "";
}

std::string Model(const std::string& base, const std::string& kind) {
    if (kind == "loop") return ReadWhole(base + "loop/backing_file");
    if (kind == "dm") return ReadText(base + "dm/name");
    return DiskModel(base);
}
}  // namespace

std::string DiskModel(const std::string& base) {
    std::string vendor = ReadText(base + "device/vendor"), model = ReadText(base + "device/model");
    // An SD or MMC card has a name and no model.
    if (model.empty()) return ReadText(base + "device/name");
    // libata names every SATA disk's vendor "ATA"; a virtio disk has a
    // vendor number and no model.
    if (vendor.empty() || vendor == "ATA" || model.compare(0, vendor.size(), vendor) == 0) return model;
    return vendor + " " + model;
}

// udev spells a record's properties "E:KEY=value", one a line.
std::map<std::string, std::string> UdevProperties(const std::string& device) {
    std::map<std::string, std::string> properties;
    std::istringstream lines(SmallFile("/run/udev/data/b" + device, UDEV_LIMIT));
    for (std::string line; std::getline(lines, line);) {
        size_t equals = line.find('=');
        if (line.compare(0, 2, "E:") == 0 && equals != std::string::npos)
            properties.emplace(line.substr(2, equals - 2), line.substr(equals + 1));
    }
    return properties;
}

// uevent's DEVNAME is the node's path under /dev, which the folder's name
// spells with "!" for "/".
std::string NodeName(const std::string& base, std::string name) {
    std::istringstream lines(SmallFile(base + "uevent", LINE_LIMIT));
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, 8, "DEVNAME=") == 0) return "/dev/" + line.substr(8);
    std::replace(name.begin(), name.end(), '!', '/');
    return "/dev/" + name;
}

namespace {
// Fills what every device has, disk or partition; false for one gone or empty.
bool Describe(const std::string& base, const std::string& name, const MountsByDevice& mounts, DriveInfo& drive) {
    uint64_t sectors = 0;
    if (!ReadNumber(base + "size", sectors) || sectors == 0) return false;
    drive.name = NodeName(base, name);
    drive.size_known = true;
    // sysfs counts 512-byte units whatever the logical block size.
    drive.size = sectors * 512;
    std::string device = ReadText(base + "dev");
    Udev udev = UdevRecord(device);
    auto mounted = mounts.by_device.find(device);
    if (mounted != mounts.by_device.end()) {
        drive.file_system = mounted->second.file_system;
        drive.mount = mounted->second.mount;
    } else {
        drive.file_system = udev.file_system;
    }
    drive.model = udev.label;
    return true;
}

bool Virtual(const std::string& name) {
    return Real("/sys/block/" + name).find("/devices/virtual/") != std::string::npos;
}
}  // namespace

std::vector<DriveInfo> ListDrives() {
    MountsByDevice mounts = ReadMounts();
    std::set<std::string> system_disks;
    if (!mounts.root_device.empty()) DisksUnder(Real("/sys/dev/block/" + mounts.root_device), system_disks, 0);

    std::vector<std::string> disks = Entries("/sys/block");
    std::vector<std::pair<bool, std::string>> order;
    for (const std::string& name : disks) order.emplace_back(Virtual(name), name);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? !a.first : NaturalLess(a.second, b.second);
    });

    std::vector<DriveInfo> drives;
    for (const auto& entry : order) {
        const std::string& name = entry.second;
        std::string base = "/sys/block/" + name + "/", kind = Kind(name);
        DriveInfo disk;
        if (!Describe(base, name, mounts, disk)) continue;
        std::vector<std::pair<uint64_t, std::string>> numbered;
        for (const std::string& part : Entries(base)) {
            uint64_t number = 0;
            if (ReadNumber(base + part + "/partition", number)) numbered.emplace_back(number, part);
        }
        std::sort(numbered.begin(), numbered.end());
        std::vector<DriveInfo> partitions;
        bool mounted = !disk.mount.empty();
        for (const auto& part : numbered) {
            DriveInfo partition;
            if (!Describe(base + part.second + "/", part.second, mounts, partition)) continue;
            mounted = mounted || !partition.mount.empty();
            partitions.push_back(partition);
        }
        // A RAM disk is swap or scratch space; worth an image only while a
        // file system on it is in use.
        if ((kind == "ram" || kind == "zram") && !mounted) continue;
        std::string model = Model(base, kind);
        if (!model.empty()) disk.model = model;
        disk.bus = Bus(Real(base), base, name);
        disk.removal = ReadText(base + "removable") == "1" ? DriveInfo::REMOVABLE : DriveInfo::FIXED;
        disk.system = system_disks.count(name) > 0;
        drives.push_back(disk);
        for (DriveInfo& partition : partitions) {
            partition.within = true;
            partition.bus = disk.bus;
            partition.removal = disk.removal;
            drives.push_back(partition);
        }
    }
    return drives;
}
