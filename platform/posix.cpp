// Linux: the drive is a block device or a regular image file, named by its
// path; the device path is the drive text itself.
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "platform/platform.h"
#include "platform/posix_storage.h"

static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle), "pthread_t fits a ThreadHandle");

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

bool IsRegularFile(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

// Set once at start-up, before any other thread runs.
bool ConsoleIsGb = false;

// The interrupt's signal number, 0 until one came. Written by the signal
// handler and read by every thread: an atomic, and one without a lock, as
// a handler may not wait on a lock the thread it interrupted holds.
std::atomic<int> NotedSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the interrupt flag is safe in a signal handler");

void NoteSignal(int number) { NotedSignal.store(number); }

// "GBK", "gb18030", "GB2312" and their spellings with - or _ (glibc names
// GB2312's codeset EUC-CN as well).
bool IsGbCodeset(const char* codeset) {
    std::string name;
    for (const char* c = codeset; *c != '\0'; ++c)
        if (*c != '-' && *c != '_') name += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    return name == "GBK" || name == "GB18030" || name == "GB2312" || name == "EUCCN";
}

// OpenSSL's reason for its last failure; a failure it did not record (such
// as a context it could not allocate) reads as out of memory.
ErrorCode CryptoError() {
    unsigned long code = ERR_get_error();
    return code != 0 ? static_cast<ErrorCode>(ERR_GET_REASON(code)) : ENOMEM;
}

EVP_MD_CTX* ToContext(HashHandle hash) { return reinterpret_cast<EVP_MD_CTX*>(hash); }

struct ThreadStart {
    ThreadProc proc;
    void* argument;
};

void* RunThread(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.proc(copy.argument);
    return nullptr;
}
}  // namespace

void StartPlatform() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor is fd itself, as every lower one is open.
        open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
    signal(SIGPIPE, SIG_IGN);
    // Past a file-size limit a write or reservation then fails with EFBIG
    // and its line, rather than the signal ending the dump unreported.
    signal(SIGXFSZ, SIG_IGN);
    setlocale(LC_CTYPE, "");
    ConsoleIsGb = IsGbCodeset(nl_langinfo(CODESET));
}

std::vector<std::string> CommandLine(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string ConsoleText(const std::string& argument) { return argument; }

std::string ConsoleMessage(const char* message) {
    if (ConsoleIsGb) return message;
    // A descriptor of its own per call: the threads may speak at once, and
    // an iconv descriptor is not to be shared between them.
    iconv_t converter = iconv_open("UTF-8", "GBK");
    if (converter == reinterpret_cast<iconv_t>(-1)) return message;
    std::string in = message, out(in.size() * 2, '\0');
    char* from = &in[0];
    char* to = &out[0];
    size_t left = in.size(), room = out.size();
    bool converted = iconv(converter, &from, &left, &to, &room) != static_cast<size_t>(-1);
    iconv_close(converter);
    if (!converted) return message;
    out.resize(out.size() - room);
    return out;
}

ErrorCode EndOfDriveCode() { return EIO; }
ErrorCode InvalidParameterCode() { return EINVAL; }
ErrorCode ExistsCode() { return EEXIST; }

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
    return OpenUnbuffered(AT_FDCWD, device_path, O_RDONLY, error);
}

// Linux has no lock that keeps other writers off a device: a drive with a
// file system mounted writable on it is told as busy, since what the file
// system writes meanwhile makes an image that no moment of the drive was.
std::vector<ErrorCode> LockDrive(FileHandle drive) {
    if (MountedWritable(static_cast<int>(drive))) return {EBUSY};
    return {};
}

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

// The partial image being written: the folder it was created in and its
// name there, so that it is named in that folder, and only while the name
// is still the file written.
int ImageFolder = -1;
std::string ImagePartName;

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
    if (IsConsole(status) || isatty(fd) || OpenedSharesStorage(static_cast<int>(drive), fd))
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

