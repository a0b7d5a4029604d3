# Failure paths of a plain dump: no drive, no folder for the image, the
# drive itself as the image, a full disk, a file-size limit, a drive this
# user cannot open.

case_invalid_drive() {
    local drive
    mkdir folder
    for drive in nosuchdrive "" folder /dev/null; do
        run "$drive" out.img
        printf '驱动器: %s\n镜像文件: out.img\n错误，不是有效的驱动器\n' "$drive" >want.txt
        expect "invalid drive '$drive'" bash -c "[ $status -eq 1 ] && cmp -s out.txt want.txt && [ ! -e out.img ]"
    done
}

case_missing_folder() {
    random_file drive.bin $((3 * MIB + 512))
    run drive.bin missing/dir/image.img
    { plan_text drive.bin missing/dir/image.img $((3 * MIB + 512)); printf '\n开始转储...\n错误，无法创建镜像文件2\n'; } >want.txt
    expect "image folder missing: create error 2" bash -c "[ $status -eq 1 ] && cmp -s out.txt want.txt"
}

case_image_is_drive() {
    local same
    random_file drive.bin $((3 * MIB + 512))
    cp drive.bin before.bin
    ln drive.bin drive-link.bin
    for same in drive.bin ./drive.bin drive-link.bin; do
        run drive.bin "$same"
        expect "image path '$same' names the drive: refused" fails_with "错误，无法创建镜像文件22"
        expect "drive '$same' unchanged" cmp -s drive.bin before.bin
    done
}

case_full_disk() {
    random_file drive.bin $((3 * MIB + 512))
    run drive.bin /dev/full
    expect "full disk: write error 28" fails_with "错误，无法写入镜像28"
}

case_empty_image_path() {
    random_file drive.bin $((3 * MIB + 512))
    echo precious >.sha256
    run drive.bin ""
    expect "an empty image path removes no fingerprint" bash -c "[ $status -eq 1 ] && grep -q precious .sha256"
}

case_file_size_limit() {
    sparse_file big.bin $((129 * MIB))
    (ulimit -f $((CHUNK / 1024)); "$korvex" big.bin limited.img </dev/null >out.txt)
    status=$?
    expect "past a file-size limit: refused at creation with 27" fails_with "错误，无法创建镜像文件27"
    expect "no mark and nothing left" bash -c "! grep -q R out.txt && [ ! -e limited.img ] && [ ! -e limited.img.part ]"
}

# Nothing past the drive's end: exactly the drive's bytes fit the limit.
case_exact_fit_limit() {
    random_file fit.bin 5120
    (ulimit -f 5; "$korvex" fit.bin fit.img </dev/null >/dev/null)
    expect "an image that exactly fits the file-size limit" bash -c "[ $? -eq 0 ] && cmp -s fit.bin fit.img"
}

case_drive_not_opened() {
    need_nobody
    mkdir open && chmod 777 open
    random_file secret.bin $MIB && chmod 600 secret.bin
    as_nobody "$korvex" secret.bin open/image.img </dev/null >out.txt
    status=$?
    { plan_text secret.bin open/image.img $MIB; printf '错误，无法打开驱动器13\n'; } >want.txt
    expect "drive sized but not opened: open error 13" bash -c "[ $status -eq 1 ] && cmp -s out.txt want.txt"
    expect "no image created when the drive cannot be opened" test ! -e open/image.img
}

case_drive_in_hidden_folder() {
    need_nobody
    mkdir open && chmod 777 open
    mkdir hidden && chmod 700 hidden
    random_file hidden/secret.bin $MIB && chmod 600 hidden/secret.bin
    as_nobody "$korvex" hidden/secret.bin open/image.img </dev/null >out.txt
    status=$?
    expect "a drive in a folder this user cannot search: open error 13" \
        bash -c "[ $status -eq 1 ] && tail -n 1 out.txt | grep -qx '错误，无法打开驱动器13'"
}
