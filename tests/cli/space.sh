# Room for the image and its fingerprint is reserved before the first read:
# an image that cannot fit fails at once, leaving nothing behind and an old
# image as it was; a read-only file system is refused.

small_fs() {  # small_fs MOUNT-OPTIONS: a tmpfs at mnt
    need_root
    mounted mnt mount -t tmpfs -o "$1" tmpfs mnt || skip_case "a tmpfs cannot be mounted"
}

# An image that just fits leaves no room for its fingerprint.
case_no_room_for_fingerprint() {
    small_fs size=$MIB
    random_file mib.bin $MIB
    run mib.bin mnt/e.img
    expect "an exact fit, no room for the fingerprint: create error 28" fails_with "错误，无法创建镜像文件28"
    expect "refused before the first read, nothing left" bash -c "! grep -q R out.txt && [ -z \"\$(ls mnt)\" ]"
}

# Each file beside the image takes a block of its own however small: room
# for the image and two blocks is no room for its fingerprint, record and
# partial map, and is told before the copy; a third block is enough.
case_no_room_for_the_files_beside() {
    small_fs size=$((MIB + 8192))
    random_file mib.bin $MIB
    run mib.bin mnt/e.img
    expect "room for two of three small files: create error 28" fails_with "错误，无法创建镜像文件28"
    expect "refused before the first read, nothing left" bash -c "! grep -q R out.txt && [ -z \"\$(ls mnt)\" ]"
    unmount mnt
    # The map kept while the copy runs stands outside the image's
    # reservation, beside its own partial file as it is replaced: two
    # blocks more.
    small_fs size=$((MIB + 20480))
    run mib.bin mnt/e.img
    expect "room for all three and the kept map: complete" bash -c "[ $status -eq 0 ] && set_ok mnt/e.img mib.bin"
}

case_no_room_beside_old() {
    local since took
    small_fs size=$((50 * MIB))
    sparse_file loop.bin $((100 * MIB + 512))
    random_file mnt/big.img $((20 * MIB))
    (cd mnt && sha256sum big.img >big.img.sha256)
    since=$(date +%s%N)
    run loop.bin mnt/big.img
    took=$((($(date +%s%N) - since) / 1000000))
    expect "no room for the image: create error 28 before the first read" fails_with "错误，无法创建镜像文件28"
    expect "refused in under a second (${took} ms), nothing left beside the old image" \
        bash -c "[ $took -lt 1000 ] && ! grep -q R out.txt && [ ! -e mnt/big.img.part ]"
    expect "the old image and its fingerprint intact" bash -c "cd mnt && sha256sum -c --status big.img.sha256"
}

case_read_only() {
    small_fs ro
    random_file drive.bin $((3 * MIB + 512))
    run drive.bin mnt/e.img
    expect "a read-only target: create error 30" fails_with "错误，无法创建镜像文件30"
}
