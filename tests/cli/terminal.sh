# A terminal (a pseudo-terminal made by script): never the image; its title
# saved, shown and restored, nothing of it through a pipe or on a dumb
# terminal; names on it shown escaped so that none can drive it.

case_tty_as_image() {
    need_commands script
    random_file drive.bin $((3 * MIB + 512))
    script -qc "'$korvex' drive.bin /dev/tty; echo status=\$?" /dev/null </dev/null >tty.txt 2>&1
    expect "a terminal as the image: refused" bash -c "grep -q '错误，无法创建镜像文件22' tty.txt && grep -q status=1 tty.txt"
}

# The title's first sequence comes at the start of the copy, with 0%.
case_title() {
    need_commands script
    random_file drive.bin $((3 * MIB + 512))
    TERM=xterm script -qc "'$korvex' drive.bin titled.img" /dev/null </dev/null >tty.txt 2>&1
    expect "a terminal's title: saved, shown with the percent, restored" \
        bash -c "grep -q $'\e\\[22;0t' tty.txt && grep -q $'\e\\]0;korvex drive.bin 0%\a' tty.txt && grep -q $'\e\\[23;0t' tty.txt"
}

case_dumb_no_title() {
    need_commands script
    random_file drive.bin $((3 * MIB + 512))
    TERM=dumb script -qc "'$korvex' drive.bin titled.img" /dev/null </dev/null >tty.txt 2>&1
    expect "no title on a dumb terminal" bash -c "! grep -q $'\e' tty.txt"
}

case_pipe_no_title() {
    random_file drive.bin $((3 * MIB + 512))
    TERM=xterm "$korvex" drive.bin titled.img </dev/null | cat >pipe.txt
    expect "no title through a pipe" bash -c "! grep -q $'\e' pipe.txt && tail -n 1 pipe.txt | grep -qx '转储完成！'"
}

# The terminal ends lines with CR LF; no other CR may come.
hostile=$'x\e]0;PWNED\a\e[2J\r转储完成！.img'
tame() {
    tr -d '\r' <tty.txt | grep -qxF '镜像文件: x\x1b]0;PWNED\x07\x1b[2J\x0d转储完成！.img' &&
        ! grep -q $'[\e\a]' tty.txt && ! sed $'s/\r$//' tty.txt | grep -q $'\r'
}
case_hostile_name() {
    need_commands script
    random_file drive.bin $((3 * MIB + 512))
    HOSTILE=$hostile TERM=dumb script -qc "'$korvex' drive.bin \"\$HOSTILE\"" /dev/null </dev/null >tty.txt 2>&1
    expect "a hostile image name on a terminal: escaped, none of its ESC, BEL or CR" tame
}

case_hostile_name_pipe() {
    random_file drive.bin $((3 * MIB + 512))
    "$korvex" drive.bin "$hostile" </dev/null | cat >pipe.txt
    expect "the same name into a pipe: as given" grep -qxF "镜像文件: $hostile" pipe.txt
}
