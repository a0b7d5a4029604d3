# Block devices: a loop device as the drive, a device as the image (of the
# drive's size, or mounted and so refused), partitions of one disk.

need_loop() {
    need_root
    need_commands losetup
}

case_loop_dump() {
    need_loop
    random_file loop.bin $((100 * MIB + 512))
    given "a loop device over loop.bin" attach_loop loop loop.bin
    expect "dump of a loop device" dump_ok "$loop" loop.img $((100 * MIB + 512))
    expect "loop image equals its file" cmp -s loop.bin loop.img
}

case_loop_not_opened() {
    need_loop
    need_nobody
    sparse_file loop.bin $((100 * MIB + 512))
    given "a loop device over loop.bin" attach_loop loop loop.bin
    mkdir open && chmod 777 open
    as_nobody "$korvex" "$loop" open/loop.img </dev/null >out.txt
    status=$?
    { plan_text "$loop" open/loop.img $((100 * MIB + 512)); printf '错误，无法打开驱动器13\n'; } >want.txt
    expect "block device sized from sysfs, then open error 13" bash -c "[ $status -eq 1 ] && cmp -s out.txt want.txt"
}

case_device_as_image() {
    local target
    need_loop
    random_file sectors.bin $((1001 * 512))
    head -c $((1001 * 512)) /dev/zero >target.bin
    given "a loop device over target.bin" attach_loop target target.bin
    run sectors.bin "$target"
    expect "a device of the drive's size as the image" bash -c "[ $status -eq 0 ] && cmp -s sectors.bin $target"
}

# A block device that is mounted (or otherwise held) is refused as the image
# with EBUSY, its file system untouched; so is a second loop device over the
# file of a mounted one.
case_mounted_as_image() {
    local busy busy2
    need_loop
    need_commands mkfs.ext4 e2fsck
    random_file drive.bin $((3 * MIB + 512))
    head -c $((32 * MIB)) /dev/zero >busy.bin
    given "a loop device over busy.bin" attach_loop busy busy.bin
    mkfs.ext4 -q "$busy" 2>/dev/null || skip_case "mkfs.ext4 fails on a loop device"
    mounted mnt mount "$busy" mnt || skip_case "a loop device's file system cannot be mounted"
    echo precious >mnt/file
    run drive.bin "$busy"
    expect "a mounted device as the image: create error 16" fails_with "错误，无法创建镜像文件16"
    given "a second loop device over busy.bin" attach_loop busy2 busy.bin
    run drive.bin "$busy2"
    expect "another loop device over a mounted one's file: create error 16" fails_with "错误，无法创建镜像文件16"
    umount mnt
    expect "its file system clean" bash -c "e2fsck -fn $busy >/dev/null 2>&1"
}

# Partitions are parts of their disk: one is imaged into a file on another,
# but never into the whole disk.
case_partitions() {
    local disk
    need_loop
    need_commands sfdisk mkfs.ext4
    head -c $((40 * MIB)) /dev/zero >parted.bin
    printf 'start=2048, size=20480\nstart=22528\n' | sfdisk -q parted.bin >/dev/null 2>&1
    given "a loop device over parted.bin" attach_loop disk -P parted.bin
    [ -b "${disk}p2" ] || partx -a "$disk" 2>/dev/null
    [ -b "${disk}p1" ] && [ -b "${disk}p2" ] || skip_case "partitions of a loop device: none shown"
    mkfs.ext4 -q "${disk}p2" 2>/dev/null || skip_case "mkfs.ext4 fails on a partition"
    mounted mnt mount "${disk}p2" mnt || skip_case "a partition's file system cannot be mounted"
    run "${disk}p1" mnt/p1.img
    expect "a partition into a file on another partition of its disk" \
        bash -c "[ $status -eq 0 ] && cmp -s ${disk}p1 mnt/p1.img"
    run "${disk}p1" "$disk"
    expect "a partition into its whole disk: refused" fails_with "错误，无法创建镜像文件22"
}

