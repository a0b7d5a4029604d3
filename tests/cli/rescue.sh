# Rescue: a drive file with unreadable ranges served through FUSE, its map
# checked against the drive and handed over to ddrescue; the phases and
# their bound of failed reads; a rescue interrupted while it copies and
# while it trims, and one killed while it trims; a drive that goes away
# mid-rescue; a rescue that meets no bad sector.

# The bad drive of 100 MiB with one sector, a 4 KiB block across a 16 MiB
# transfer boundary, a 16 MiB dead area and the last sector unreadable.
serve_bad_drive() {
    total=$((100 * MIB))
    ranges="$((MIB + 512)):$((MIB + 1024)) $((16 * MIB - 2048)):$((16 * MIB + 2048)) $((40 * MIB)):$((56 * MIB)) $((total - 512)):$total"
    serve_drive $total $ranges
}

case_plain_read_fails() {
    serve_bad_drive
    run bad/drive.img plain.img
    expect "without --rescue an unreadable sector ends the dump" fails_with "错误，无法读取驱动器5"
}

case_bad_drive() {
    local unread
    need_commands ddrescue ddrescuelog
    serve_bad_drive
    run --rescue bad/drive.img saved.img
    unread=$(ddrescuelog -b512 -l'-*/?' saved.img.map | wc -l)
    expect "a rescue: exit 3, its line with the unreadable bytes, as ddrescuelog counts them" \
        bash -c "[ $status -eq 3 ] && tail -n 1 out.txt | grep -qx '转储结束，无法读取的字节：$((unread * 512))' && [ $unread -gt 0 ]"
    expect "the rescued image's fingerprint checks" sha256sum -c --status saved.img.sha256
    expect "the map covers the drive: read bytes in place, zeros only in and after bad ranges" \
        /usr/bin/python3 "$tests/check_map.py" saved.img healthy.bin saved.img.map 512 -- $ranges
    # The sectors readable again, ddrescue finishes the job on Korvex's
    # image and map.
    touch healed
    ddrescue -r1 bad/drive.img saved.img saved.img.map >/dev/null 2>&1
    expect "ddrescue on Korvex's map completes the image" cmp -s healthy.bin saved.img
}

# A rescue of another drive into a rescued image with its map is refused,
# the old set left as it was (a rescue of the same drive goes on from that
# map: cli/resume.sh); an interrupted rescue puts its own map beside the
# partial file, for ddrescue to go on from.
case_interrupted() {
    need_shim
    need_commands ddrescue
    random_file big.bin $((129 * MIB))
    random_file other.bin $((2 * MIB))
    run --rescue other.bin saved.img
    given "a rescued image with its map" bash -c "[ $status -eq 0 ] && [ -f saved.img.map ]"
    cp saved.img.map saved-before.map
    run --rescue big.bin saved.img
    expect "a rescue of another drive into a rescued image: refused, the old image and map as they were" \
        bash -c "[ $status -eq 1 ] && [ \"\$(tail -n 1 out.txt)\" = '错误，驱动器与映射文件不符' ] && cmp -s saved.img.map saved-before.map && cmp -s saved.img other.bin"
    interrupt_dump INT out.txt --rescue big.bin new.img
    expect "an interrupted rescue: the partial file's map beside it" \
        bash -c "[ \"\$(grep -v '^#' new.img.part.map | tail -n 1 | cut -c1-10)\" = \"\$(printf '0x%08X' \$(stat -c %s new.img.part))\" ]"
    ddrescue big.bin new.img.part new.img.part.map >/dev/null 2>&1
    expect "ddrescue goes on from the partial file and its map" cmp -s big.bin new.img.part
}

case_no_bad_sector() {
    random_file drive.bin $((3 * MIB + 512))
    run --rescue drive.bin whole.img
    expect "a rescue that met no bad sector: complete, exit 0, a one-line map" \
        bash -c "[ $status -eq 0 ] && tail -n 1 out.txt | grep -qx '转储完成！' && [ \$(grep -vc '^#' whole.img.map) -eq 2 ]"
}

