# Compressed images by their names, read back by the standard tools; the
# acquisition record beside every file image, checked against the drive;
# what a compressed image cannot be; the read test's hash.

# A drive of more than a chunk that compresses as a card does: data, then
# free space, and an unaligned tail.
compressible_drive() {  # compressible_drive NAME
    { head -c $((3 * MIB)) /dev/urandom; head -c $((CHUNK + 5 * MIB)) /dev/zero; seq 1 200000; } >"$1"
}

# record_value IMAGE KEY: the value of KEY in IMAGE.info.
record_value() { sed -n "s/^$2: //p" "$1.info"; }

# record_ok IMAGE DRIVE FORMAT LEVEL: the record tells the drive, the
# image and both digests as sha256sum and stat tell them.
record_ok() {
    local image=$1 drive=$2 format=$3 level=$4 key
    [ "$(head -n 1 "$image.info")" = "korvex: 1.0" ] || { echo "first line: $(head -n 1 "$image.info")"; return 1; }
    [ "$(record_value "$image" drive_sha256)" = "$(sha256sum <"$drive" | cut -d' ' -f1)" ] || { echo "drive_sha256"; return 1; }
    [ "$(record_value "$image" image_sha256)" = "$(sha256sum <"$image" | cut -d' ' -f1)" ] || { echo "image_sha256"; return 1; }
    [ "$(record_value "$image" drive_bytes)" = "$(stat -L -c %s "$drive" 2>/dev/null | grep -v '^0$' || blockdev --getsize64 "$drive")" ] ||
        { echo "drive_bytes"; return 1; }
    [ "$(record_value "$image" image_bytes)" = "$(stat -c %s "$image")" ] || { echo "image_bytes"; return 1; }
    [ "$(record_value "$image" format)" = "$format" ] || { echo "format"; return 1; }
    [ "$(record_value "$image" level)" = "$level" ] || { echo "level $(record_value "$image" level)"; return 1; }
    [ "$(record_value "$image" mode)" = plain ] || { echo "mode"; return 1; }
    [ "$(record_value "$image" image)" = "$(basename "$image")" ] || { echo "image"; return 1; }
    [ "$(record_value "$image" drive)" = "$drive" ] || { echo "drive"; return 1; }
    for key in start end; do
        record_value "$image" $key | grep -Eqx '[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z' ||
            { echo "$key: $(record_value "$image" $key)"; return 1; }
    done
    # Start and end as the clock gave them, minutes apart at most.
    local start end
    start=$(date -d "$(record_value "$image" start)" +%s) end=$(date -d "$(record_value "$image" end)" +%s)
    [ $((end - start)) -ge 0 ] && [ $((end - start)) -lt 300 ] && [ $((now - start)) -lt 300 ] ||
        { echo "times: $start $end"; return 1; }
    record_value "$image" duration_seconds | grep -Eqx '[0-9]+\.[0-9]{3}' || { echo "duration"; return 1; }
    record_value "$image" mean_speed_mb_s | grep -Eqx '[0-9]+\.[0-9]' || { echo "speed"; return 1; }
    [ "$(record_value "$image" command)" = "$korvex ${*:5}" ] || { echo "command: $(record_value "$image" command)"; return 1; }
}

# decodes_to IMAGE DRIVE TOOL...: the tool's decompression of IMAGE is DRIVE.
decodes_to() {
    local image=$1 drive=$2
    shift 2
    "$@" <"$image" | cmp -s - "$drive" || { echo "$* does not give the drive back"; return 1; }
}

