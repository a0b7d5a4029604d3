#!/usr/bin/python3
"""Checks a rescued image against its drive and its map: the map covers the
drive in order; the drive's bytes wherever it says read, and no bad byte
there; zeros elsewhere, only where a bad range lies (widened to the unit the
drive was read in) or, for bytes not tried, after one within a transfer.

Usage: check_map.py [--partial] IMAGE DRIVE MAP UNIT [UNREAD] -- FROM:TO...
UNREAD, when given, is the count the outcome line told: what the map lists.
--partial: IMAGE is the partial file of a dump that stopped short (failed,
interrupted, killed) and MAP its map. The file may end before the drive does, and
the map's last area, not tried up to the drive's end, may begin anywhere:
the dump stopped there, not at a bad range. Where the map does not say
read, each sector of the file holds zeros or the drive's bytes: a dump
killed after it last kept its map wrote on, and the map never says more
than the file holds."""
import sys

TRANSFER = 16 * 1048576
args = sys.argv[1:]
partial = args[:1] == ["--partial"]
if partial:
    args = args[1:]
ranges = args[args.index("--") + 1:]
image, drive, mapfile, unit = args[:4]
unit = int(unit)
unread = args[4] if args.index("--") > 4 else None
bad = [tuple(int(n) for n in r.split(":")) for r in ranges]
img, src = open(image, "rb").read(), open(drive, "rb").read()
blocks = [line.split() for line in open(mapfile) if line.strip() and not line.startswith("#")][1:]
at = listed = 0
for pos, size, status in blocks:
    pos, size = int(pos, 16), int(size, 16)
    assert pos == at, (pos, at)
    at += size
    if status == "+":
        assert img[pos:pos + size] == src[pos:pos + size], pos
        assert all(e <= pos or s >= pos + size for s, e in bad), pos
        continue
    listed += size
    # A partial file's bytes past its end are not there: none of them read.
    held = img[pos:pos + size]
    if partial:
        for offset in range(0, len(held), 512):
            sector = held[offset:offset + 512]
            assert sector == bytes(len(sector)) or sector == src[pos + offset:pos + offset + len(sector)], pos + offset
    else:
        assert held == bytes(len(held)), pos
    if partial and status == "?" and pos + size == len(src):
        continue
    after = TRANSFER if status == "?" else unit
    assert any(s - unit < pos + size and pos < e + after for s, e in bad), (pos, size, status)
    if status == "-" and unit == 512:
        assert any(s <= pos and pos + size <= e for s, e in bad), (pos, size)
assert at == len(src), (at, len(src))
assert len(img) == len(src) or partial and len(img) < len(src), (len(img), len(src))
assert unread is None or listed == int(unread), (listed, unread)
