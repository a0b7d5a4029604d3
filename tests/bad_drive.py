#!/usr/bin/python3
"""A drive file with unreadable ranges, served through FUSE.

Usage: bad_drive.py [--fail-delay SECONDS] MOUNTPOINT BACKING HEALED FROM:TO...
MOUNTPOINT/drive.img reads as BACKING, but any read that touches one of the
byte ranges [FROM, TO) fails with EIO, as a failing disk's sectors do, until
the file HEALED exists: then every range reads again.

--fail-delay SECONDS (or BAD_DRIVE_DELAY=SECONDS in the environment): each
failed read answers only after that long, during which the drive serves no
other read, as a failing disk does while it retries a sector (0.1 to several
seconds each). Without it a failed read answers at once.

From the environment, each optional:
  BAD_DRIVE_HOLD=OFFSET    a read that touches byte OFFSET is never answered,
                           as by a drive that stops answering (until the
                           server is killed)
  BAD_DRIVE_LOG=FILE       each failed or held read adds the line
                           "OFFSET SIZE failed" or "OFFSET SIZE held" to FILE
                           as it starts, so that a test can tell where its
                           reader is without timing it
"""
import errno
import os
import stat
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations


class BadDrive(Operations):
    def __init__(self, backing, healed, ranges, fail_delay=0.0, hold=None, log=None):
        self.fd = os.open(backing, os.O_RDONLY)
        self.size = os.fstat(self.fd).st_size
        self.healed = healed
        self.ranges = ranges
        self.fail_delay = fail_delay
        self.hold = hold
        # FUSE calls read() from several threads; a disk busy retrying one
        # sector answers nothing else meanwhile, so a reader that sends
        # reads side by side gains nothing from a slow failure.
        self.busy = threading.Lock()
        # One write per line on an appending descriptor: lines from the
        # server's threads never interleave.
        self.log = os.open(log, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644) if log else None

    def note(self, offset, size, what):
        if self.log is not None:
            os.write(self.log, b"%d %d %s\n" % (offset, size, what))

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
        if self.hold is not None and offset <= self.hold < offset + size:
            self.note(offset, size, b"held")
            threading.Event().wait()
        if not os.path.exists(self.healed):
            for start, end in self.ranges:
                if offset < end and offset + size > start:
                    self.note(offset, size, b"failed")
                    if self.fail_delay > 0:
                        with self.busy:
                            time.sleep(self.fail_delay)
                    raise FuseOSError(errno.EIO)
        if self.fail_delay > 0:
            with self.busy:
                return os.pread(self.fd, size, offset)
        return os.pread(self.fd, size, offset)


def main(args):
    fail_delay = float(os.environ.get("BAD_DRIVE_DELAY", "0"))
    if "--fail-delay" in args:
        at = args.index("--fail-delay")
        if at + 1 >= len(args):
            sys.exit("bad_drive.py: --fail-delay needs SECONDS")
        fail_delay = float(args[at + 1])
        del args[at:at + 2]
    if not fail_delay >= 0:
        sys.exit("bad_drive.py: the delay is in seconds, 0 or more")
    if len(args) < 3:
        sys.exit(__doc__)
    mountpoint, backing, healed = args[:3]
    ranges = [tuple(int(n) for n in r.split(":")) for r in args[3:]]
    hold = int(os.environ["BAD_DRIVE_HOLD"]) if os.environ.get("BAD_DRIVE_HOLD") else None
    log = os.environ.get("BAD_DRIVE_LOG") or None
    # direct_io: every read reaches read() as asked, with no page cache or
    # read-ahead to spread a bad range's error over good reads.
    FUSE(BadDrive(backing, healed, ranges, fail_delay, hold, log), mountpoint, foreground=True, ro=True,
         direct_io=True)


if __name__ == "__main__":
    main(sys.argv[1:])
