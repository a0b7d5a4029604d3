// Linux: the image, a new file made beside its name and renamed over it
// once complete, or a device, FIFO or null device standing at its name;
// and the small files written beside it.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/linux.h"

namespace {
bool IsRegularFile(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}
}  // namespace

ErrorCode ExistsCode() { return EEXIST; }

std::string ImageFilePath(const std::string& path) { return path; }

bool Replaceable(const std::string& path, ErrorCode& error) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return true;
    error = EISDIR;
    return false;
}

namespace {
// An image that is one of the standard streams (/dev/stdout, /dev/stderr)
// would take the marks and lines into its bytes, or rename a file over the
// system's link; /dev/null may be all of them.
bool IsConsole(const struct stat& status) {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        struct stat console {};
        if (fstat(fd, &console) == 0 && status.st_dev == console.st_dev && status.st_ino == console.st_ino &&
            !S_ISCHR(status.st_mode))
            return true;
    }
    return false;
}

int Refuse(int fd, int code, ErrorCode& error) {
    error = static_cast<ErrorCode>(code);
    if (fd >= 0) close(fd);
    return -1;
}

// A device, FIFO or character device standing at path, opened as it is.
// O_EXCL claims a block device for this process alone: one that is mounted,
// or held by another program that claimed it, fails with EBUSY. FIFOs and
// character devices ignore it. A FIFO refuses O_DIRECT only once its open
// has met the reader, and that refused open ends the reader's stream, so
// only a block device is switched to it, after the open. -2: what stands
// there now is a file after all (swapped in since the look), to be made
// anew like any other.
int OpenDeviceImage(FileHandle drive, const std::string& path, uint64_t total, ErrorCode& error) {
    // A disk is also read back after a rescue; a FIFO opened for reading
    // too would not wait for its reader, so only what looks like a disk is.
    struct stat seen {};
    int access = stat(path.c_str(), &seen) == 0 && S_ISBLK(seen.st_mode) ? O_RDWR : O_WRONLY;
    int fd = open(path.c_str(), access | O_EXCL | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Refuse(-1, errno, error);
    struct stat status {};
    if (fstat(fd, &status) != 0) return Refuse(fd, errno, error);
    if (S_ISREG(status.st_mode)) {
        close(fd);
        return -2;
    }
    // A terminal would show the drive's bytes among the lines, and could
    // act on them.
    if (IsConsole(status) || isatty(fd) || OpenedSharesStorage(DescriptorOf(drive), fd))
        return Refuse(fd, EINVAL, error);
    if (!S_ISBLK(status.st_mode)) return fd;
    // O_EXCL sees only this device; another loop device over the same
    // file may be the one that is mounted.
    if (LoopBackingInUse(fd)) return Refuse(fd, EBUSY, error);
    uint64_t size = 0;
    if (ioctl(fd, BLKGETSIZE64, &size) != 0) return Refuse(fd, errno, error);
    if (size < total) return Refuse(fd, ENOSPC, error);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) return Refuse(fd, errno, error);
    return fd;
}

// Room for total bytes of image and beside bytes of another file in its
// folder, in the file system's blocks. FALLOC_FL_KEEP_SIZE reserves
// without lengthening the file, so a partial file never looks complete;
// where the file system cannot reserve (FUSE, NFS), its free space is asked
// instead. A file-size limit is not checked by a reservation that keeps
// the size, so it is checked here.
bool Reserve(int fd, uint64_t total, uint64_t beside, ErrorCode& error) {
    struct statvfs space {};
    if (fstatvfs(fd, &space) != 0) {
        error = static_cast<ErrorCode>(errno);
        return false;
    }
    uint64_t block = space.f_frsize != 0 ? space.f_frsize : IO_ALIGN;
    uint64_t needed = (total + block - 1) / block * block + (beside + block - 1) / block * block;
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && total > limit.rlim_cur) {
        error = EFBIG;
        return false;
    }
    if (needed == 0 || fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(needed)) == 0) return true;
    if (errno != EOPNOTSUPP) {
        error = static_cast<ErrorCode>(errno);
        return false;
    }
    // A file system that counts no blocks at all (ramfs) tells nothing of
    // its room.
    if (space.f_blocks == 0 || static_cast<uint64_t>(space.f_bavail) * block >= needed) return true;
    error = ENOSPC;
    return false;
}

