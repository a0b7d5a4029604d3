# Signals: an interrupt stops the dump with the old image and fingerprint
# intact, the bytes so far under the partial name, one line, and the
# signal's status; a signal that is no interrupt (EINTR) is no failure.

interrupted_by() {  # interrupted_by SIGNAL
    local signal=$1 number
    need_shim
    random_file big.bin $((129 * MIB))
    random_file other.bin $((2 * MIB))
    given "an image to keep" dump_ok other.bin old.img $((2 * MIB))
    interrupt_dump "$signal" out.txt big.bin old.img
    number=$(kill -l "$signal")
    expect "SIG$signal mid-dump: status $((128 + number)), the interrupt's line last" \
        bash -c "[ $status -eq $((128 + number)) ] && tail -n 1 out.txt | grep -qx '[RW]*错误，转储已中断'"
    expect "SIG$signal: the old image and fingerprint intact, the partial file a prefix of the drive" \
        bash -c "sha256sum -c --status old.img.sha256 && cmp -s other.bin old.img &&
                 [ \$(stat -c %s old.img.part) -lt $((129 * MIB)) ] && cmp -s -n \$(stat -c %s old.img.part) big.bin old.img.part"
}
case_sigint() { interrupted_by INT; }
case_sigterm() { interrupted_by TERM; }
case_sighup() { interrupted_by HUP; }

# A read cut short by a signal that is no interrupt is asked again.
case_eintr() {
    local first
    need_commands strace
    random_file big.bin $((129 * MIB))
    traced -f -qq -o trace.txt -e trace=read "$korvex" big.bin eintr.img </dev/null >/dev/null 2>&1
    first=$(grep -n ', 16777216)' trace.txt | head -n 1 | cut -d: -f1)
    given "a transfer's read in the trace" [ -n "$first" ]
    rm -f eintr.img eintr.img.sha256
    traced -f -qq -o /dev/null -e trace=read -e inject=read:error=EINTR:when=$((first + 1)) \
        "$korvex" big.bin eintr.img </dev/null >out.txt 2>&1
    status=$?
    expect "a read cut short with EINTR: asked again, the dump complete" \
        bash -c "[ $status -eq 0 ] && set_ok eintr.img big.bin"
}
