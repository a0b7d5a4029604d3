// Linux, inside the platform: what its rooms (drive, image, storage,
// console, hash, process, text, list) hand one another.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

// A drive or image as the platform holds it; a FileHandle points to one
// (HandOut), so that what an image was made as travels with its handle
// rather than in a variable every room could reach.
struct HeldFile {
    int fd = -1;
    // The partial image being written: the folder it was created in and its
    // name there, so that it is named in that folder, and only while the
    // name is still the file written. -1 and empty for a drive or a device.
    int folder = -1;
    std::string part_name;
};

// The handle of fd, which then belongs to it (and folder too, for a
// partial image); -1 for a descriptor that failed to open.
FileHandle HandOut(int fd, int folder = -1, const std::string& part_name = "");
HeldFile& Held(FileHandle file);
inline int DescriptorOf(FileHandle file) { return Held(file).fd; }

// Opens path, relative to the folder descriptor folder, without the page
// cache where the file system allows it: see linux.cpp.
int OpenUnbuffered(int folder, const std::string& path, int flags, ErrorCode& error);

// True when writing through opened (a device, a file, or a folder that a
// file is to be created in) could change what drive reads: see
// storage.cpp.
bool OpenedSharesStorage(int drive, int opened);

// The folder a path's last component lies in: "." for a bare name.
std::string Folder(const std::string& path);

// True when a file system is mounted writable on what fd opened (a block
// device, or a file), on a partition of it, on a device stacked on either
// (device mapper, md, a loop device over the device), or, for a file, on a
// loop device over it: it may change while it is read.
bool MountedWritable(int fd);

// A mount, as /proc/self/mountinfo lists it, its paths unescaped: the
// device number it reports ("major:minor"), the folder of the file system
// mounted, where, its mount's options, its type, its source and the file
// system's options.
struct MountEntry {
    std::string number, root, point, mount_options, type, source, options;
};

// This process's mount table, in its order.
std::vector<MountEntry> MountTable();

// A loop device opened as the image: true when another loop device over the
// same backing file or device is mounted or held, which the exclusive open
// of this one does not see.
bool LoopBackingInUse(int fd);

// What sysfs and udev tell of block devices: see list.cpp.
// At most limit bytes from the start of the regular file at path (a sysfs
// attribute, udev's record); empty where there is none.
std::string SmallFile(const std::string& path, size_t limit);
// text on one line: its control characters dropped, and the blanks that
// pad a SCSI field trimmed from both ends.
std::string Printable(const std::string& text);
// The /dev node of the block device whose sysfs folder is base (ending in
// "/"), named name there.
std::string NodeName(const std::string& base, std::string name);
// The disk's vendor and model, or an SD card's name, from its sysfs folder
// base; empty for a device with no hardware behind it (loop, device-mapper).
std::string DiskModel(const std::string& base);
// The properties (E: lines) of udev's record of the block device numbered
// device ("major:minor"); none where udev keeps no record.
std::map<std::string, std::string> UdevProperties(const std::string& device);

// message, held as GBK bytes, as UTF-8; message itself where it cannot be
// converted.
std::string Utf8OfGbk(const char* message);

// Picks the console's encoding from the locale; once, at start-up.
void StartConsole();

// The signal of the interrupt noted, 0 until one came.
int NotedSignalNumber();
