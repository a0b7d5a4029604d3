# The image's set: the image takes its name only when complete; its
# fingerprint, map and partial files are its own or missing, whatever
# stands at their names, whatever races the dump, wherever it is killed.

# A link at the image path is replaced by the image; what it pointed to,
# and that file's fingerprint, stay as they were.
case_link_at_image() {
    random_file drive.bin $((3 * MIB + 512))
    random_file other.bin $((2 * MIB))
    given "an image to link to" dump_ok other.bin real.img $((2 * MIB))
    ln -s real.img link.img
    expect "a linked image path gets the image" dump_ok drive.bin link.img $((3 * MIB + 512))
    expect "the link is replaced, its target and fingerprint intact" \
        bash -c "[ ! -L link.img ] && cmp -s other.bin real.img && sha256sum -c --status real.img.sha256"
}

# The image path becomes a link while the partial file is being created:
# the file linked to is never opened for writing, the link is replaced by
# the finished image.
case_link_to_other_mid_create() {
    need_shim
    random_file drive.bin $((3 * MIB + 512))
    cp drive.bin victim.bin
    swap_mid_create drive.bin swap.img victim.bin
    expect "a path swapped for a link to another file mid-create: that file unchanged" \
        bash -c "cmp -s drive.bin victim.bin && [ $status -eq 0 ] && [ ! -L swap.img ] && cmp -s drive.bin swap.img"
}

case_link_to_drive_mid_create() {
    need_shim
    random_file big.bin $((129 * MIB))
    cp big.bin before.bin
    swap_mid_create big.bin self.img big.bin
    expect "a path swapped for a link to the drive mid-create: the drive unchanged, the link replaced by the image" \
        bash -c "cmp -s big.bin before.bin && [ $status -eq 0 ] && [ ! -L self.img ] && cmp -s big.bin self.img"
}

# The second dump finds the first's partial file and is refused, leaving it
# be; the first completes.
case_two_dumps() {
    local first
    need_shim
    random_file big.bin $((129 * MIB))
    random_file drive.bin $((3 * MIB + 512))
    slow_dump first.txt big.bin twice.img
    given "the first dump started" started twice.img.part
    run drive.bin twice.img
    wait $pid
    first=$?
    expect "a second dump into an image being written: refused with 17" fails_with "错误，无法创建镜像文件17"
    expect "the first dump completes with its own bytes" bash -c "[ $first -eq 0 ] && cmp -s big.bin twice.img"
}

# The image's folder swapped for a link mid-dump: the image is never named,
# nor fingerprinted, in the folder that took its name.
case_folder_swapped() {
    need_shim
    random_file big.bin $((129 * MIB))
    mkdir -p swapped evil
    echo attacker >evil/img.part
    slow_dump out.txt big.bin swapped/img
    given "the dump copying" copying out.txt
    mv swapped swapped.orig && ln -s evil swapped
    wait $pid
    status=$?
    expect "a folder swapped mid-dump: a create error, the image kept where it was made" \
        bash -c "tail -n 1 out.txt | grep -q '错误，无法创建镜像文件' && cmp -s big.bin swapped.orig/img.part"
    expect "nothing named or fingerprinted in the folder put in its place" \
        bash -c "[ $status -eq 1 ] && [ ! -e evil/img ] && [ ! -e evil/img.sha256 ] && grep -qx attacker evil/img.part"
}

case_partial_left() {
    random_file drive.bin $((3 * MIB + 512))
    echo earlier >left.img.part
    run drive.bin left.img
    expect "a partial file left by an earlier dump: refused with 17, left alone" \
        bash -c "[ $status -eq 1 ] && tail -n 1 out.txt | grep -qx '错误，无法创建镜像文件17' && grep -qx earlier left.img.part"
}

case_folder_at_fingerprint() {
    random_file drive.bin $((3 * MIB + 512))
    mkdir dir.img.sha256
    run drive.bin dir.img
    expect "a folder at the fingerprint's name: told before the copy" \
        bash -c "[ $status -eq 1 ] && tail -n 1 out.txt | grep -qx '错误，无法写入校验文件21' && [ ! -e dir.img.part ]"
    mkdir folder.img.sha256
    run drive.bin folder.img
    expect "a fingerprint that cannot be written: its error, code 21" fails_with "错误，无法写入校验文件21"
}

