# korvex --list: a loop device, its file system and mount point, or its
# partitions under it, the system's disk marked, the columns lined up, and
# the same list for a user without rights.

# in_columns MODE ARGS...: out.txt read as terminal places (a Chinese
# character takes two).
#   in_columns under HEAD PREFIX=TEXT...: in the line that begins with
#     PREFIX, TEXT starts where HEAD starts in the heads' line.
#   in_columns marked: the drives with a yes under the system disk's head.
in_columns() {
    python3 - out.txt "$@" <<'PY'
import sys, unicodedata
lines = open(sys.argv[1], encoding="utf-8").read().split("\n")
def place(line, at):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line[:at])
def starts(line, text):
    return [place(line, at) for at in range(len(line)) if line.startswith(text, at)]
def head(text):
    return place(lines[0], lines[0].index(text))
if sys.argv[2] == "marked":
    print(" ".join(l.split()[0] for l in lines[1:] if head("系统盘") in starts(l, "是")))
    sys.exit()
for pair in sys.argv[4:]:
    prefix, text = pair.split("=", 1)
    line = next((l for l in lines if l.startswith(prefix)), "")
    if head(sys.argv[3]) not in starts(line, text):
        sys.exit(f"{text!r} not under {sys.argv[3]}:\n" + "\n".join(lines))
PY
}

# size_text BYTES: decimal and binary units, one decimal, from awk's arithmetic.
size_text() {
    awk -v b="$1" 'BEGIN { printf "%.1f MB (%.1f MiB)", b / 1e6, b / 1048576 }'
}

# A file system on the whole loop device: the list as root and as a user
# without rights, the root file system's disk marked.
case_loop_mounted() {
    local loop mount root disk
    need_root
    need_commands losetup mkfs.ext4 python3
    sparse_file disk.bin $((64 * MIB))
    given "a loop device over disk.bin" attach_loop loop disk.bin
    given "an ext4 file system on $loop" mkfs.ext4 -q -L korvexlist "$loop"
    mounted mnt mount "$loop" mnt || skip_case "a loop device's file system cannot be mounted"
    mount=$(realpath mnt)
    "$korvex" --list </dev/null >out.txt
    expect "--list: exit 0" [ $? -eq 0 ]
    expect "the loop device: size, file system, mount point, backing file" \
        grep -q "^$loop  *$(size_text $((64 * MIB))) .* ext4  *$mount  *$work/disk.bin$" out.txt
    expect "size under its head" in_columns under 大小 "$loop =$(size_text $((64 * MIB)))"
    expect "file system under its head" in_columns under 文件系统 "$loop =ext4"
    expect "mount point under its head" in_columns under 挂载点 "$loop =$mount"
    # The root file system's disk, as lsblk finds it: a partition's disk, or
    # the device itself.
    root=$(findmnt -n -o SOURCE / | sed 's/\[.*//')
    if [ -b "$root" ]; then
        disk=$(lsblk -n -d -o PKNAME "$root" 2>/dev/null | head -n 1)
        disk=/dev/${disk:-$(basename "$root")}
        expect "the root file system's disk ($disk), and only it, marked" [ "$(in_columns marked)" = "$disk" ]
    fi
    if command -v setpriv >/dev/null && as_nobody test -x "$work"; then
        (cd / && as_nobody "$korvex" --list </dev/null) >nobody.txt
        # Only this case's drive and the system's disk: other cases attach
        # and detach loop devices meanwhile, and the columns widen with them.
        local mine; mine="^\($loop\|${disk:-$loop}\) "
        expect "the same lines for a user without rights" \
            bash -c "grep -q '^$loop ' nobody.txt && diff <(grep '$mine' out.txt | tr -s ' ') <(grep '$mine' nobody.txt | tr -s ' ') >/dev/null"
    fi
}

# A partition table: each partition under its disk, with its own size.
case_loop_partition() {
    local loop
    need_root
    need_commands losetup sfdisk
    sparse_file disk.bin $((64 * MIB))
    echo 'start=2048, size=98304, type=c' | sfdisk -q disk.bin >/dev/null 2>&1 || skip_case "sfdisk cannot write a table"
    given "a loop device over disk.bin, its partitions scanned" attach_loop loop -P disk.bin
    [ -d "/sys/block/${loop#/dev/}/${loop#/dev/}p1" ] || skip_case "partitions of a loop device: none shown"
    "$korvex" --list </dev/null >out.txt
    expect "the partition right under its disk, indented, with its size" \
        bash -c "grep -A1 '^$loop ' out.txt | tail -n 1 | grep -q '^  ${loop}p1  *$(size_text $((48 * MIB))) '"
}

# A loop device's file named with a line end: the whole name, its line end
# shown escaped, not the name's first line (which may name another file),
# and " (deleted)" once the file is gone.
case_loop_backing_line_end() {
    local loop
    need_root
    need_commands losetup
    sparse_file $'a\nb.bin' $((8 * MIB))
    given "a file at the first line's name, which is no loop device's" sparse_file a $((8 * MIB))
    given "a loop device over the file" attach_loop loop $'a\nb.bin'
    "$korvex" --list </dev/null >out.txt
    expect "--list: the whole name of $loop's file" grep -q "^$loop .* $work/a\\\\x0ab\\.bin$" out.txt
    rm $'a\nb.bin'
    "$korvex" --list </dev/null >out.txt
    expect "--list: $loop's file deleted" grep -q "^$loop .* $work/a\\\\x0ab\\.bin (deleted)$" out.txt
}
