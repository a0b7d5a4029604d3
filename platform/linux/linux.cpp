// Linux: what the drive and the image rooms share, the handle they hold and
// the unbuffered open.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/linux.h"

// A pointer from new is aligned to more than 2, so halved it loses nothing
// and stays positive where the process owns the top half of a 32-bit
// address space: the engine takes a negative handle for none.
FileHandle HandOut(int fd, int folder, const std::string& part_name) {
    if (fd < 0) return -1;
    return static_cast<FileHandle>(reinterpret_cast<uintptr_t>(new HeldFile{fd, folder, part_name}) >> 1);
}

HeldFile& Held(FileHandle file) { return *reinterpret_cast<HeldFile*>(static_cast<uintptr_t>(file) << 1); }

// Some file systems refuse O_DIRECT with EINVAL (FUSE ones, ramfs, tmpfs
// before Linux 6.6); their files are then used through the page cache rather
// than not at all. A new file is created first and switched after: such a
// file system refuses O_CREAT | O_EXCL | O_DIRECT only once it has made the
// file, and a second try would meet it. path is relative to the folder
// descriptor folder.
int OpenUnbuffered(int folder, const std::string& path, int flags, ErrorCode& error) {
    if ((flags & O_CREAT) != 0) {
        int fd = openat(folder, path.c_str(), flags | O_CLOEXEC, 0600);
        if (fd < 0) {
            error = static_cast<ErrorCode>(errno);
            return -1;
        }
        int now = fcntl(fd, F_GETFL);
        if (now >= 0) fcntl(fd, F_SETFL, now | O_DIRECT);
        return fd;
    }
    int fd = openat(folder, path.c_str(), flags | O_DIRECT | O_CLOEXEC);
    if (fd < 0 && errno == EINVAL) fd = openat(folder, path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) error = static_cast<ErrorCode>(errno);
    return fd;
}

bool CloseFile(FileHandle file, ErrorCode& error) {
    HeldFile* held = &Held(file);
    bool closed = close(held->fd) == 0;
    if (!closed) error = static_cast<ErrorCode>(errno);
    if (held->folder >= 0) close(held->folder);
    delete held;
    return closed;
}
