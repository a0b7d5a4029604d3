# Storage shared with the drive, refused before anything is touched,
# whatever names lead to it: the backing file of a loop device, another
# loop device over it, the drive's own file system, an overlay writing
# into it, bindfs views; and ramfs, which takes no direct I/O.

# A loop device over a file of random bytes, and a copy to compare with.
loop_drive() {  # loop_drive BYTES
    need_root
    need_commands losetup
    random_file loop.bin "$1"
    cp loop.bin loop-before.bin
    given "a loop device over loop.bin" attach_loop loop loop.bin
}

# A loop device whose ext4 file system is mounted at mnt.
mounted_drive() {
    need_commands mkfs.ext4
    loop_drive $((16 * MIB))
    mkfs.ext4 -q "$loop" 2>/dev/null || skip_case "mkfs.ext4 fails on a loop device"
    mounted mnt mount "$loop" mnt || skip_case "a loop device's file system cannot be mounted"
}

# A file system that refuses O_DIRECT only after it made the file (ramfs,
# and tmpfs before Linux 6.6): the image goes through the page cache.
case_ramfs() {
    need_root
    random_file drive.bin $((3 * MIB + 512))
    mounted ram mount -t ramfs ramfs ram || skip_case "ramfs cannot be mounted"
    run drive.bin ram/r.img
    expect "an image on ramfs: complete, nothing left over" bash -c "[ $status -eq 0 ] && set_ok ram/r.img drive.bin"
}

# The drive's backing file, and a second loop device over that file (as a
# partition would be, where the kernel scans partition tables).
case_loop_backing_file() {
    local target loop2
    loop_drive $((8 * MIB + 512))
    given "a second loop device over loop.bin" attach_loop loop2 --offset $MIB loop.bin
    for target in loop.bin "$loop2"; do
        run "$loop" "$target"
        expect "image '$target' shares the drive's storage: refused" fails_with "错误，无法创建镜像文件22"
        expect "drive unchanged after '$target'" cmp -s loop.bin loop-before.bin
    done
    run "$loop2" "$loop"
    expect "a device that holds the drive: refused" fails_with "错误，无法创建镜像文件22"
}

# A loop device over the drive's loop device, through a node since removed.
case_loop_over_loop() {
    local loop2
    loop_drive $((8 * MIB + 512))
    mknod node b $(stat -c '%Hr %Lr' "$loop")
    given "a loop device over the drive's" attach_loop loop2 node
    rm node
    run "$loop2" loop.bin
    expect "a loop device over the drive's loop device: its file refused" fails_with "错误，无法创建镜像文件22"
    expect "drive unchanged" cmp -s loop.bin loop-before.bin
}

case_own_file_system() {
    mounted_drive
    run "$loop" mnt/self.img
    expect "an image on the drive's own file system: refused" fails_with "错误，无法创建镜像文件22"
    expect "nothing created on the drive's file system" test ! -e mnt/self.img
}

case_overlay() {
    mounted_drive
    mkdir mnt/up mnt/work lower
    mounted overlay mount -t overlay overlay -o "lowerdir=$PWD/lower,upperdir=$PWD/mnt/up,workdir=$PWD/mnt/work" overlay ||
        skip_case "an overlay on the drive's file system cannot be mounted"
    run "$loop" overlay/self.img
    expect "an overlay that writes into the drive's file system: refused" fails_with "错误，无法创建镜像文件22"
}

# Views lead to the storage behind them: a bindfs view of the drive's
# folder, and of the drive's own mounted file system.
case_view_of_folder() {
    need_root
    need_commands bindfs
    random_file drive.bin $((3 * MIB + 512))
    mkdir data
    cp drive.bin data/vm.img
    mounted view bindfs data view 2>/dev/null || skip_case "bindfs cannot mount here"
    run data/vm.img view/vm.img
    expect "the drive through a view of its folder: refused" fails_with "错误，无法创建镜像文件22"
    expect "the drive unchanged, nothing created" bash -c "cmp -s drive.bin data/vm.img && [ ! -e data/vm.img.part ]"
}

case_view_of_file_system() {
    need_commands bindfs
    mounted_drive
    mounted view bindfs mnt view 2>/dev/null || skip_case "bindfs cannot mount here"
    run "$loop" view/x.img
    expect "a view of the drive's mounted file system: refused" fails_with "错误，无法创建镜像文件22"
    expect "nothing written into it" test ! -e mnt/x.img.part
}
