#!/usr/bin/python3
"""A folder served through FUSE whose files read back other than written.

Usage: bad_target.py MOUNTPOINT BACKING OFFSET [flip|fail]
MOUNTPOINT shows the folder BACKING: files are made, written, renamed and
removed there as in BACKING itself, and BACKING keeps every byte as it was
written. But a read that touches byte OFFSET of a file returns that byte
changed (flip, the default), as a stick that claims more room than it has
or a failing disk returns other bytes than it was given, or fails with EIO
(fail). Only reads of that byte: a file shorter than OFFSET reads as it is.
"""
import errno
import os
import sys

from fusepy import FUSE, FuseOSError, Operations


class BadTarget(Operations):
    def __init__(self, backing, offset, mode):
        self.backing = os.path.realpath(backing)
        self.offset = offset
        self.mode = mode

    def __call__(self, op, path, *args):
        return super().__call__(op, self.backing + path, *args)

    def getattr(self, path, fh=None):
        try:
            status = os.fstat(fh) if fh is not None else os.lstat(path)
        except OSError as error:
            raise FuseOSError(error.errno)
        return {key: getattr(status, key) for key in
                ("st_atime", "st_ctime", "st_mtime", "st_gid", "st_uid", "st_mode", "st_nlink", "st_size")}

    def statfs(self, path):
        space = os.statvfs(path)
        return {key: getattr(space, key) for key in
                ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files", "f_flag",
                 "f_frsize", "f_namemax")}

    # The backing folder's file system may refuse O_DIRECT; the reads that
    # matter come here whatever the kernel caches.
    def create(self, path, mode, fi=None):
        return self.call(os.open, path, os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)

    def open(self, path, flags):
        return self.call(os.open, path, flags & ~(os.O_DIRECT | os.O_CREAT | os.O_EXCL | os.O_TRUNC))

    # Positioned: the kernel sends transfers from several threads at once.
    def read(self, path, size, offset, fh):
        data = bytearray(self.call(os.pread, fh, size, offset))
        if offset <= self.offset < offset + len(data):
            if self.mode == "fail":
                raise FuseOSError(errno.EIO)
            data[self.offset - offset] ^= 0xFF
        return bytes(data)

    def write(self, path, data, offset, fh):
        return self.call(os.pwrite, fh, data, offset)

    def truncate(self, path, length, fh=None):
        if fh is not None:
            self.call(os.ftruncate, fh, length)
        else:
            self.call(os.truncate, path, length)

    def fsync(self, path, datasync, fh):
        self.call(os.fsync, fh)

    def flush(self, path, fh):
        return 0

    def release(self, path, fh):
        self.call(os.close, fh)

    def fsyncdir(self, path, datasync, fh):
        return 0

    def rename(self, old, new):
        self.call(os.rename, old, self.backing + new)

    def unlink(self, path):
        self.call(os.unlink, path)

    @staticmethod
    def call(function, *args):
        try:
            return function(*args)
        except OSError as error:
            raise FuseOSError(error.errno)


def main(args):
    if len(args) not in (3, 4) or (len(args) == 4 and args[3] not in ("flip", "fail")):
        sys.exit(__doc__)
    mountpoint, backing, offset = args[0], args[1], int(args[2])
    FUSE(BadTarget(backing, offset, args[3] if len(args) == 4 else "flip"), mountpoint, foreground=True)


if __name__ == "__main__":
    main(sys.argv[1:])
