// Linux, inside the platform: the storage check on descriptors already open.
#pragma once

#include <string>

// True when writing through opened (a device, a file, or a folder that a
// file is to be created in) could change what drive reads: see
// posix_storage.cpp.
bool OpenedSharesStorage(int drive, int opened);

// The folder a path's last component lies in: "." for a bare name.
std::string Folder(const std::string& path);

// True when a file system is mounted writable on what fd opened (a block
// device, or a file), on a partition of it, on a device stacked on either
// (device mapper, md, a loop device over the device), or, for a file, on a
// loop device over it: it may change while it is read.
bool MountedWritable(int fd);

// A loop device opened as the image: true when another loop device over the
// same backing file or device is mounted or held, which the exclusive open
// of this one does not see.
bool LoopBackingInUse(int fd);