// The partial file held for this dump alone: another dump that would go on
// with it (OpenPartialImage) is refused as busy until this one closes it.
bool Hold(int fd, ErrorCode& error) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    error = errno == EWOULDBLOCK ? EBUSY : static_cast<ErrorCode>(errno);
    return false;
}

// The new file beside path: created in the folder as opened, after the
// storage check on that folder, so that no name looked up earlier decides
// where the bytes go. O_EXCL with O_NOFOLLOW creates a new file or fails:
// whatever stands at the partial name (the partial file of an earlier or a
// running dump, a link) is neither followed nor removed, and the dump is
// refused with EEXIST.
FileHandle CreatePartialImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                       ErrorCode& error) {
    std::string name = path.substr(FileNameStart(path));
    if (path.empty()) return Refuse(-1, ENOENT, error);
    if (name.empty() || name == "." || name == "..") return Refuse(-1, EISDIR, error);
    name += PARTIAL_SUFFIX;
    int folder = open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return Refuse(-1, errno, error);
    if (OpenedSharesStorage(DescriptorOf(drive), folder)) return Refuse(folder, EINVAL, error);
    // 0600: a raw image holds everything on the drive, deleted files and
    // other users' data included.
    int fd = OpenUnbuffered(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, error);
    if (fd < 0) return Refuse(folder, static_cast<int>(error), error);
    if (!Hold(fd, error) || !Reserve(fd, total, beside, error)) {
        close(fd);
        // Whatever part of the reservation was made goes with the file.
        unlinkat(folder, name.c_str(), 0);
        close(folder);
        return -1;
    }
    return HandOut(fd, folder, name);
}
}  // namespace

FileHandle CreateImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                       bool& partial, ErrorCode& error) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        if (IsConsole(status)) return Refuse(-1, EINVAL, error);
        if (S_ISDIR(status.st_mode)) return Refuse(-1, EISDIR, error);
        if (!S_ISREG(status.st_mode)) {
            int fd = OpenDeviceImage(drive, path, total, error);
            partial = false;
            if (fd != -2) return HandOut(fd);
        }
    }
    partial = true;
    return CreatePartialImage(drive, path, total, beside, error);
}

FileHandle OpenPartialImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                            uint64_t& size, ErrorCode& error) {
    std::string name = path.substr(FileNameStart(path));
    if (name.empty() || name == "." || name == "..") return Refuse(-1, EISDIR, error);
    name += PARTIAL_SUFFIX;
    int folder = open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return Refuse(-1, errno, error);
    if (OpenedSharesStorage(DescriptorOf(drive), folder)) return Refuse(folder, EINVAL, error);
    // O_NONBLOCK: a FIFO or device put at the name is opened without
    // waiting on it, then refused; O_NOFOLLOW: a link is never followed.
    int fd = OpenUnbuffered(folder, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, error);
    if (fd < 0) return Refuse(folder, static_cast<int>(error), error);
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        error = static_cast<ErrorCode>(errno);
    } else if (!S_ISREG(status.st_mode)) {
        error = EINVAL;
    } else if (!Hold(fd, error) || !Reserve(fd, total, beside, error)) {
    } else if (lseek(fd, 0, SEEK_END) < 0) {
        // At its end: the file is cut back to where the writes stand
        // (TrimImage), which must never be short of what it holds.
        error = static_cast<ErrorCode>(errno);
    } else {
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        size = static_cast<uint64_t>(status.st_size);
        return HandOut(fd, folder, name);
    }
    close(fd);
    close(folder);
    return -1;
}

bool SeekImage(FileHandle image, uint64_t offset, ErrorCode& error) {
    int fd = DescriptorOf(image);
    struct stat status {};
    if (fstat(fd, &status) != 0 ||
        (static_cast<uint64_t>(status.st_size) < offset && ftruncate(fd, static_cast<off_t>(offset)) != 0) ||
        lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        error = static_cast<ErrorCode>(errno);
        return false;
    }
    return true;
}