# The drive at a name of the image's set is never written through it.
case_drive_at_set_name() {
    local partial
    random_file drive.bin $((3 * MIB + 512))
    for partial in x.part x.sha256.part; do
        cp drive.bin $partial
        run $partial x
        expect "a drive at the partial name '$partial': refused, unchanged" \
            bash -c "[ $status -eq 1 ] && cmp -s drive.bin $partial && [ ! -e x ]"
        rm $partial
    done
    cp drive.bin x.sha256
    run x.sha256 x
    expect "a drive that is the image's fingerprint path: refused, unchanged" \
        bash -c "[ $status -eq 1 ] && cmp -s drive.bin x.sha256 && [ ! -e x ]"
    cp drive.bin d.map
    run --rescue d.map d
    expect "a drive at the map's name: refused, unchanged" \
        bash -c "[ $status -eq 1 ] && cmp -s drive.bin d.map && [ ! -e d ]"
}

# A plain dump over a rescued image: the old map goes with the old image.
case_over_rescued_image() {
    random_file drive.bin $((3 * MIB + 512))
    random_file other.bin $((2 * MIB))
    given "an image to replace" dump_ok other.bin set.img $((2 * MIB))
    printf '# Mapfile\n0x00000000     +               1\n0x00000000  0x00200000  -\n' >set.img.map
    run drive.bin set.img
    expect "a dump over a rescued image: exit 0, no old map beside the new image" \
        bash -c "[ $status -eq 0 ] && set_ok set.img drive.bin"
}

# What a killed dump leaves between its renames is cleared by the next one.
case_killed_leftovers() {
    local name
    random_file drive.bin $((3 * MIB + 512))
    random_file other.bin $((2 * MIB))
    given "an image to replace" dump_ok drive.bin set.img $((3 * MIB + 512))
    for name in set.img.sha256.part set.img.map.part set.img.part.map.part set.img.sha256.old set.img.map.old; do
        case $name in
            *.sha256.*) sha256sum other.bin | sed 's/other.bin/set.img/' >"$name" ;;
            *) echo '# Mapfile, killed' >"$name" ;;
        esac
    done
    run other.bin set.img
    expect "leftovers of a killed dump: cleared, not in the way" bash -c "[ $status -eq 0 ] && set_ok set.img other.bin"
}

# A name the folder cannot hold with the set's longest suffix is refused
# before the copy, not after it with the map lost.
case_name_too_long() {
    local long
    random_file drive.bin $((3 * MIB + 512))
    long=$(printf 'L%.0s' $(seq 242)).img
    run drive.bin "$long"
    expect "an image name too long for its map's partial name: refused before the copy" \
        bash -c "[ $status -eq 1 ] && tail -n 1 out.txt | grep -qx '错误，无法写入映射文件36' && [ -z \"\$(ls | grep '^LLLL')\" ]"
}

# A map of a removed partial file (as an interrupted rescue leaves it) never
# stands beside a new one: ddrescue would skip what it claims.
case_stale_part_map() {
    need_shim
    need_commands ddrescue
    random_file big.bin $((129 * MIB))
    random_file other.bin $((2 * MIB))
    given "an image to replace" dump_ok other.bin set.img $((2 * MIB))
    printf '# Mapfile\n0x00000000     +               1\n0x00000000  0x08100000  +\n' >set.img.part.map
    interrupt_dump INT out.txt big.bin set.img
    expect "an interrupted dump: its own map beside its partial file, from where it stops not tried" \
        bash -c "[ \"\$(grep -v '^#' set.img.part.map | tail -n 1)\" = \"\$(printf '0x%08X  0x%08X  ?' \$(stat -c %s set.img.part) \$(($((129 * MIB)) - \$(stat -c %s set.img.part))))\" ]"
    ddrescue big.bin set.img.part set.img.part.map >/dev/null 2>&1
    expect "ddrescue goes on from it to the whole drive" cmp -s big.bin set.img.part
}

