#!/usr/bin/python3
"""A drive file with unreadable ranges, served through FUSE.

Usage: bad_drive.py [--fail-delay SECONDS] MOUNTPOINT BACKING HEALED FROM:TO...
MOUNTPOINT/drive.img reads as BACKING, but any read that touches one of the
byte ranges [FROM, TO) fails with EIO, as a failing disk's sectors do, until
the file HEALED exists: then every range reads again.

--fail-delay SECONDS: each failed read answers only after that long, during
which the drive serves no other read, as a failing disk does while it retries
a sector (0.1 to several seconds each). Without it a failed read answers at
once.
"""
import errno
import os
import stat
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations


class BadDrive(Operations):
    def __init__(self, backing, healed, ranges, fail_delay):
        self.fd = os.open(backing, os.O_RDONLY)
        self.size = os.fstat(self.fd).st_size
        self.healed = healed
        self.ranges = ranges
        self.fail_delay = fail_delay
        # FUSE calls read() from several threads; a disk busy retrying one
        # sector answers nothing else meanwhile, so a reader that sends
        # reads side by side gains nothing from a slow failure.
        self.busy = threading.Lock()

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
                    if self.fail_delay > 0:
                        with self.busy:
                            time.sleep(self.fail_delay)
                    raise FuseOSError(errno.EIO)
        if self.fail_delay > 0:
            with self.busy:
                return os.pread(self.fd, size, offset)
        return os.pread(self.fd, size, offset)


def main(args):
    fail_delay = 0.0
    if "--fail-delay" in args:
        at = args.index("--fail-delay")
        if at + 1 >= len(args):
            sys.exit("bad_drive.py: --fail-delay needs SECONDS")
        fail_delay = float(args[at + 1])
        if not fail_delay >= 0:
            sys.exit("bad_drive.py: --fail-delay takes seconds, 0 or more")
        del args[at:at + 2]
    if len(args) < 3:
        sys.exit(__doc__)
    mountpoint, backing, healed = args[:3]
    ranges = [tuple(int(n) for n in r.split(":")) for r in args[3:]]
    # direct_io: every read reaches read() as asked, with no page cache or
    # read-ahead to spread a bad range's error over good reads.
    FUSE(BadDrive(backing, healed, ranges, fail_delay), mountpoint, foreground=True, ro=True, direct_io=True)


if __name__ == "__main__":
    main(sys.argv[1:])
