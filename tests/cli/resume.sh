# --resume: a dump stopped anywhere (SIGKILL, Ctrl+C, a full target, its
# drive gone) goes on to the image and fingerprint a whole dump gives; a
# partial file blocks a new dump with a line naming --resume; a drive other
# than the map's is refused; a rescue goes on with its phases; a second
# rescue goes on from the image's map; an image ddrescue finished takes a
# fingerprint of its own.

# resumed_ok DRIVE IMAGE: --resume went on and finished: exit 0, its line,
# the whole image with a fingerprint that checks and a record that says so.
resumed_ok() {
    [ $status -eq 0 ] || { echo "exit $status"; cat out.txt; return 1; }
    grep -q '^继续转储，已有的字节：[0-9]*$' out.txt || { cat out.txt; return 1; }
    [ "$(tail -n 1 out.txt)" = "转储完成！" ] || { cat out.txt; return 1; }
    set_ok "$2" "$1" || return 1
    grep -q '^resumed_from: [0-9]*$' "$2.info" || { cat "$2.info"; return 1; }
}

# Killed before the first chunk is written, once the map calls one chunk
# read and once it calls two, and interrupted by Ctrl+C: each time
# --resume finishes the image, reading from the drive only what the map
# lacked (its first MiB aside, read to tell the drive).
case_killed_anywhere() {
    local bytes from read
    need_shim
    random_file drive.bin $((3 * CHUNK + 8 * MIB + 512))
    for bytes in 0 $CHUNK $((2 * CHUNK)); do
        rm -f out.img*
        slow_dump out.txt drive.bin out.img
        if [ "$bytes" -eq 0 ]; then
            given "the dump copying" copying out.txt
        else
            given "the map calling $bytes bytes read" awaits 400 claims_at_least out.img.part.map "$bytes"
        fi
        kill -KILL "$pid"
        wait "$pid" 2>/dev/null
        run drive.bin out.img
        expect "killed at $bytes: a new dump is blocked, its line names --resume, the partial file kept" \
            bash -c "[ $status -eq 1 ] && [ \"\$(tail -n 1 out.txt)\" = '错误，已有未完成的镜像，可用 --resume 继续' ] && [ -f out.img.part.map ]"
        traced -f -e trace=pread64,read -o reads.txt "$korvex" --resume drive.bin out.img </dev/null >out.txt
        status=$?
        expect "killed at $bytes: --resume finishes the image with its fingerprint" resumed_ok drive.bin out.img
        from=$(sed -n 's/^继续转储，已有的字节：//p' out.txt)
        read=$(grep -o '^[0-9]* *read([0-9]*, [^)]*) = [0-9]*' reads.txt | grep -v ' = -' | awk '$NF > 65536 {s += $NF} END {print s + 0}')
        expect "killed at $bytes: the drive read from $from on (and its first MiB), not again before ($read bytes)" \
            bash -c "[ $read -le $(( $(stat -c %s drive.bin) - from + MIB + 4096 )) ]"
    done
    rm -f out.img*
    interrupt_dump INT out.txt drive.bin out.img
    run --resume drive.bin out.img
    expect "after Ctrl+C: --resume finishes the image" resumed_ok drive.bin out.img
}

# A drive other than the map's: another of the same size, one of another
# size; and a map whose partial file is not its own. Each refused with its
# line, the partial file and its map as they were.
case_other_drive_refused() {
    need_shim
    random_file drive.bin $((CHUNK + 4 * MIB))
    random_file other.bin $((CHUNK + 4 * MIB))
    random_file small.bin $((CHUNK))
    slow_dump out.txt drive.bin out.img
    given "the map calling bytes read" awaits 400 claims_at_least out.img.part.map $MIB
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    cp out.img.part kept.part
    cp out.img.part.map kept.map
    unchanged() { cmp -s out.img.part kept.part && cmp -s out.img.part.map kept.map && [ ! -e out.img ]; }
    run --resume other.bin out.img
    expect "another drive of the same size: refused" fails_with "错误，驱动器与映射文件不符"
    expect "another drive: the partial file and map as they were" unchanged
    run --resume small.bin out.img
    expect "a drive of another size: refused" fails_with "错误，驱动器与映射文件不符"
    printf 'X' | dd of=out.img.part bs=1 seek=10 conv=notrunc 2>/dev/null
    cp out.img.part kept.part
    run --resume drive.bin out.img
    expect "a partial file other than the map's: refused" fails_with "错误，映射文件与镜像不符"
    expect "a partial file other than the map's: left as it was" unchanged
    rm -f out.img.part.map
    run --resume drive.bin out.img
    expect "a partial file without its map: nothing to go on with" fails_with "错误，没有可继续的未完成镜像"
    run --resume drive.bin none.img
    expect "nothing left at all: nothing to go on with" fails_with "错误，没有可继续的未完成镜像"
    run --resume drive.bin out.img.zst
    expect "a compressed image: --resume refused as a usage error" \
        bash -c "[ $status -eq 2 ] && [ \"\$(tail -n 1 out.txt)\" = '错误，压缩镜像不能继续，请重新转储' ]"
}