# SIGKILL at one rename of a dump over an image with a fingerprint and a
# map: whatever stands at a name of the set describes the image there, and
# the next dump completes.
sigkill_at_rename() {  # sigkill_at_rename N
    local kill_at=$1 renames=rename,renameat,renameat2
    need_commands strace
    random_file drive.bin $((3 * MIB + 512))
    random_file other.bin $((2 * MIB))
    given "an image to replace" dump_ok other.bin kill.img $((2 * MIB))
    printf '# Mapfile\n0x00000000     +               1\n0x00000000  0x00200000  +\n' >kill.img.map
    cp kill.img.map kill-old.map
    traced -f -qq -o /dev/null -e trace=$renames -e inject=$renames:signal=KILL:when=$kill_at \
        "$korvex" drive.bin kill.img </dev/null >out.txt 2>&1
    expect "SIGKILL at rename $kill_at: the image old or new, every file beside it its own" \
        bash -c "{ { cmp -s other.bin kill.img && { [ ! -e kill.img.map ] || cmp -s kill.img.map kill-old.map; }; } ||
                   { cmp -s drive.bin kill.img && [ ! -e kill.img.map ]; }; } &&
                 { [ ! -e kill.img.sha256 ] || sha256sum -c --status kill.img.sha256; }"
    rm -f kill.img.part
    run drive.bin kill.img
    expect "after SIGKILL at rename $kill_at: the next dump completes" \
        bash -c "[ $status -eq 0 ] && set_ok kill.img drive.bin"
}
case_sigkill_at_rename_1() { sigkill_at_rename 1; }
case_sigkill_at_rename_2() { sigkill_at_rename 2; }
case_sigkill_at_rename_3() { sigkill_at_rename 3; }
case_sigkill_at_rename_4() { sigkill_at_rename 4; }
# The first rename is now the partial file's map kept before the copy.
case_sigkill_at_rename_5() { sigkill_at_rename 5; }

# The folder's flush fails after the image took its name: not exit 1, which
# promises the old image, but 4, the new image named.
case_rename_not_flushed() {
    local after fsyncs
    need_commands strace
    random_file drive.bin $((3 * MIB + 512))
    random_file other.bin $((2 * MIB))
    given "an image to replace" dump_ok other.bin sync.img $((2 * MIB))
    traced -f -qq -o trace.txt -e trace=fsync,renameat "$korvex" drive.bin sync.img </dev/null >/dev/null 2>&1
    after=$(grep -n 'renameat(.*"sync.img"' trace.txt | cut -d: -f1)
    given "the image's rename in the trace" [ -n "$after" ]
    fsyncs=$(head -n $((after + 1)) trace.txt | grep -c fsync)
    given "the image replaced again" dump_ok other.bin sync.img $((2 * MIB))
    traced -f -qq -o /dev/null -e trace=fsync -e inject=fsync:error=EIO:when=$fsyncs \
        "$korvex" drive.bin sync.img </dev/null >out.txt 2>&1
    status=$?
    expect "the image's rename not flushed: exit 4, its line, the new image named with its fingerprint" \
        bash -c "[ $status -eq 4 ] && tail -n 1 out.txt | grep -qx '[RW]*错误，无法创建镜像文件5' && set_ok sync.img drive.bin"
}

# An image named like another image's fingerprint is no fingerprint: a dump
# into that other image is refused before the copy and leaves it be.
case_image_at_a_sidecar_name() {
    random_file drive.bin $((2 * MIB))
    random_file other.bin $((3 * MIB))
    given "an image named x.img.sha256" dump_ok other.bin x.img.sha256 $((3 * MIB))
    run drive.bin x.img
    expect "a dump into x.img: refused with the fingerprint's line and 17, x.img.sha256 intact" \
        bash -c "[ $status -eq 1 ] && tail -n 1 out.txt | grep -qx '错误，无法写入校验文件17' && cmp -s other.bin x.img.sha256 && [ ! -e x.img ] && [ ! -e x.img.part ]"
}

# A link to nothing at a leftover name is something there all the same:
# refused before the copy, not after it.
case_dangling_link_at_a_leftover_name() {
    random_file drive.bin $((2 * MIB))
    ln -s /nonexistent x.img.sha256.part
    run drive.bin x.img
    expect "a dangling link at x.img.sha256.part: refused before the copy with 17, the link kept" \
        bash -c "[ $status -eq 1 ] && tail -n 1 out.txt | grep -qx '错误，无法写入校验文件17' && [ -L x.img.sha256.part ] && [ ! -e x.img.part ] && ! grep -q R out.txt"
}
