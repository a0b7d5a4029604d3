# The partial file's map, kept current while the dump runs: killed at any
# point, a dump leaves IMAGE.part with a map that names the drive, that
# ddrescue reads, that calls read only bytes the partial file holds as the
# drive has them, and from which ddrescue finishes the image.

# SIGKILL at several points of a dump of four chunks, slowed down: before
# anything is written, once the map calls one chunk read, once it calls
# two. Each time the map beside the partial file tells what it holds, and
# ddrescue goes on from it to the drive's bytes.
case_sigkill_while_copying() {
    local at bytes
    need_shim
    need_commands ddrescue ddrescuelog
    random_file drive.bin $((3 * CHUNK + 8 * MIB))
    for bytes in 0 $CHUNK $((2 * CHUNK)); do
        rm -f kill.img.part kill.img.part.map
        slow_dump out.txt drive.bin kill.img
        if [ "$bytes" -eq 0 ]; then
            given "the dump copying" copying out.txt
        else
            given "the map calling $bytes bytes read" awaits 400 claims_at_least kill.img.part.map "$bytes"
        fi
        kill -KILL "$pid"
        wait "$pid" 2>/dev/null
        at=$(claimed kill.img.part.map)
        expect "SIGKILL once $bytes bytes are called read ($at): a map beside the partial file that names the drive and calls read only what it holds" \
            kept_map_ok kill.img.part drive.bin 512
        ddrescue drive.bin kill.img.part kill.img.part.map >/dev/null 2>&1
        expect "SIGKILL once $bytes bytes are called read: ddrescue finishes the image from the map" cmp -s drive.bin kill.img.part
    done
}

# A slow drive takes minutes over a chunk: the map calls read what was
# written within the first chunk already, seconds after it was, not only
# once the chunk is whole. Each 16 MiB read takes 2 s here, a chunk 8 s.
case_slow_drive_within_a_chunk() {
    local at
    need_shim
    need_commands ddrescue ddrescuelog
    random_file drive.bin $((2 * CHUNK))
    SHIM_READ_DELAY_US=2000000 LD_PRELOAD=$shim "$korvex" drive.bin slow.img </dev/null >out.txt &
    pid=$!
    given "the map calling bytes read" awaits 400 claims_at_least slow.img.part.map 1
    at=$(claimed slow.img.part.map)
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    expect "a slow drive: the map calls bytes of the first chunk read before the chunk is whole ($at)" \
        bash -c "[ $at -lt $CHUNK ]"
    expect "a slow drive killed: the map agrees with the partial file and the drive" kept_map_ok slow.img.part drive.bin 512
    ddrescue drive.bin slow.img.part slow.img.part.map >/dev/null 2>&1
    expect "a slow drive killed: ddrescue finishes the image from the map" cmp -s drive.bin slow.img.part
}