# A target that fails a write (ENOSPC, as a disk that another program
# filled): the dump stops with the write error, keeping the partial file
# and its map; once room is made, --resume finishes it.
case_failed_target() {
    need_commands strace
    random_file drive.bin $((CHUNK + 40 * MIB))
    traced -f -P "$PWD/out.img.part" -e trace=write -e inject=write:error=ENOSPC:when=12 -o /dev/null \
        "$korvex" drive.bin out.img </dev/null >out.txt
    status=$?
    expect "the target full mid-copy: the write error, the partial file and its map kept" \
        bash -c "[ $status -eq 1 ] && grep -q '^[RW]*错误，无法写入镜像28$' out.txt && [ -f out.img.part.map ] && [ ! -e out.img ]"
    run --resume drive.bin out.img
    expect "room made: --resume finishes the image" resumed_ok drive.bin out.img
}

# A loop device as the drive, detached mid-dump and attached again under
# another number: the drive is told by its size, sector size and first MiB,
# not by its name.
case_drive_gone_and_back() {
    local loop again
    need_root
    need_shim
    need_commands losetup
    random_file drive.bin $((2 * CHUNK))
    attach_loop loop -r drive.bin || skip_case "no loop device"
    slow_dump out.txt "$loop" out.img
    given "the map calling bytes read" awaits 400 claims_at_least out.img.part.map $MIB
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    losetup -d "$loop"
    attach_loop again -r drive.bin || skip_case "no loop device"
    run --resume "$again" out.img
    expect "the drive back as $again: --resume finishes the image" resumed_ok drive.bin out.img
}

# A rescue killed while its phases run goes on with them; the result is
# what a whole rescue gives: the same image, fingerprint and count.
case_rescue_goes_on() {
    need_commands ddrescuelog
    total=$((32 * MIB))
    ranges="$((MIB + 512)):$((MIB + 1024)) $((8 * MIB + 4096)):$((10 * MIB + 61440))"
    BAD_DRIVE_DELAY=0.1 serve_drive $total $ranges
    run --rescue bad/drive.img whole.img
    given "a whole rescue" bash -c "[ $status -eq 3 ]"
    "$korvex" --rescue bad/drive.img saved.img </dev/null >out.txt &
    pid=$!
    given "the kept map listing a bad sector" awaits 1200 grep -qs -- '  -$' saved.img.part.map
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    run --resume bad/drive.img saved.img
    count=$(sed -n 's/^unreadable_bytes: //p' whole.img.info)
    expect "a rescue killed in its phases: --resume goes on with them, exit 3 and the whole rescue's count" \
        bash -c "[ $status -eq 3 ] && [ \"\$(tail -n 1 out.txt)\" = '转储结束，无法读取的字节：$count' ]"
    expect "a resumed rescue: the image a whole rescue gives, its fingerprint checks" \
        bash -c "cmp -s whole.img saved.img && sha256sum -c --status saved.img.sha256 && ddrescuelog -t saved.img.map >/dev/null"
}

# A second rescue into the rescued image reads only what its map lacks and
# keeps every byte the first read, though the drive now fails there too;
# after ddrescue completes image and map, --resume writes the fingerprint
# of the image as it now is.
case_second_rescue_and_ddrescue() {
    need_commands ddrescue
    total=$((24 * MIB))
    BAD_DRIVE_LOG=$PWD/reads.txt serve_drive $total "$((4 * MIB)):$((6 * MIB))"
    run --rescue --max-failed-reads 20 bad/drive.img saved.img
    given "a first rescue with bytes unread" bash -c "[ $status -eq 3 ]"
    first=$(sed -n 's/^unreadable_bytes: //p' saved.img.info)
    cp saved.img first.img
    cp saved.img.map first.map
    # The drive worse now where the first rescue read: the server restarted
    # with its first MiB unreadable too.
    kill $server
    wait $server 2>/dev/null
    unmount "$PWD/bad"
    rmdir bad
    mkdir bad
    /usr/bin/python3 "$tests/bad_drive.py" bad healthy.bin healed 0:$MIB $((4 * MIB)):$((5 * MIB)) &
    server=$!
    for _ in $(seq 50); do [ -e bad/drive.img ] && break; sleep 0.1; done
    run --rescue bad/drive.img saved.img
    second=$(sed -n 's/^unreadable_bytes: //p' saved.img.info)
    expect "a second rescue goes on from the map: fewer bytes unread ($first, then $second)" \
        bash -c "[ $status -eq 3 ] && [ $second -lt $first ] && sha256sum -c --status saved.img.sha256"
    expect "a second rescue: every byte the first read is still there" \
        /usr/bin/python3 -c '
import sys
first, now, mapfile = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read(), sys.argv[3]
rows = [l.split() for l in open(mapfile) if l.strip() and not l.startswith("#")][1:]
sys.exit(any(first[int(p, 16):int(p, 16) + int(s, 16)] != now[int(p, 16):int(p, 16) + int(s, 16)] for p, s, st in rows if st == "+"))' first.img saved.img first.map
    touch healed
    ddrescue -r1 bad/drive.img saved.img saved.img.map >/dev/null 2>&1
    given "ddrescue completes the image" cmp -s healthy.bin saved.img
    expect "after ddrescue: the old fingerprint no longer matches" bash -c "! sha256sum -c --status saved.img.sha256"
    run --resume bad/drive.img saved.img
    expect "after ddrescue: --resume writes the fingerprint of the image as it is" resumed_ok healthy.bin saved.img
}