bool ImageInPlace(FileHandle image, const std::string& path, ErrorCode& error) {
    const HeldFile& held = Held(image);
    struct stat written {}, named {}, folder {}, folder_named {};
    if (fstat(held.fd, &written) != 0 ||
        fstatat(held.folder, held.part_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        fstat(held.folder, &folder) != 0 || stat(Folder(path).c_str(), &folder_named) != 0) {
        error = static_cast<ErrorCode>(errno);
        return false;
    }
    // Another program put its own file at the partial name, or another
    // folder at the folder's.
    if (written.st_dev != named.st_dev || written.st_ino != named.st_ino || folder.st_dev != folder_named.st_dev ||
        folder.st_ino != folder_named.st_ino) {
        error = ESTALE;
        return false;
    }
    return true;
}

bool ReserveImage(FileHandle image, uint64_t total, uint64_t beside, ErrorCode& error) {
    return Reserve(DescriptorOf(image), total, beside, error);
}

bool NameImage(FileHandle image, const std::string& path, bool& named, ErrorCode& error) {
    const HeldFile& held = Held(image);
    std::string name = path.substr(FileNameStart(path));
    bool in_place = ImageInPlace(image, path, error);
    named = in_place && renameat(held.folder, held.part_name.c_str(), held.folder, name.c_str()) == 0;
    if (in_place && !named) error = static_cast<ErrorCode>(errno);
    bool flushed = named && fsync(held.folder) == 0;
    if (named && !flushed) error = static_cast<ErrorCode>(errno);
    ErrorCode ignored = 0;
    CloseFile(image, ignored);
    return flushed;
}

bool RenameFile(const std::string& from, const std::string& to, ErrorCode& error) {
    if (rename(from.c_str(), to.c_str()) != 0) {
        error = static_cast<ErrorCode>(errno);
        return false;
    }
    // The rename is only durable once the folder that records it is.
    int folder = open(Folder(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool flushed = folder >= 0 && fsync(folder) == 0;
    if (!flushed) error = static_cast<ErrorCode>(errno);
    if (folder >= 0) close(folder);
    return flushed;
}
int64_t WriteImage(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    ssize_t put;
    do {
        put = write(DescriptorOf(image), buffer, length);
    } while (put < 0 && errno == EINTR && !Interrupted());
    if (put < 0) {
        error = static_cast<ErrorCode>(errno);
        return -1;
    }
    if (put == 0 && length > 0) {
        error = ENOSPC;
        return -1;
    }
    return put;
}

// An ftruncate to the size the file already has still gives back the
// blocks reserved past it.
void TrimImage(FileHandle image) {
    int fd = DescriptorOf(image);
    off_t written = lseek(fd, 0, SEEK_CUR);
    if (written >= 0 && IsRegularFile(fd)) {
        int ignored = ftruncate(fd, written);
        (void)ignored;
    }
}

int64_t WriteImageTail(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    int fd = DescriptorOf(image);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_DIRECT) != 0 && fcntl(fd, F_SETFL, flags & ~O_DIRECT) != 0)) {
        error = static_cast<ErrorCode>(errno);
        return -1;
    }
    return WriteImage(image, buffer, length, error);
}

bool ImageRewritable(FileHandle image) {
    int fd = DescriptorOf(image);
    struct stat status {};
    int flags = fcntl(fd, F_GETFL);
    return fstat(fd, &status) == 0 && (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) && flags >= 0 &&
           (flags & O_ACCMODE) == O_RDWR;
}

namespace {
// Where the file system takes it (see OpenUnbuffered): a failure leaves
// the descriptor as it was, and a transfer the rule then refuses says so.
void SetDirect(int fd, bool direct) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && ((flags & O_DIRECT) != 0) != direct) fcntl(fd, F_SETFL, direct ? flags | O_DIRECT : flags & ~O_DIRECT);
}
}  // namespace

