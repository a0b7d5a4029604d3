# Complete dumps of regular files: every awkward size, over an older image,
# a read test into /dev/null, a name sha256sum must quote.

dumps_of() {  # dumps_of BYTES...: one drive, one fresh image each
    local bytes
    for bytes; do
        random_file drive.bin "$bytes"
        rm -f image.img image.img.sha256
        expect "dump of $bytes bytes" dump_ok drive.bin image.img "$bytes"
    done
}

case_sizes_below_a_chunk() {
    dumps_of 0 1 511 4096 $((MIB - 1))
}

case_sizes_of_chunks() {
    dumps_of $CHUNK $((CHUNK + 512)) $((100 * MIB + 512)) $((129 * MIB))
    expect "image is private (0600)" bash -c "[ \"\$(stat -c %a image.img)\" = 600 ]"
}

case_replace_larger() {
    random_file drive.bin $((3 * MIB + 512))
    head -c $((5 * MIB)) /dev/zero >image.img
    expect "an existing, larger image is replaced" dump_ok drive.bin image.img $((3 * MIB + 512))
}

case_dev_null() {
    random_file drive.bin $((3 * MIB + 512))
    run drive.bin /dev/null
    expect "a device image gets no fingerprint" bash -c "[ $status -eq 0 ] && [ ! -e /dev/null.sha256 ]"
}

case_odd_name() {
    random_file drive.bin $((3 * MIB + 512))
    expect "a name with a colon and a backslash, fingerprinted as sha256sum names it" \
        dump_ok drive.bin 'odd:name\x.img' $((3 * MIB + 512))
}