// The new file beside path: created in the folder as opened, after the
// storage check on that folder, so that no name looked up earlier decides
// where the bytes go. O_EXCL with O_NOFOLLOW creates a new file or fails:
// whatever stands at the partial name (the partial file of an earlier or a
// running dump, a link) is neither followed nor removed, and the dump is
// refused with EEXIST.
int CreatePartialImage(FileHandle drive, const std::string& path, uint64_t total, uint64_t beside,
                       ErrorCode& error) {
    std::string name = path.substr(FileNameStart(path));
    if (path.empty()) return Refuse(-1, ENOENT, error);
    if (name.empty() || name == "." || name == "..") return Refuse(-1, EISDIR, error);
    name += PARTIAL_SUFFIX;
    int folder = open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return Refuse(-1, errno, error);
    if (OpenedSharesStorage(static_cast<int>(drive), folder)) return Refuse(folder, EINVAL, error);
    // 0600: a raw image holds everything on the drive, deleted files and
    // other users' data included.
    int fd = OpenUnbuffered(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, error);
    if (fd < 0) return Refuse(folder, static_cast<int>(error), error);
    if (!Reserve(fd, total, beside, error)) {
        close(fd);
        // Whatever part of the reservation was made goes with the file.
        unlinkat(folder, name.c_str(), 0);
        close(folder);
        return -1;
    }
    if (ImageFolder >= 0) close(ImageFolder);
    ImageFolder = folder;
    ImagePartName = name;
    return fd;
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
            if (fd != -2) return fd;
        }
    }
    partial = true;
    return CreatePartialImage(drive, path, total, beside, error);
}

bool ImageInPlace(FileHandle image, const std::string& path, ErrorCode& error) {
    struct stat written {}, named {}, folder {}, folder_named {};
    if (fstat(static_cast<int>(image), &written) != 0 ||
        fstatat(ImageFolder, ImagePartName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        fstat(ImageFolder, &folder) != 0 || stat(Folder(path).c_str(), &folder_named) != 0) {
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
    return Reserve(static_cast<int>(image), total, beside, error);
}

bool NameImage(FileHandle image, const std::string& path, bool& named, ErrorCode& error) {
    int fd = static_cast<int>(image);
    std::string name = path.substr(FileNameStart(path));
    bool in_place = ImageInPlace(image, path, error);
    named = in_place && renameat(ImageFolder, ImagePartName.c_str(), ImageFolder, name.c_str()) == 0;
    if (in_place && !named) error = static_cast<ErrorCode>(errno);
    bool flushed = named && fsync(ImageFolder) == 0;
    if (named && !flushed) error = static_cast<ErrorCode>(errno);
    close(fd);
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

size_t DriveReadUnit() { return IO_ALIGN; }

size_t DriveSectorSize(FileHandle drive) {
    int fd = static_cast<int>(drive);
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
    if (lseek(static_cast<int>(drive), static_cast<off_t>(offset), SEEK_SET) >= 0) return true;
    error = static_cast<ErrorCode>(errno);
    return false;
}

int64_t ReadDrive(FileHandle drive, void* buffer, size_t length, ErrorCode& error) {
    ssize_t got;
    do {
        got = read(static_cast<int>(drive), buffer, length);
    } while (got < 0 && errno == EINTR && !Interrupted());
    if (got < 0) {
        error = static_cast<ErrorCode>(errno);
        return -1;
    }
    return got;
}

int64_t WriteImage(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    ssize_t put;
    do {
        put = write(static_cast<int>(image), buffer, length);
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
    int fd = static_cast<int>(image);
    off_t written = lseek(fd, 0, SEEK_CUR);
    if (written >= 0 && IsRegularFile(fd)) {
        int ignored = ftruncate(fd, written);
        (void)ignored;
    }
}

int64_t WriteImageTail(FileHandle image, const void* buffer, size_t length, ErrorCode& error) {
    int fd = static_cast<int>(image);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_DIRECT) != 0 && fcntl(fd, F_SETFL, flags & ~O_DIRECT) != 0)) {
        error = static_cast<ErrorCode>(errno);
        return -1;
    }
    return WriteImage(image, buffer, length, error);
}

bool ImageRewritable(FileHandle image) {
    int fd = static_cast<int>(image);
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
    int fd = static_cast<int>(image);
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
    int fd = static_cast<int>(image);
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
    int fd = static_cast<int>(image);
    TrimImage(image);
    if (fsync(fd) == 0) return true;
    // A character device such as /dev/null has nothing to synchronize.
    if (errno == EINVAL && !IsRegularFile(fd)) return true;
    error = static_cast<ErrorCode>(errno);
    return false;
}

bool CloseFile(FileHandle file, ErrorCode& error) {
    if (close(static_cast<int>(file)) != 0) {
        error = static_cast<ErrorCode>(errno);
        return false;
    }
    return true;
}

bool StartHash(HashHandle& hash, ErrorCode& error) {
    // EVP picks the CPU's SHA instructions where there are any.
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        error = CryptoError();
        EVP_MD_CTX_free(context);
        return false;
    }
    hash = reinterpret_cast<HashHandle>(context);
    return true;
}