bool WriteImageAt(FileHandle image, uint64_t offset, const void* buffer, size_t length, ErrorCode& error) {
    int fd = DescriptorOf(image);
    size_t blocks = length / IO_ALIGN * IO_ALIGN;
    const char* data = static_cast<const char*>(buffer);
    // Whole blocks go without the cache, whose pages of the file are
    // written back and dropped first; the tail's piece through it.
    SetDirect(fd, blocks > 0);
    for (size_t done = 0; done < length;) {
        if (done == blocks && blocks > 0) SetDirect(fd, false);
        size_t piece = done < blocks ? blocks - done : length - done;
        ssize_t put = pwrite(fd, data + done, piece, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR && !Interrupted()) continue;
        if (put <= 0) {
            error = put < 0 ? static_cast<ErrorCode>(errno) : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

int64_t ReadImageAt(FileHandle image, uint64_t offset, void* buffer, size_t length, ErrorCode& error) {
    int fd = DescriptorOf(image);
    SetDirect(fd, true);
    ssize_t got;
    do {
        got = pread(fd, buffer, length, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR && !Interrupted());
    if (got < 0) {
        error = static_cast<ErrorCode>(errno);
        return -1;
    }
    return got;
}

bool FlushImage(FileHandle image, ErrorCode& error) {
    int fd = DescriptorOf(image);
    TrimImage(image);
    if (fsync(fd) == 0) return true;
    // A character device such as /dev/null has nothing to synchronize.
    if (errno == EINVAL && !IsRegularFile(fd)) return true;
    error = static_cast<ErrorCode>(errno);
    return false;
}

// fdatasync also writes the size, which the data needs to be read back,
// and leaves the blocks reserved past it (FALLOC_FL_KEEP_SIZE) as they are.
bool SyncImage(FileHandle image, ErrorCode& error) {
    if (fdatasync(DescriptorOf(image)) == 0) return true;
    error = static_cast<ErrorCode>(errno);
    return false;
}

bool NoSuchFile(ErrorCode code) { return code == ENOENT; }

bool ReadFileStart(const std::string& path, size_t limit, std::string& bytes, bool& found, ErrorCode& error) {
    // O_NONBLOCK: a FIFO put at the name opens without waiting for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    found = fd >= 0 || (errno != ENOENT && errno != ENOTDIR);
    if (fd < 0) {
        error = static_cast<ErrorCode>(errno);
        // A link to nothing is something at the name all the same.
        struct stat link {};
        if (!found && lstat(path.c_str(), &link) == 0) {
            found = true;
            error = EEXIST;
        }
        return !found;
    }
    bool regular = IsRegularFile(fd);
    bytes.assign(regular ? limit : 0, '\0');
    ssize_t got = regular ? read(fd, &bytes[0], limit) : -1;
    if (!regular || got < 0) error = regular ? static_cast<ErrorCode>(errno) : EEXIST;
    close(fd);
    if (got < 0) return false;
    bytes.resize(static_cast<size_t>(got));
    return true;
}

bool RemoveFile(const std::string& path, ErrorCode& error) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    error = static_cast<ErrorCode>(errno);
    return false;
}

bool WriteSmallFile(const std::string& path, const std::string& bytes, ErrorCode& error) {
    // O_EXCL: whatever stands at path now was put there during the dump (a
    // link to another file, a FIFO) and is neither followed nor replaced.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = static_cast<ErrorCode>(errno);
        return false;
    }
    // A short write is asked again only to learn its cause (ENOSPC, EFBIG).
    size_t done = 0;
    ssize_t put = 0;
    while (done < bytes.size() && (put = write(fd, bytes.data() + done, bytes.size() - done)) > 0)
        done += static_cast<size_t>(put);
    // An empty file has nothing to bring to stable storage (a name tried
    // before the copy), and its flush costs a synchronous metadata write.
    bool written = done == bytes.size() && (bytes.empty() || fsync(fd) == 0);
    if (!written) error = put == 0 ? ENOSPC : static_cast<ErrorCode>(errno);
    if (close(fd) != 0 && written) {
        error = static_cast<ErrorCode>(errno);
        written = false;
    }
    // Half a fingerprint vouches for nothing.
    if (!written) unlink(path.c_str());
    return written;
}
