# Options: --help and --version, an unknown one, the count of
# --max-failed-reads, and options anywhere up to
# "--", as GNU programs take them.

# --help: the banner, the real syntax rather than the usage block's, every
# option and every exit status.
help_ok() {
    local line
    timeout 10 "$korvex" --help </dev/null >out.txt || return 1
    head -n 1 out.txt | cmp -s - <(usage_text | head -n 1) && ! grep -q 'Korvex \[Drive\]' out.txt || return 1
    for line in '^Usage: korvex \[--resume\] \[--rescue \[--max-failed-reads N\] | --level N\] \[--verify\] DRIVE IMAGE$' '^ *korvex --help | --version$' \
        '^ *korvex --list$' '^  --list ' '^  --rescue ' '^  --max-failed-reads N$' '^  --level N ' '^  --verify ' '^  --resume ' \
        '^  -h, --help ' '^  -V, --version ' '^  -- ' '^  0 ' '^  1 ' '^  2 ' '^  3 ' '^  4 '; do
        grep -q -- "$line" out.txt || { echo "--help: no line $line"; return 1; }
    done
}
case_help() {
    expect "--help: the real usage, every option and exit status, no wait, exit 0" help_ok
}

case_version() {
    local flag
    for flag in --version -V; do
        "$korvex" $flag </dev/null >out.txt
        expect "$flag: korvex and its version" bash -c "[ $? -eq 0 ] && grep -qx 'korvex [0-9][0-9.]*' out.txt"
    done
}

case_unknown() {
    usage_text >usage.txt
    random_file drive.bin $((3 * MIB + 512))
    "$korvex" --frobnicate drive.bin x.img </dev/null >out.txt
    status=$?
    expect "an unknown option: the usage, a line naming it, exit 2, nothing done" \
        bash -c "[ $status -eq 2 ] && head -n 6 out.txt | cmp -s - usage.txt && tail -n 1 out.txt | grep -qx '错误，未知选项: --frobnicate' && [ ! -e x.img ]"
    for bad in "--max-failed-reads=-1" "--max-failed-reads x" "--max-failed-reads"; do
        "$korvex" --rescue drive.bin x.img $bad </dev/null >out.txt
        status=$?
        expect "a count that is none ($bad): the usage, a line naming it, exit 2, nothing done" \
            bash -c "[ $status -eq 2 ] && head -n 6 out.txt | cmp -s - usage.txt && tail -n 1 out.txt | grep -qx '错误，选项的值无效: $bad' && [ ! -e x.img ]"
    done
}

case_after_drive() {
    random_file drive.bin $((3 * MIB + 512))
    expect "an option after the drive, the image forgotten: the usage, exit 2" usage_ok 2 drive.bin --rescue
    expect "nothing made under the option's name" bash -c "! ls -d ./--rescue* 2>/dev/null"
}

case_after_image() {
    random_file drive.bin $((3 * MIB + 512))
    run drive.bin late.img --rescue
    expect "an option after the image: a rescue, its map beside the image" \
        bash -c "[ $status -eq 0 ] && cmp -s drive.bin late.img && [ -f late.img.map ]"
}

case_double_dash() {
    random_file drive.bin $((3 * MIB + 512))
    run -- drive.bin -x.img
    expect "after --, a name that begins with -: the image" bash -c "[ $status -eq 0 ] && cmp -s drive.bin ./-x.img"
}

case_extra_arguments() {
    random_file drive.bin $((3 * MIB + 512))
    run drive.bin image.img extra arguments
    expect "arguments after the second are ignored" bash -c "[ $status -eq 0 ] && cmp -s drive.bin image.img"
}

# --max-failed-reads N, or =N: the count is the option's, never the drive;
# a count missing or not a number is a mistake in the command line, never
# taken as 0 or as the default.
case_max_failed_reads() {
    local args
    random_file drive.bin $((3 * MIB + 512))
    for args in "--max-failed-reads 7" "--max-failed-reads=18446744073709551615"; do
        run --rescue $args drive.bin counted.img
        expect "$args before the drive: a rescue of the drive" \
            bash -c "[ $status -eq 0 ] && cmp -s drive.bin counted.img && [ -f counted.img.map ]"
        rm -f counted.img*
    done
    for args in "drive.bin x.img --max-failed-reads" "--max-failed-reads= drive.bin x.img" \
        "--max-failed-reads ten drive.bin x.img" "--max-failed-reads=3x drive.bin x.img" \
        "--max-failed-reads=18446744073709551616 drive.bin x.img"; do
        run --rescue $args
        expect "--rescue $args: exit 2, nothing made" \
            bash -c "[ $status -eq 2 ] && [ ! -e x.img ] && [ ! -e x.img.part ] && [ ! -e x.img.map ]"
    done
}
