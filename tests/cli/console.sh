# The console is a report and never the image: a FIFO gets exactly the
# drive, also with the console closed; the console itself is refused; a
# console closed mid-dump neither stops nor harms it.

case_fifo() {
    local console
    random_file small.bin 1000
    mkfifo pipe
    for console in open closed; do
        cat pipe >stream.bin &
        if [ $console = open ]; then "$korvex" small.bin pipe </dev/null >/dev/null; else "$korvex" small.bin pipe <&- >&-; fi
        status=$?
        wait
        expect "a FIFO gets exactly the drive's bytes, console $console, no fingerprint" \
            bash -c "[ $status -eq 0 ] && cmp small.bin stream.bin && [ ! -e pipe.sha256 ]"
    done
}

case_stdout_as_image() {
    random_file drive.bin $((3 * MIB + 512))
    "$korvex" drive.bin /dev/stdout </dev/null >console.img
    status=$?
    expect "the console as the image: refused" bash -c "[ $status -eq 1 ] && tail -n 1 console.img | grep -qx '错误，无法创建镜像文件22'"
}

# Long enough that head is gone before the marks are written.
case_closed_mid_dump() {
    random_file big.bin $((129 * MIB))
    "$korvex" big.bin piped.img </dev/null | head -n 1 >/dev/null
    expect "a console closed mid-dump: the dump completes" bash -c "[ ${PIPESTATUS[0]} -eq 0 ] && cmp -s big.bin piped.img"
}
