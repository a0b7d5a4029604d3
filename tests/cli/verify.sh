# --verify: the image read back before it takes its name. Each format read
# back clean, with its record; a disk as the image; what cannot be read
# back refused before the copy; a target that returns one byte of what it
# stores changed, or fails to read it, served through FUSE; an interrupt
# while reading back.

# A drive that compresses (data, then free space, an unaligned tail), of
# more than a chunk.
compressible_drive() {  # compressible_drive NAME
    { head -c $((3 * MIB)) /dev/urandom; head -c $((CHUNK + 5 * MIB)) /dev/zero; seq 1 200000; } >"$1"
}

record_value() { sed -n "s/^$2: //p" "$1.info"; }

# verified_ok IMAGE: complete, and the record says it was read back.
verified_ok() {
    [ $status -eq 0 ] && [ "$(tail -n 1 out.txt)" = 转储完成！ ] || { echo "exit $status"; cat out.txt; return 1; }
    [ "$(record_value "$1" verified)" = yes ] || { echo "verified: $(record_value "$1" verified)"; return 1; }
    record_value "$1" verify_seconds | grep -Eqx '[0-9]+\.[0-9]{3}' || { echo "verify_seconds"; return 1; }
    (cd "$(dirname "$1")" && sha256sum -c --status "$(basename "$1").sha256") || { echo "fingerprint"; return 1; }
}

case_formats() {
    need_commands zstd gzip xz
    compressible_drive drive.bin
    local ext tool
    for ext in img:cat zst:'zstd -dc' gz:'gzip -dc' xz:'xz -dc'; do
        tool=${ext#*:} ext=${ext%%:*}
        run drive.bin card.$ext --verify
        expect ".$ext: read back and recorded" verified_ok card.$ext
        # shellcheck disable=SC2086
        expect ".$ext: the drive's bytes" bash -c "$tool <card.$ext | cmp -s - drive.bin"
    done
    run drive.bin plain.img
    expect "without --verify: not verified, no time" \
        bash -c "[ $status -eq 0 ] && grep -qx 'verified: no' plain.img.info && ! grep -q '^verify_seconds' plain.img.info"
}

# A disk as the image is read back as a file is, its first drive-size
# bytes; the drive's hash shows on the console, as for any device.
case_disk() {
    need_root
    random_file drive.bin $((CHUNK + 4096 + 512))
    random_file target.bin $((CHUNK + 8 * MIB))
    attach_loop target target.bin
    run --verify drive.bin "$target"
    expect "a loop device as the image: complete, the drive's hash shown" bash -c \
        "[ $status -eq 0 ] && [ \"\$(tail -n 2 out.txt | head -n 1)\" = \"\$(sha256sum drive.bin)\" ] &&
         cmp -s drive.bin <(head -c $((CHUNK + 4096 + 512)) $target)"
}

# What cannot be read back is refused before the copy: not a byte read or
# written, and the last line says why.
case_cannot_be_read_back() {
    random_file drive.bin $((3 * MIB + 512))
    run drive.bin /dev/null --verify
    expect "the null device: a usage error, before the copy" bash -c \
        "[ $status -eq 2 ] && [ \"\$(tail -n 1 out.txt)\" = 错误，镜像无法读回，不能校验 ] && ! grep -q '^R' out.txt"
    mkfifo pipe
    cat pipe >got.bin &
    run --verify drive.bin pipe
    wait $!
    expect "a FIFO: a usage error, nothing written into it" bash -c \
        "[ $status -eq 2 ] && [ \"\$(tail -n 1 out.txt)\" = 错误，镜像无法读回，不能校验 ] && [ ! -s got.bin ]"
}

# serve_target OFFSET [flip|fail]: the folder store served at target/, a
# read touching byte OFFSET of a file there changed or failing (see
# bad_target.py).
serve_target() {
    local _
    need_root
    [ -c /dev/fuse ] || skip_case "needs /dev/fuse"
    /usr/bin/python3 -c 'import fusepy' 2>/dev/null || skip_case "needs python3-fusepy"
    mkdir store target
    at_cleanup unmount "$PWD/target"
    /usr/bin/python3 "$tests/bad_target.py" target store "$@" &
    for _ in $(seq 50); do mountpoint -q target && break; sleep 0.1; done
    given "the target served" mountpoint -q target
}

# kept_without_map IMAGE: the partial file in the store, as written, with
# nothing else of the set.
kept_without_map() {
    local extra
    [ -e "store/$1.part" ] || { echo "no partial file"; return 1; }
    for extra in "" .part.map .sha256 .info .map; do
        [ ! -e "store/$1$extra" ] || { echo "left: $1$extra"; return 1; }
    done
}

# A byte a MiB into each file comes back changed: every format fails, and
# the partial file holds what was written. Without --verify the same
# target passes for good, and a file that ends before the byte is read back
# whole.
case_changed_byte() {
    serve_target $((MIB + 3))
    random_file drive.bin $((3 * MIB + 512))
    local image
    for image in x.img x.img.zst x.img.gz x.img.xz; do
        run --verify drive.bin target/$image
        expect "$image: the verify line, exit 1" fails_with 错误，镜像校验失败
        expect "$image: kept as IMAGE.part, without a map" kept_without_map $image
    done
    expect "what the target stored is what was written" cmp -s drive.bin store/x.img.part
    run --rescue --verify drive.bin target/r.img
    expect "a rescue: the verify line" fails_with 错误，镜像校验失败
    expect "a rescue: kept without its map" kept_without_map r.img
    run drive.bin target/unchecked.img
    expect "without --verify the target is taken at its word" test $status -eq 0
    random_file small.bin $((MIB / 2))
    run --verify small.bin target/small.img.gz
    expect "a file that ends before the byte: read back, verified" verified_ok target/small.img.gz
}

case_read_fails() {
    serve_target $((2 * MIB)) fail
    random_file drive.bin $((3 * MIB + 512))
    run --verify drive.bin target/x.img
    expect "the image's read line and EIO, exit 1" fails_with 错误，无法读取镜像5
    expect "kept as IMAGE.part, without a map" kept_without_map x.img
}

# Interrupted while reading back: the partial file keeps its map, as after
# any interrupt, since its bytes were flushed and not found wrong.
case_interrupted() {
    need_shim
    random_file drive.bin $((2 * CHUNK))
    SHIM_PREAD_DELAY_US=300000 LD_PRELOAD=$shim "$korvex" --verify drive.bin x.img </dev/null >out.txt &
    pid=$!
    # Past the drive's bytes and a transfer read back, as the process's
    # own count of bytes read tells.
    given "reading back" awaits 400 bash -c \
        "[ \"\$(awk '/^rchar/ { print \$2 }' /proc/$pid/io)\" -gt $((2 * CHUNK + 16 * MIB)) ]"
    kill -INT $pid
    wait $pid
    status=$?
    expect "ends as interrupted, its line last" bash -c "[ $status -eq 130 ] && tail -n 1 out.txt | grep -qx '[RW]*错误，转储已中断'"
    expect "the partial file with its map, all of it held" bash -c \
        "[ ! -e x.img ] && cmp -s drive.bin x.img.part && grep -q '^0x00000000  0x08000000  +' x.img.part.map"
}