# sectors GRID FROM:TO...: the numbers of the 512-byte sectors in the byte
# ranges, each widened to GRID bytes, sorted as text (for cmp and comm).
sectors() {
    local grid=$1 range from to
    shift
    for range; do
        from=${range%:*} to=${range#*:}
        seq $((from / grid * grid / 512)) $(((to + grid - 1) / grid * grid / 512 - 1))
    done | sort -u
}

# listed MAP [STATUSES]: the numbers of the map's sectors of those statuses,
# by default every one not read, sorted as text.
listed() {
    ddrescuelog -b512 -l"${2:--*/?}" "$1" | sort
}
export -f listed

# rescued_ok IMAGE: the rescue into IMAGE (run) ended with exit 3 and the
# count of the bytes its map does not give as read; ddrescuelog reads the
# map; the fingerprint checks; the image is the drive's bytes where the map
# says read, zeros elsewhere, and only at the bad $ranges (check_map.py).
rescued_ok() {
    local image=$1 count
    [ $status -eq 3 ] || { echo "exit $status:"; cat out.txt; return 1; }
    ddrescuelog -t "$image.map" >/dev/null || { echo "ddrescuelog cannot read $image.map"; return 1; }
    count=$(($(listed "$image.map" | wc -l) * 512))
    tail -n 1 out.txt | grep -qx "转储结束，无法读取的字节：$count" ||
        { echo "last line: $(tail -n 1 out.txt); not read in the map: $count"; return 1; }
    sha256sum -c --status "$image.sha256" || { echo "fingerprint: $(cat "$image.sha256")"; return 1; }
    /usr/bin/python3 "$tests/check_map.py" "$image" healthy.bin "$image.map" 512 "$count" -- $ranges
}

# failed_sector_reads: how many reads of one sector failed on the bad drive
# since its log was emptied: trimming's and scraping's, since the copying
# phases read 64 KiB or more at a time.
failed_sector_reads() {
    cat reads.txt 2>/dev/null | grep -c '^[0-9]* 512 failed$'
}

# failed_sector_reads_reach N: at least N of them.
failed_sector_reads_reach() { [ "$(failed_sector_reads)" -ge "$1" ]; }

# The phases of a rescue and their bound of failed reads, on a drive with
# lone bad sectors (its first and last, one inside its first transfer, that
# transfer's last), two bad sectors in one 64 KiB block with readable ones
# between them, and a 4 MiB dead area that begins at the last sector of a
# 64 KiB block and ends two sectors into one. All of it takes 9 failed
# reads to trim and scrape, and the dead area's edge blocks scrape in 1, so
# that the default bound is met nowhere, whatever order the areas are
# trimmed and scraped in. Each run's failed reads are counted in the
# drive's log, so that a bound is held to in reads, not only in the map.
case_phases() {
    local block=65536 lone pair tried
    need_commands ddrescue ddrescuelog
    total=$((64 * MIB))
    lone="0:512 $((MIB + 512)):$((MIB + 1024)) $((16 * MIB - 512)):$((16 * MIB)) $((total - 512)):$total"
    pair="$((24 * MIB + 8192)):$((24 * MIB + 8704)) $((24 * MIB + 40960)):$((24 * MIB + 41472))"
    ranges="$lone $pair $((48 * MIB + block - 512)):$((52 * MIB + 1024))"
    BAD_DRIVE_LOG=$PWD/reads.txt serve_drive $total $ranges
    sectors 512 $ranges >bad.txt
    sectors 512 $lone $pair >sparse.txt
    sectors $block $ranges >blocks.txt
    # A read that stops short of a bad sector stops at the start of the
    # FUSE request (up to 128 KiB) that holds it, and the block there is
    # given up untried: it may be the readable block before the bad one.
    local range near=""
    for range in $ranges; do
        near="$near $((${range%:*} >= block ? ${range%:*} - block : 0)):${range#*:}"
    done
    sectors $block $near >pieces.txt

    # Copying and far edges only: every 64 KiB block a bad sector is in is
    # given up whole, every other one read but beside one, the bytes
    # skipped after a failed block read back from the far side.
    : >reads.txt
    run --rescue --max-failed-reads 0 bad/drive.img none.img
    tried=$(failed_sector_reads)
    expect "--max-failed-reads 0: a rescue whose map and count agree with the image and the drive" rescued_ok none.img
    expect "--max-failed-reads 0: no sector trimmed or scraped; not read exactly the 64 KiB blocks with bad sectors" \
        bash -c "[ $tried -eq 0 ] && [ -z \"\$(listed none.img.map '-/')\" ] &&
                 [ -z \"\$(listed none.img.map | comm -13 - blocks.txt)\" ] && [ -z \"\$(listed none.img.map | comm -23 - pieces.txt)\" ]"
    # Trimming and scraping never touch what copying skipped; the third
    # copying pass, after them, only reads some of it.
    listed none.img.map '?' >skipped.txt

    : >reads.txt
    run --rescue --max-failed-reads=3 bad/drive.img three.img
    tried=$(failed_sector_reads)
    expect "--max-failed-reads=3: a rescue whose map and count agree with the image and the drive" rescued_ok three.img
    expect "--max-failed-reads=3: three failed reads, three bad sectors, then none tried; the rest still not trimmed or scraped, nothing read given up" \
        bash -c "[ $tried -eq 3 ] && [ \$(listed three.img.map - | wc -l) -eq 3 ] &&
                 listed three.img.map '?' | cmp -s - skipped.txt && [ -z \"\$(listed three.img.map | comm -23 - pieces.txt)\" ]"

    : >reads.txt
    run --rescue bad/drive.img all.img
    tried=$(failed_sector_reads)
    expect "the default bound: a rescue whose map and count agree with the image and the drive" rescued_ok all.img
    expect "the default bound: every readable sector read, beside lone and paired bad sectors and at the dead area's edges; those bad sectors listed bad, each tried once" \
        bash -c "listed all.img.map | cmp -s - bad.txt && [ -z \"\$(listed all.img.map - | comm -13 - sparse.txt)\" ] &&
                 [ $tried -eq \$(listed all.img.map - | wc -l) ] && [ -z \"\$(listed all.img.map '?' | comm -23 - skipped.txt)\" ]"

    # ddrescue takes the map as its own: with the drive healed, it trims,
    # scrapes and reads what Korvex gave up.
    touch healed
    ddrescue -r1 bad/drive.img none.img none.img.map >/dev/null 2>&1
    expect "ddrescue completes the image on Korvex's map of copying alone" cmp -s healthy.bin none.img
}

# An interrupt while the rescue trims and scrapes: its findings so far are
# kept in the partial file's map, which ddrescue goes on from. Each failed
# read takes 0.2 s, and the dead area's edge blocks hold 119 bad sectors
# each to scrape, more than the default bound lets it try: the interrupt
# comes long before the end, whatever the machine's speed.
case_interrupted_phases() {
    need_commands ddrescue ddrescuelog
    total=$((32 * MIB))
    ranges="$((MIB + 512)):$((MIB + 1024)) $((8 * MIB + 4096)):$((10 * MIB + 61440))"
    BAD_DRIVE_DELAY=0.2 BAD_DRIVE_LOG=$PWD/reads.txt serve_drive $total $ranges
    "$korvex" --rescue bad/drive.img saved.img </dev/null >out.txt &
    pid=$!
    # The second failed sector read began once the first one's sector was
    # marked.
    given "the rescue trimming or scraping" awaits 2400 failed_sector_reads_reach 2
    kill -INT $pid
    wait $pid
    status=$?
    expect "SIGINT while trimming: status 130, the interrupt's line last, no image named" \
        bash -c "[ $status -eq 130 ] && tail -n 1 out.txt | grep -qx '[RW]*错误，转储已中断' && [ ! -e saved.img ] && [ ! -e saved.img.map ]"
    expect "the partial file and its map agree with each other and the drive; ddrescuelog reads the map" \
        bash -c "ddrescuelog -t saved.img.part.map >/dev/null &&
                 /usr/bin/python3 '$tests/check_map.py' --partial saved.img.part healthy.bin saved.img.part.map 512 -- $ranges"
    expect "the map where the trimming stopped: bad sectors found, the areas not yet trimmed or scraped listed as such" \
        bash -c "[ -n \"\$(listed saved.img.part.map -)\" ] && [ -n \"\$(listed saved.img.part.map '*/')\" ]"
    touch healed
    ddrescue -r1 bad/drive.img saved.img.part saved.img.part.map >/dev/null 2>&1
    expect "ddrescue goes on from the interrupted rescue's partial file and map" cmp -s healthy.bin saved.img.part
}

# SIGKILL while a rescue trims and scrapes, each failed read taking 0.2 s:
# the map beside the partial file, kept as the phases mark it, lists the
# bad sectors found so far, agrees with the partial file and the drive,
# and ddrescue finishes the image from it once the drive reads again.
case_sigkill_while_rescuing() {
    need_root
    need_commands ddrescue ddrescuelog
    total=$((32 * MIB))
    ranges="$((MIB + 512)):$((MIB + 1024)) $((8 * MIB + 4096)):$((10 * MIB + 61440))"
    BAD_DRIVE_DELAY=0.2 serve_drive $total $ranges
    "$korvex" --rescue bad/drive.img saved.img </dev/null >out.txt &
    pid=$!
    given "the kept map listing a bad sector" awaits 1200 grep -qs -- '  -$' saved.img.part.map
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    expect "SIGKILL while the phases run: no image named" bash -c "[ ! -e saved.img ] && [ ! -e saved.img.map ]"
    expect "SIGKILL while the phases run: the map beside the partial file agrees with it and the drive" \
        kept_map_ok saved.img.part healthy.bin 512 $ranges
    touch healed
    ddrescue -r1 bad/drive.img saved.img.part saved.img.part.map >/dev/null 2>&1
    expect "SIGKILL while the phases run: ddrescue finishes the image from the map" cmp -s healthy.bin saved.img.part
}

# A drive that goes away mid-rescue, after a bad sector: a loop device over
# the bad drive, whose server is killed while Korvex waits on a read of
# readable data (the server holds that read unanswered). From then on every
# read fails with EIO, as it does when a USB drive is pulled out: no bad
# sectors, but the end of the dump, with what it read kept for ddrescue.
case_drive_gone() {
    local hold=$((40 * MIB + 123 * 512)) loop
    need_commands losetup ddrescue ddrescuelog
    total=$((64 * MIB))
    ranges="$((MIB + 512)):$((MIB + 1024))"
    BAD_DRIVE_HOLD=$hold BAD_DRIVE_LOG=$PWD/reads.txt serve_drive $total $ranges
    attach_loop loop -r bad/drive.img || skip_case "no loop device"
    "$korvex" --rescue "$loop" saved.img </dev/null >out.txt &
    pid=$!
    given "the rescue past its bad sector, waiting on the drive" awaits 2400 grep -q ' held$' reads.txt
    kill -KILL $server
    wait $server 2>/dev/null
    wait $pid
    status=$?
    expect "the drive gone mid-rescue: the read error (EIO) ends the dump" fails_with "错误，无法读取驱动器5"
    expect "the drive gone: no image named, the partial file and its map kept" \
        bash -c "[ ! -e saved.img ] && [ ! -e saved.img.sha256 ] && [ ! -e saved.img.map ] && [ -f saved.img.part ] && [ -f saved.img.part.map ]"
    # Nothing where the drive went away may be listed as bad: only the bad
    # sector and, from where the dump stopped, the bytes not tried.
    expect "the drive gone: ddrescuelog reads the map; the partial file the drive's bytes where it says read, nothing else listed but the bad sector" \
        bash -c "ddrescuelog -t saved.img.part.map >/dev/null &&
                 /usr/bin/python3 '$tests/check_map.py' --partial saved.img.part healthy.bin saved.img.part.map 512 -- $ranges"
    ddrescue -r1 healthy.bin saved.img.part saved.img.part.map >/dev/null 2>&1
    expect "ddrescue goes on from the partial file and its map" cmp -s healthy.bin saved.img.part
}

# A readable 64 KiB block skipped between two failed blocks: the copy gives
# up the block of a dead area, skips the next one, and fails again on the
# drive's last sector. Nothing reads the skipped block afterwards (the far
# edges read only a skipped area followed by read data), so a rescue with
# an unlimited bound ends with 64 KiB of readable data never tried and
# counted as unreadable.
case_skipped_between_failed() {
    local block=65536
    need_commands ddrescuelog
    total=$((3 * block + 512))
    ranges="$block:$((2 * block)) $((3 * block)):$total"
    serve_drive $total $ranges
    sectors 512 $ranges >bad.txt
    run --rescue --max-failed-reads 100000 bad/drive.img saved.img
    expect "with the bound never met: a rescue whose map and count agree with the image and the drive" rescued_ok saved.img
    expect "every readable sector read: nothing left not tried, only the bad ranges listed" \
        bash -c "[ -z \"\$(listed saved.img.map '?')\" ] && listed saved.img.map | cmp -s - bad.txt"
}

# Lone bad sectors scattered over a drive, one per 128 KiB on average: the
# copy's skips leave areas between failed blocks that no phase reads, so
# that most of a drive whose bad sectors are a fraction of a percent is
# never tried, whatever the bound.
case_scattered_bad_sectors() {
    need_commands ddrescuelog
    total=$((32 * MIB))
    # One bad sector in each of 255 of the drive's 256 128 KiB pieces, at
    # a place in it fixed by a seed.
    ranges=$(/usr/bin/python3 -c "
import random
random.seed(5)
print(' '.join('%d:%d' % (p * 131072 + s * 512, p * 131072 + s * 512 + 512) for p, s in
               ((p, random.randrange(256)) for p in range(1, 256))))")
    serve_drive $total $ranges
    run --rescue --max-failed-reads 100000 bad/drive.img saved.img
    expect "with the bound never met: a rescue whose map and count agree with the image and the drive" rescued_ok saved.img
    expect "255 bad sectors: no area left not tried, at most 255 sectors not read" \
        bash -c "[ -z \"\$(listed saved.img.map '?')\" ] && [ \$(listed saved.img.map | wc -l) -le 255 ]"
}

# An interrupt while the rescued image is hashed back after the phases
# wrote into it: the dump stops at its next read, as everywhere else, not
# after the whole image is read back (hours on a large drive). The hash
# reads are the image's 16 MiB reads (the copy reads the drive with read,
# the phases' in-place merges are 4 KiB); the interrupt comes after the
# first of 64.
case_interrupted_hash_back() {
    local reads
    need_commands strace
    total=$((1024 * MIB))
    ranges="$((MIB + 512)):$((MIB + 1024))"
    serve_drive $total $ranges
    # strace itself in the background (traced is a function: its subshell
    # would stand between), korvex its child.
    ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 strace -f -e trace=pread64 -e signal=none -o trace.txt \
        "$korvex" --rescue bad/drive.img saved.img </dev/null >out.txt &
    pid=$!
    given "the rescue hashing its image back" awaits 6000 grep -qs ', 16777216, ' trace.txt
    kill -INT "$(pgrep -P $pid)"
    wait $pid
    status=$?
    reads=$(grep -c ', 16777216, ' trace.txt)
    expect "SIGINT while hashing back: status 130, the interrupt's line, no image named" \
        bash -c "[ $status -eq 130 ] && tail -n 1 out.txt | grep -qx '[RW]*错误，转储已中断' && [ ! -e saved.img ]"
    expect "SIGINT while hashing back: the hash stops at its next read, not after all 64 ($reads read)" \
        [ "$reads" -lt 32 ]
}

# Five 64 KiB blocks in a row, each with one bad sector in its middle: the
# copy gives up the first, skips the second, gives up the third, skips two
# and the far edges give up the fifth. The third copying pass gives up the
# second and the fourth, which join the third between two areas not
# scraped: no edge of theirs lies beside read data, so trimming passes
# them by and scraping reads only what is not scraped. With an unlimited
# bound, 3 bad sectors keep 192 KiB from ever being read.
case_failed_blocks_between_not_scraped() {
    local block=65536
    need_commands ddrescuelog
    total=$((16 * block))
    ranges=$(for b in 1 2 3 4 5; do printf '%d:%d ' $((b * block + 32768)) $((b * block + 33280)); done)
    serve_drive $total $ranges
    sectors 512 $ranges >bad.txt
    run --rescue --max-failed-reads 100000 bad/drive.img saved.img
    expect "with the bound never met: a rescue whose map and count agree with the image and the drive" rescued_ok saved.img
    expect "every readable sector read: only the 5 bad sectors listed" \
        bash -c "listed saved.img.map | cmp -s - bad.txt"
}