case_formats() {
    need_commands zstd gzip pigz xz
    compressible_drive drive.bin
    local format bytes
    bytes=$(stat -c %s drive.bin)
    for format in zst:zstd:3 gz:gzip:6 xz:xz:6; do
        local ext=${format%%:*} name=${format#*:}
        name=${name%:*}
        now=$(date +%s)
        run drive.bin card.img.$ext
        expect "$ext: complete" bash -c "[ $status -eq 0 ] && [ \"\$(tail -n 1 out.txt)\" = 转储完成！ ]"
        expect "$ext: R and W per chunk of the drive" marks_ok "$(sed -n 8p out.txt)" $(((bytes + CHUNK - 1) / CHUNK))
        expect "$ext: smaller than the drive" test "$(stat -c %s card.img.$ext)" -lt $((bytes / 4))
        expect "$ext: the fingerprint checks the file" sha256sum -c --status card.img.$ext.sha256
        expect "$ext: the record" record_ok card.img.$ext drive.bin "$name" "${format##*:}" drive.bin card.img.$ext
        expect "$ext: no partial file or map left" bash -c "[ ! -e card.img.$ext.part ] && [ ! -e card.img.$ext.part.map ]"
    done
    expect "zstd -d gives the drive back" decodes_to card.img.zst drive.bin zstd -dc
    expect "zstd -t finds every frame whole" zstd -tq card.img.zst
    expect "gzip -d gives the drive back" decodes_to card.img.gz drive.bin gzip -dc
    expect "pigz -d gives the drive back" decodes_to card.img.gz drive.bin pigz -dc
    expect "xz -d gives the drive back" decodes_to card.img.xz drive.bin xz -dc
    expect "xz -l reads the index: the drive's size" \
        bash -c "xz --robot -l card.img.xz | awk '/^totals/ { exit \$5 != $bytes }'"
    expect "a name in capitals is compressed too" bash -c \
        "$(printf %q "$korvex") drive.bin CARD.GZ >/dev/null && gzip -dc <CARD.GZ | cmp -s - drive.bin"
}

case_levels_and_refusals() {
    need_commands zstd gzip xz
    compressible_drive drive.bin
    now=$(date +%s)
    run drive.bin hi.img.zst --level 19
    expect "zstd at 19" bash -c "[ $status -eq 0 ] && [ \"\$(sed -n 's/^level: //p' hi.img.zst.info)\" = 19 ]"
    expect "zstd at 19 decodes" decodes_to hi.img.zst drive.bin zstd -dc
    run --level=1 drive.bin lo.img.gz
    expect "gzip at 1 decodes" bash -c "[ $status -eq 0 ] && gzip -dc <lo.img.gz | cmp -s - drive.bin"
    run drive.bin zero.img.xz --level 0
    expect "xz at 0 decodes" bash -c "[ $status -eq 0 ] && xz -dc <zero.img.xz | cmp -s - drive.bin"
    expect "the record's command line as given" record_ok zero.img.xz drive.bin xz 0 drive.bin zero.img.xz --level 0

    # Each refused before anything is made: exit 2, the usage and a line
    # that says why.
    local refusal
    for refusal in "--level 20|x.img.zst|错误，选项的值无效: --level 20" \
        "--level=10|x.img.gz|错误，选项的值无效: --level=10" \
        "--level x|x.img.xz|错误，选项的值无效: --level x" \
        "--level 3|x.img|错误，--level 只用于压缩镜像 (.zst .gz .xz)" \
        "--rescue|x.img.gz|错误，救援模式只写未压缩的镜像，请救援后再压缩"; do
        IFS='|' read -r option image line <<<"$refusal"
        # shellcheck disable=SC2086
        run drive.bin "$image" $option
        expect "$option into $image: usage error" bash -c "[ $status -eq 2 ] && [ \"\$(tail -n 1 out.txt)\" = '$line' ]"
        expect "$option into $image: nothing made" bash -c "! ls x.img* 2>/dev/null | grep -q ."
    done
}

# What stands at a compressed name and is no file takes no compressed
# stream, and is left as it stood: a device (through a link) unwritten.
case_not_a_file() {
    need_root
    compressible_drive drive.bin
    ln -s /dev/null null.zst
    run drive.bin null.zst
    expect "the null device: a usage error" bash -c "[ $status -eq 2 ] && [ \"\$(tail -n 1 out.txt)\" = 错误，压缩镜像只能写入文件 ]"
    expect "nothing beside it" bash -c "[ ! -e null.zst.part ] && [ ! -e null.zst.sha256 ] && [ ! -e null.zst.info ]"
    random_file target.bin $((CHUNK + 8 * MIB))
    cp target.bin target.before
    attach_loop target target.bin
    ln -s "$target" disk.img.xz
    run drive.bin disk.img.xz
    expect "a device: a usage error" bash -c "[ $status -eq 2 ] && grep -qx 错误，压缩镜像只能写入文件 out.txt"
    expect "the device unwritten" cmp -s "$target" target.before
}

# Into the null device the drive's SHA-256 shows on the console, as
# sha256sum prints it, before the completion line; nothing is written.
case_read_test_shows_the_hash() {
    random_file drive.bin $((3 * MIB + 512))
    run drive.bin /dev/null
    expect "complete" test $status -eq 0
    expect "the hash line before the completion line" \
        bash -c "[ \"\$(tail -n 2 out.txt | head -n 1)\" = \"\$(sha256sum drive.bin)\" ]"
    expect "no record of a read test" test ! -e /dev/null.info
}

# The record is one of the image's set: it goes with its image, an old one
# is replaced with it, what a killed dump left is cleared, and a file at
# its name that is no record is never replaced.
case_record_in_the_set() {
    need_root
    random_file drive.bin $((CHUNK + 4096))
    attach_loop drive drive.bin
    now=$(date +%s)
    run "$drive" x.img
    expect "a raw image's record" record_ok x.img "$drive" raw "" "$drive" x.img
    expect "drive as opened, sector size" bash -c \
        "[ \"\$(sed -n 's/^drive_opened: //p' x.img.info)\" = $drive ] && [ \"\$(sed -n 's/^sector_size: //p' x.img.info)\" = \$(blockdev --getss $drive) ]"
    expect "a raw image's two digests are one" bash -c \
        "[ \"\$(sed -n 's/^drive_sha256: //p' x.img.info)\" = \"\$(sed -n 's/^image_sha256: //p' x.img.info)\" ]"
    echo "korvex: killed" >x.img.info.part
    echo "korvex: set aside" >x.img.info.old
    run "$drive" x.img
    expect "replaced with the image, leftovers cleared" bash -c "[ $status -eq 0 ] && set_ok x.img drive.bin && grep -q '^end: ' x.img.info"
    echo "my notes" >x.img.info
    run "$drive" x.img
    expect "a file at the record's name that is no record is left alone" bash -c \
        "[ $status -eq 1 ] && [ \"\$(cat x.img.info)\" = 'my notes' ] && [ \"\$(tail -n 1 out.txt)\" = 错误，无法写入采集记录17 ]"
}

# A compressed dump interrupted keeps its partial file, whose whole frames
# decode to the drive's start, and no map: its bytes lie at no drive offset.
case_interrupted_compressed() {
    need_commands zstd
    need_shim
    random_file drive.bin $((2 * CHUNK))
    interrupt_dump INT out.txt drive.bin x.img.zst
    expect "ends as interrupted" test $status -eq 130
    expect "the partial file kept, without a map or record" bash -c \
        "[ -e x.img.zst.part ] && [ ! -e x.img.zst.part.map ] && [ ! -e x.img.zst.info ] && [ ! -e x.img.zst ]"
    zstd -dc <x.img.zst.part 2>/dev/null >start.bin
    expect "what it holds is the drive's start" cmp -s start.bin <(head -c "$(stat -c %s start.bin)" drive.bin)
}

# Sizes at the edges of a block, a piece and a chunk, the empty drive
# included: every format decodes to the drive.
case_odd_sizes() {
    need_commands zstd gzip xz
    local bytes ext
    # Text that compresses, so that xz takes seconds, not minutes.
    local line
    line=$(head -c 3000 /dev/urandom | base64 -w0)
    for bytes in 0 1 4095 $((16 * MIB)) $((16 * MIB + 1)) $CHUNK; do
        yes "$line" | head -c "$bytes" >drive.bin
        for ext in zst gz xz; do
            rm -f x.$ext*
            run drive.bin x.$ext --level 1
            expect "$bytes bytes into .$ext: complete" test $status -eq 0
        done
        expect "$bytes bytes: zstd -d" decodes_to x.zst drive.bin zstd -dc
        expect "$bytes bytes: gzip -d" decodes_to x.gz drive.bin gzip -dc
        expect "$bytes bytes: xz -d" decodes_to x.xz drive.bin xz -dc
    done
}