# A drive with a file system mounted writable on it may change while it is
# read: the lock's warning (busy), then a complete dump, whose image may
# differ from the drive by what the file system wrote meanwhile. The same
# holds for the drive's backing file, and for a second loop device over
# that file. Mounted read-only, the drive is still: no warning.
case_mounted_drive() {
    local fs second drive
    need_loop
    need_commands mkfs.ext4
    head -c $((24 * MIB)) /dev/zero >fs.bin
    mkfs.ext4 -q fs.bin 2>/dev/null || skip_case "mkfs.ext4 fails"
    given "a loop device over fs.bin" attach_loop fs fs.bin
    mounted mnt mount "$fs" mnt || skip_case "a loop device's file system cannot be mounted"
    given "a second loop device over fs.bin" attach_loop second fs.bin
    for drive in "$fs" fs.bin "$second"; do
        run "$drive" rw.img
        expect "'$drive', mounted writable: the warning, then a complete dump" bash -c "
            [ $status -eq 0 ] && [ \"\$(sed -n 6p out.txt)\" = '警告，无法锁定驱动器，镜像可能不一致16' ] &&
            [ \"\$(tail -n 1 out.txt)\" = '转储完成！' ] && [ \$(stat -c %s rw.img) -eq $((24 * MIB)) ] &&
            sha256sum -c --status rw.img.sha256"
        rm -f rw.img rw.img.sha256
    done
    # The device's cache may hold what its file system never wrote: the
    # image is compared with the file under it.
    given "the file system remounted read-only" mount -o remount,ro mnt
    run "$fs" ro.img
    expect "mounted read-only: no warning, the drive's bytes" bash -c "
        [ $status -eq 0 ] && [ \$(wc -l <out.txt) -eq 9 ] && [ \"\$(tail -n 1 out.txt)\" = '转储完成！' ] &&
        cmp -s fs.bin ro.img"
}

# The warning for a file mounted writable through a loop device finds that
# loop device whatever the file's name: one with a line end in it is still
# the file the loop device reads (the kernel names it so in backing_file,
# and in LOOP_GET_STATUS64 by its device and inode).
case_mounted_drive_name_with_line_end() {
    local fs drive
    need_loop
    need_commands mkfs.ext4
    drive=$'fs\nname.bin'
    head -c $((24 * MIB)) /dev/zero >"$drive"
    mkfs.ext4 -q -F "$drive" 2>/dev/null || skip_case "mkfs.ext4 fails"
    given "a loop device over the file" attach_loop fs "$drive"
    mounted mnt mount "$fs" mnt || skip_case "a loop device's file system cannot be mounted"
    run "$drive" rw.img
    expect "the file, mounted writable through $fs: the warning, then a complete dump" bash -c "
        [ $status -eq 0 ] && grep -qx '警告，无法锁定驱动器，镜像可能不一致16' out.txt &&
        [ \"\$(tail -n 1 out.txt)\" = '转储完成！' ]"
}

# A file system mounted writable in another mount namespace (a container,
# a service with mounts of its own) writes to the drive all the same; this
# process's mount table does not show it, but the device is claimed
# (an exclusive open fails with EBUSY).
case_mounted_drive_other_namespace() {
    local fs
    need_loop
    need_commands mkfs.ext4 unshare
    head -c $((24 * MIB)) /dev/zero >fs.bin
    mkfs.ext4 -q fs.bin 2>/dev/null || skip_case "mkfs.ext4 fails"
    given "a loop device over fs.bin" attach_loop fs fs.bin
    mkdir -p mnt
    unshare -m --propagation private sh -c "mount '$fs' '$work/mnt' && touch '$work/ready' && exec sleep infinity" &
    pid=$!
    awaits 200 test -e ready || skip_case "no file system mounted in a mount namespace of its own"
    given "$fs not mounted in this namespace" bash -c "! grep -q '$work/mnt' /proc/self/mountinfo"
    run "$fs" rw.img
    expect "'$fs', mounted writable in another namespace: the warning, then a complete dump" bash -c "
        [ $status -eq 0 ] && grep -qx '警告，无法锁定驱动器，镜像可能不一致16' out.txt &&
        [ \"\$(tail -n 1 out.txt)\" = '转储完成！' ]"
}

# A loop device whose file was deleted still reads it, and so does a second
# loop device over that file, mounted writable: the warning, as before the
# file was deleted (backing_file then names it with " (deleted)"; the
# kernel still tells its device and inode).
case_mounted_drive_backing_deleted() {
    local fs second
    need_loop
    need_commands mkfs.ext4
    head -c $((24 * MIB)) /dev/zero >fs.bin
    mkfs.ext4 -q fs.bin 2>/dev/null || skip_case "mkfs.ext4 fails"
    given "a loop device over fs.bin" attach_loop fs fs.bin
    given "a second loop device over fs.bin" attach_loop second fs.bin
    mounted mnt mount "$second" mnt || skip_case "a loop device's file system cannot be mounted"
    run "$fs" rw.img
    given "the warning while fs.bin is there" grep -qx '警告，无法锁定驱动器，镜像可能不一致16' out.txt
    rm -f rw.img rw.img.sha256
    # backing_file still begins with the case's folder: the cleanup
    # detaches both.
    given "fs.bin deleted" rm fs.bin
    run "$fs" rw.img
    expect "'$fs', its file deleted, a second loop device over it mounted writable: the warning, then a complete dump" bash -c "
        [ $status -eq 0 ] && grep -qx '警告，无法锁定驱动器，镜像可能不一致16' out.txt &&
        [ \"\$(tail -n 1 out.txt)\" = '转储完成！' ]"
}
