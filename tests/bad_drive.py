#!/usr/bin/python3
"""A drive file with unreadable ranges, served through FUSE.

Usage: bad_drive.py MOUNTPOINT BACKING HEALED FROM:TO...
MOUNTPOINT/drive.img reads as BACKING, but any read that touches one of the
byte ranges [FROM, TO) fails with EIO, as a failing disk's sectors do, until
the file HEALED exists: then every range reads again.
"""
import errno
import os
import stat
import sys

from fusepy import FUSE, FuseOSError, Operations


class BadDrive(Operations):
    def __init__(self, backing, healed, ranges):
        self.fd = os.open(backing, os.O_RDONLY)
        self.size = os.fstat(self.fd).st_size
        self.healed = healed
        self.ranges = ranges

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        if path == "/drive.img":
            return {"st_mode": stat.S_IFREG | 0o444, "st_nlink": 1, "st_size": self.size}
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", "drive.img"]

    def open(self, path, flags):
        return 0

    def read(self, path, size, offset, fh):
        if not os.path.exists(self.healed):
            for start, end in self.ranges:
                if offset < end and offset + size > start:
                    raise FuseOSError(errno.EIO)
        return os.pread(self.fd, size, offset)


if __name__ == "__main__":
    mountpoint, backing, healed = sys.argv[1:4]
    ranges = [tuple(int(n) for n in r.split(":")) for r in sys.argv[4:]]
    # direct_io: every read reaches read() as asked, with no page cache or
    # read-ahead to spread a bad range's error over good reads.
    FUSE(BadDrive(backing, healed, ranges), mountpoint, foreground=True, ro=True, direct_io=True)