bool HashBytes(HashHandle hash, const void* data, size_t length, ErrorCode& error) {
    if (EVP_DigestUpdate(ToContext(hash), data, length) == 1) return true;
    error = CryptoError();
    return false;
}

bool FinishHash(HashHandle hash, uint8_t (&digest)[DIGEST_BYTES], ErrorCode& error) {
    unsigned int length = 0;
    bool done = EVP_DigestFinal_ex(ToContext(hash), digest, &length) == 1 && length == DIGEST_BYTES;
    if (!done) error = CryptoError();
    EVP_MD_CTX_free(ToContext(hash));
    return done;
}

void DropHash(HashHandle hash) { EVP_MD_CTX_free(ToContext(hash)); }

size_t FileNameStart(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
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

void* ObtainBuffer(size_t length, ErrorCode& error) {
    void* buffer = nullptr;
    int failure = posix_memalign(&buffer, IO_ALIGN, length);
    if (failure != 0) {
        error = static_cast<ErrorCode>(failure);
        return nullptr;
    }
    return buffer;
}

void ReleaseBuffer(void* buffer, size_t /*length*/) { free(buffer); }

bool StartThread(ThreadProc proc, void* argument, ThreadHandle& thread, ErrorCode& error) {
    auto* start = new ThreadStart{proc, argument};
    pthread_t id;
    int failure = pthread_create(&id, nullptr, RunThread, start);
    if (failure != 0) {
        delete start;
        error = static_cast<ErrorCode>(failure);
        return false;
    }
    thread = static_cast<ThreadHandle>(id);
    return true;
}

void WaitThread(ThreadHandle thread) {
    auto id = static_cast<pthread_t>(thread);
    for (;;) {
        timespec deadline {};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += 250000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000;
        }
        if (pthread_timedjoin_np(id, nullptr, &deadline) != ETIMEDOUT) return;
        // The thread has not been joined, so it is there to be signalled;
        // the signal cuts short what it is blocked in (EINTR).
        if (Interrupted()) pthread_kill(id, NotedSignal.load());
    }
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

void WriteStdout(const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

namespace {
bool TitleShown = false;
}

bool StartTitle() {
    const char* term = getenv("TERM");
    if (!isatty(STDOUT_FILENO) || term == nullptr || std::string(term) == "dumb") return false;
    // xterm's window operations: push the title on its stack.
    WriteStdout("\033[22;0t");
    TitleShown = true;
    return true;
}

void ShowTitle(const std::string& text) {
    if (!TitleShown) return;
    // A control character in a drive's name would end the sequence early or
    // start another: C0 and DEL bytes, and C1 ones in their UTF-8 form.
    std::string plain;
    for (size_t at = 0; at < text.size(); ++at) {
        auto byte = static_cast<unsigned char>(text[at]);
        auto next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0;
        if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
            plain += '?';
            ++at;
        } else {
            plain += byte < 0x20 || byte == 0x7f ? '?' : text[at];
        }
    }
    WriteStdout("\033]0;" + plain + "\007");
}

void EndTitle() {
    if (TitleShown) WriteStdout("\033[23;0t");
    TitleShown = false;
}

void WatchInterrupts() {
    // No SA_RESTART: a read, write or open that the signal cuts short
    // returns EINTR, and the dump stops there rather than after it.
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

bool Interrupted() { return NotedSignal.load() != 0; }

void EndAsInterrupted() {
    int number = NotedSignal.load();
    signal(number, SIG_DFL);
    raise(number);
    _exit(128 + number);
}

void Pause() {
    struct termios saved {};
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) return;
    WriteStdout("Press any key to continue . . . ");
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    char key = 0;
    ssize_t ignored = read(STDIN_FILENO, &key, 1);
    (void)ignored;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    WriteStdout("\n");
}
