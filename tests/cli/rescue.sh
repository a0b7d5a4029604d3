# Rescue: a drive file with unreadable ranges served through FUSE, its map
# checked against the drive and handed over to ddrescue; an interrupted
# rescue; a rescue that meets no bad sector.

# A bad drive at bad/drive.img: healthy.bin read through FUSE, with one
# sector, a 4 KiB block across a 16 MiB transfer boundary, a 16 MiB dead
# area and the last sector unreadable until the file healed exists.
serve_bad_drive() {
    local _
    need_root
    [ -c /dev/fuse ] || skip_case "needs /dev/fuse"
    /usr/bin/python3 -c 'import fusepy' 2>/dev/null || skip_case "needs python3-fusepy"
    total=$((100 * MIB))
    random_file healthy.bin $total
    ranges="$((MIB + 512)):$((MIB + 1024)) $((16 * MIB - 2048)):$((16 * MIB + 2048)) $((40 * MIB)):$((56 * MIB)) $((total - 512)):$total"
    mkdir bad
    at_cleanup unmount "$PWD/bad"
    /usr/bin/python3 "$tests/bad_drive.py" bad healthy.bin healed $ranges &
    for _ in $(seq 50); do [ -e bad/drive.img ] && break; sleep 0.1; done
    given "the bad drive served" [ -e bad/drive.img ]
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
    unread=$(ddrescuelog -b512 -l'-?' saved.img.map | wc -l)
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

# An interrupted rescue leaves the old image's map alone and puts its own
# beside the partial file, for ddrescue to go on from.
case_interrupted() {
    need_shim
    need_commands ddrescue
    random_file big.bin $((129 * MIB))
    random_file other.bin $((2 * MIB))
    run --rescue other.bin saved.img
    given "a rescued image with its map" bash -c "[ $status -eq 0 ] && [ -f saved.img.map ]"
    cp saved.img.map saved-before.map
    interrupt_dump INT out.txt --rescue big.bin saved.img
    expect "an interrupted rescue: the old map intact, the partial file's beside it" \
        bash -c "cmp -s saved.img.map saved-before.map && [ \"\$(grep -v '^#' saved.img.part.map | tail -n 1 | cut -c1-10)\" = \"\$(printf '0x%08X' \$(stat -c %s saved.img.part))\" ]"
    ddrescue big.bin saved.img.part saved.img.part.map >/dev/null 2>&1
    expect "ddrescue goes on from the partial file and its map" cmp -s big.bin saved.img.part
}

case_no_bad_sector() {
    random_file drive.bin $((3 * MIB + 512))
    run --rescue drive.bin whole.img
    expect "a rescue that met no bad sector: complete, exit 0, a one-line map" \
        bash -c "[ $status -eq 0 ] && tail -n 1 out.txt | grep -qx '转储完成！' && [ \$(grep -vc '^#' whole.img.map) -eq 2 ]"
}
