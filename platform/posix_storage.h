// Linux, inside the platform: the storage check on descriptors already open.
#pragma once

#include <string>

// True when writing through opened (a device, a file, or a folder that a
// file is to be created in) could change what drive reads: see
// posix_storage.cpp.
bool OpenedSharesStorage(int drive, int opened);

// The folder a path's last component lies in: "." for a bare name.
std::string Folder(const std::string& path);

// A loop device opened as the image: true when another loop device over the
// same backing file or device is mounted or held, which the exclusive open
// of this one does not see.
bool LoopBackingInUse(int fd);
