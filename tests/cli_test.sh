#!/usr/bin/env bash
# End to end: the real korvex on real files and devices, every image compared
# byte for byte with its drive. Usage: cli_test.sh path/to/korvex
set -u
korvex=$(realpath "$1")
work=$(mktemp -d)
chmod 755 "$work"
loop=""
cleanup() {
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

passed=0 failed=0 skipped=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
skip() { skipped=$((skipped + 1)); echo "SKIP: $*"; }
# expect NAME COMMAND...: the command succeeds.
expect() {
    local name=$1
    shift
    if "$@"; then pass; else fail "$name"; fi
}

MIB=1048576
CHUNK=$((64 * MIB))

# Korvex speaks the locale's encoding; these checks read UTF-8.
export LC_ALL=C.UTF-8

# run ARGS...: korvex's output in out.txt; its status in $status.
run() {
    "$korvex" "$@" </dev/null >out.txt
    status=$?
}

plan_text() {  # plan_text DRIVE IMAGE BYTES
    printf '驱动器: %s\n镜像文件: %s\n驱动器大小: %d MB\n缓存大小: 64 MB\n分块: %d 个\n' \
        "$1" "$2" $(($3 / MIB)) $((($3 + CHUNK - 1) / CHUNK))
}

# The marks line: as many W as R, one of each per chunk, no W before its R.
marks_ok() {  # marks_ok LINE CHUNKS
    local line=$1 chunks=$2 reads=0 writes=0 i
    for ((i = 0; i < ${#line}; i++)); do
        case ${line:i:1} in
            R) reads=$((reads + 1)) ;;
            W) writes=$((writes + 1)); [ $writes -le $reads ] || return 1 ;;
            *) return 1 ;;
        esac
    done
    [ $reads -eq "$chunks" ] && [ $writes -eq "$chunks" ]
}

# dump_ok DRIVE IMAGE BYTES: a complete dump with the full transcript.
dump_ok() {
    local drive=$1 image=$2 bytes=$3
    run "$drive" "$image"
    [ $status -eq 0 ] || { echo "exit $status"; cat out.txt; return 1; }
    { plan_text "$drive" "$image" "$bytes"; printf '\n开始转储...\n'; } >want.txt
    head -n 7 out.txt | cmp -s - want.txt || { echo "plan or start differs:"; cat out.txt; return 1; }
    [ "$(wc -l <out.txt)" -eq 9 ] && [ "$(sed -n 9p out.txt)" = "转储完成！" ] || { cat out.txt; return 1; }
    marks_ok "$(sed -n 8p out.txt)" $(((bytes + CHUNK - 1) / CHUNK)) || { echo "marks: $(sed -n 8p out.txt)"; return 1; }
    [ "$(stat -c %s "$image")" -eq "$bytes" ] || { echo "image size $(stat -c %s "$image")"; return 1; }
    cmp -s "$drive" "$image" || { echo "image differs from drive"; return 1; }
    (cd "$(dirname "$image")" && sha256sum -c --status "$(basename "$image").sha256") ||
        { echo "fingerprint: $(cat "$image.sha256")"; return 1; }
}

# fails_with CODE_LINE: exit 1, the last line is the given error, no completion.
fails_with() {
    [ $status -eq 1 ] || { echo "exit $status"; return 1; }
    ! grep -q '转储完成' out.txt || { echo "completion after a failure"; return 1; }
    tail -n 1 out.txt | grep -qx "[RW]*$1" || { echo "last line: $(tail -n 1 out.txt)"; return 1; }
}

# --- Usage ---------------------------------------------------------------
usage_ok() {  # usage_ok STATUS ARGS...: the usage block, no wait without a terminal
    local want=$1
    shift
    printf 'Korvex 1.0 - copies a whole drive into an ISO or IMG image file\n\nUsage: Korvex [Drive] [ISO|IMG File Path]\n使用方法: Korvex [驱动器] [ISO|IMG 文件地址]\n\n\n' >usage.txt
    timeout 10 "$korvex" "$@" </dev/null >out.txt
    [ $? -eq "$want" ] && cmp -s out.txt usage.txt
}
expect "usage with no arguments: exit 0" usage_ok 0
expect "usage with one argument (the image forgotten): exit 2" usage_ok 2 onlyone
expect "usage does not wait on an open pipe" bash -c "sleep 5 | timeout 3 '$korvex' >/dev/null"
if command -v script >/dev/null; then
    printf 'k' >key.txt
    expect "usage waits for a key on a terminal" bash -c "script -qc \"'$korvex'\" /dev/null <key.txt | grep -q 'Press any key'"
fi

# --- Options -------------------------------------------------------------
# --help: the banner, the real syntax rather than the usage block's, every
# option and every exit status.
help_ok() {
    local line
    timeout 10 "$korvex" --help </dev/null >out.txt || return 1
    head -n 1 out.txt | cmp -s - <(head -n 1 usage.txt) && ! grep -q 'Korvex \[Drive\]' out.txt || return 1
    for line in '^Usage: korvex \[--rescue\] DRIVE IMAGE$' '^ *korvex --help | --version$' '^  --rescue ' \
        '^  -h, --help ' '^  -V, --version ' '^  -- ' '^  0 ' '^  1 ' '^  2 ' '^  3 ' '^  4 '; do
        grep -q -- "$line" out.txt || { echo "--help: no line $line"; return 1; }
    done
}
expect "--help: the real usage, every option and exit status, no wait, exit 0" help_ok
for flag in --version -V; do
    "$korvex" $flag </dev/null >out.txt
    expect "$flag: korvex and its version" bash -c "[ $? -eq 0 ] && grep -qx 'korvex [0-9][0-9.]*' out.txt"
done
"$korvex" --frobnicate drive.bin x.img </dev/null >out.txt
status=$?
expect "an unknown option: the usage, a line naming it, exit 2, nothing done" \
    bash -c "[ $status -eq 2 ] && head -n 6 out.txt | cmp -s - usage.txt && tail -n 1 out.txt | grep -qx '错误，未知选项: --frobnicate' && [ ! -e x.img ]"

# --- Invalid drives ------------------------------------------------------
mkdir folder
for drive in nosuchdrive "" folder /dev/null; do
    run "$drive" out.img
    printf '驱动器: %s\n镜像文件: out.img\n错误，不是有效的驱动器\n' "$drive" >want.txt
    expect "invalid drive '$drive'" bash -c "[ $status -eq 1 ] && cmp -s out.txt want.txt && [ ! -e out.img ]"
done

# --- Complete dumps of files of every awkward size -----------------------
head -c $((129 * MIB)) /dev/urandom >random.bin
for bytes in 0 1 511 4096 $((MIB - 1)) $CHUNK $((CHUNK + 512)) $((100 * MIB + 512)) $((129 * MIB)); do
    head -c $bytes random.bin >drive.bin
    rm -f image.img
    expect "dump of $bytes bytes" dump_ok drive.bin image.img $bytes
done
expect "image is private (0600)" bash -c "[ \"\$(stat -c %a image.img)\" = 600 ]"

head -c $((3 * MIB + 512)) random.bin >drive.bin
head -c $((5 * MIB)) /dev/zero >image.img
expect "an existing, larger image is replaced" dump_ok drive.bin image.img $((3 * MIB + 512))
run drive.bin image.img extra arguments
expect "arguments after the second are ignored" bash -c "[ $status -eq 0 ] && cmp -s drive.bin image.img"

# Options anywhere up to "--", as GNU programs take them.
expect "an option after the drive, the image forgotten: the usage, exit 2" usage_ok 2 drive.bin --rescue
expect "nothing made under the option's name" bash -c "! ls -d ./--rescue* 2>/dev/null"
run drive.bin late.img --rescue
expect "an option after the image: a rescue, its map beside the image" \
    bash -c "[ $status -eq 0 ] && cmp -s drive.bin late.img && [ -f late.img.map ]"
run -- drive.bin -x.img
expect "after --, a name that begins with -: the image" bash -c "[ $status -eq 0 ] && cmp -s drive.bin ./-x.img"

# --- The console's encoding: the locale's -----------------------------------
run drive.bin missing/image.img
cp out.txt utf8.txt
env -i "$korvex" drive.bin missing/image.img </dev/null >out.txt
expect "no locale at all: UTF-8" cmp -s out.txt utf8.txt
if locale -a 2>/dev/null | grep -qix 'zh_CN.gbk' || localedef -i zh_CN -f GBK zh_CN.GBK 2>/dev/null; then
    LC_ALL=zh_CN.GBK "$korvex" drive.bin missing/image.img </dev/null >out.txt
    expect "a GBK locale: GBK" bash -c "iconv -f UTF-8 -t GBK utf8.txt | cmp -s - out.txt"
else
    skip "GBK locale: zh_CN.GBK cannot be made here (localedef, package locales)"
fi

# --- Failure paths -------------------------------------------------------
run drive.bin missing/dir/image.img
{ plan_text drive.bin missing/dir/image.img $((3 * MIB + 512)); printf '\n开始转储...\n错误，无法创建镜像文件2\n'; } >want.txt
expect "image folder missing: create error 2" bash -c "[ $status -eq 1 ] && cmp -s out.txt want.txt"

cp drive.bin before.bin
ln drive.bin drive-link.bin
for same in drive.bin ./drive.bin drive-link.bin; do
    run drive.bin "$same"
    expect "image path '$same' names the drive: refused" fails_with "错误，无法创建镜像文件22"
    expect "drive '$same' unchanged" cmp -s drive.bin before.bin
done

run drive.bin /dev/full
expect "full disk: write error 28" fails_with "错误，无法写入镜像28"
run drive.bin /dev/null
expect "a device image gets no fingerprint" bash -c "[ $status -eq 0 ] && [ ! -e /dev/null.sha256 ]"
expect "a name with a colon and a backslash, fingerprinted as sha256sum names it" \
    dump_ok drive.bin 'odd:name\x.img' $((3 * MIB + 512))
echo precious >.sha256
run drive.bin ""
expect "an empty image path removes no fingerprint" bash -c "[ $status -eq 1 ] && grep -q precious .sha256"
echo earlier >left.img.part
run drive.bin left.img
expect "a partial file left by an earlier dump: refused with 17, left alone" \
    bash -c "[ $status -eq 1 ] && tail -n 1 out.txt | grep -qx '错误，无法创建镜像文件17' && grep -qx earlier left.img.part"
mkdir dir.img.sha256
run drive.bin dir.img
expect "a folder at the fingerprint's name: told before the copy" \
    bash -c "[ $status -eq 1 ] && tail -n 1 out.txt | grep -qx '错误，无法写入校验文件21' && [ ! -e dir.img.part ]"
if command -v script >/dev/null; then
    script -qc "'$korvex' drive.bin /dev/tty; echo status=\$?" /dev/null </dev/null >tty.txt 2>&1
    expect "a terminal as the image: refused" bash -c "grep -q '错误，无法创建镜像文件22' tty.txt && grep -q status=1 tty.txt"
fi
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
mkdir folder.img.sha256
run drive.bin folder.img
expect "a fingerprint that cannot be written: its error, code 21" fails_with "错误，无法写入校验文件21"

head -c $((129 * MIB)) random.bin >big.bin
(ulimit -f $((CHUNK / 1024)); "$korvex" big.bin limited.img </dev/null >out.txt)
status=$?
expect "past a file-size limit: refused at creation with 27" fails_with "错误，无法创建镜像文件27"
expect "no mark and nothing left" bash -c "! grep -q R out.txt && [ ! -e limited.img ] && [ ! -e limited.img.part ]"

# Nothing past the drive's end: an exact fit under a file-size limit, and a
# pipe's stream that is exactly the drive, also with the console closed.
head -c 5120 random.bin >fit.bin
(ulimit -f 5; "$korvex" fit.bin fit.img </dev/null >/dev/null)
expect "an image that exactly fits the file-size limit" bash -c "[ $? -eq 0 ] && cmp -s fit.bin fit.img"
head -c 1000 random.bin >small.bin
mkfifo pipe
for console in open closed; do
    cat pipe >stream.bin &
    if [ $console = open ]; then "$korvex" small.bin pipe </dev/null >/dev/null; else "$korvex" small.bin pipe <&- >&-; fi
    status=$?
    wait
    expect "a FIFO gets exactly the drive's bytes, console $console, no fingerprint" \
        bash -c "[ $status -eq 0 ] && cmp small.bin stream.bin && [ ! -e pipe.sha256 ]"
done
"$korvex" drive.bin /dev/stdout </dev/null >console.img
status=$?
expect "the console as the image: refused" bash -c "[ $status -eq 1 ] && tail -n 1 console.img | grep -qx '错误，无法创建镜像文件22'"
"$korvex" big.bin piped.img </dev/null | head -n 1 >/dev/null
expect "a console closed mid-dump: the dump completes" bash -c "[ ${PIPESTATUS[0]} -eq 0 ] && cmp -s big.bin piped.img"

# --- The image earns its name --------------------------------------------
# A link at the image path is replaced by the image; what it pointed to, and
# that file's fingerprint, stay as they were.
head -c $((2 * MIB)) random.bin >other.bin
dump_ok other.bin real.img $((2 * MIB)) >/dev/null
ln -s real.img link.img
expect "a linked image path gets the image" dump_ok drive.bin link.img $((3 * MIB + 512))
expect "the link is replaced, its target and fingerprint intact" \
    bash -c "[ ! -L link.img ] && cmp -s other.bin real.img && sha256sum -c --status real.img.sha256"

# A shim that widens the window between korvex's look at the image path and
# its create, and slows reads down so that a dump can be interrupted.
cat >shim.c <<'SHIM'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>
static int delayed(int dir, const char* path, int flags, mode_t mode, const char* name) {
    const char* wait = getenv("SHIM_OPEN_DELAY_US");
    size_t n = strlen(path);
    if (wait && n > 5 && strcmp(path + n - 5, ".part") == 0) usleep(atoi(wait));
    int (*real)(int, const char*, int, ...) = dlsym(RTLD_NEXT, name);
    return real(dir, path, flags, mode);
}
#define OPENAT(name) int name(int dir, const char* path, int flags, ...) { \
    va_list list; va_start(list, flags); mode_t mode = va_arg(list, mode_t); va_end(list); \
    return delayed(dir, path, flags, mode, #name); }
OPENAT(openat)
OPENAT(openat64)
ssize_t read(int fd, void* buffer, size_t length) {
    const char* wait = getenv("SHIM_READ_DELAY_US");
    if (wait && length >= 1048576) usleep(atoi(wait));
    ssize_t (*real)(int, void*, size_t) = dlsym(RTLD_NEXT, "read");
    return real(fd, buffer, length);
}
SHIM
# A sanitizer's runtime wants to come first; the shim only wraps calls.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
if cc -shared -fPIC -o shim.so shim.c -ldl 2>/dev/null; then
    # The image path becomes a link to the drive while the partial file is
    # being created: the drive is never opened for writing, only the link
    # is replaced by the finished image.
    cp drive.bin victim.bin
    rm -f swap.img
    (sleep 0.5; ln -s victim.bin swap.img) &
    SHIM_OPEN_DELAY_US=1500000 LD_PRELOAD=$PWD/shim.so "$korvex" drive.bin swap.img </dev/null >out.txt
    status=$?
    wait
    expect "a path swapped for a link to another file mid-create: that file unchanged" \
        bash -c "cmp -s drive.bin victim.bin && [ $status -eq 0 ] && [ ! -L swap.img ] && cmp -s drive.bin swap.img"
    cp big.bin before.bin
    rm -f self.img
    (sleep 0.5; ln -s big.bin self.img) &
    SHIM_OPEN_DELAY_US=1500000 LD_PRELOAD=$PWD/shim.so "$korvex" big.bin self.img </dev/null >out.txt
    status=$?
    wait
    expect "a path swapped for a link to the drive mid-create: the drive unchanged, the link replaced by the image" \
        bash -c "cmp -s big.bin before.bin && [ $status -eq 0 ] && [ ! -L self.img ] && cmp -s big.bin self.img"

    # Two dumps into one image: the second finds the first's partial file
    # and is refused, leaving it be; the first completes.
    SHIM_READ_DELAY_US=300000 LD_PRELOAD=$PWD/shim.so "$korvex" big.bin twice.img </dev/null >first.txt &
    pid=$!
    sleep 0.5
    run drive.bin twice.img
    wait $pid
    first=$?
    expect "a second dump into an image being written: refused with 17" fails_with "错误，无法创建镜像文件17"
    expect "the first dump completes with its own bytes" bash -c "[ $first -eq 0 ] && cmp -s big.bin twice.img"
    # The image's folder swapped for a link mid-dump: the image is never
    # named, nor fingerprinted, in the folder that took its name.
    mkdir -p swapped evil
    echo attacker >evil/img.part
    SHIM_READ_DELAY_US=300000 LD_PRELOAD=$PWD/shim.so "$korvex" big.bin swapped/img </dev/null >out.txt &
    pid=$!
    sleep 0.5
    mv swapped swapped.orig && ln -s evil swapped
    wait $pid
    status=$?
    expect "a folder swapped mid-dump: a create error, the image kept where it was made" \
        bash -c "tail -n 1 out.txt | grep -q '错误，无法创建镜像文件' && cmp -s big.bin swapped.orig/img.part"
    expect "nothing named or fingerprinted in the folder put in its place" \
        bash -c "[ $status -eq 1 ] && [ ! -e evil/img ] && [ ! -e evil/img.sha256 ] && grep -qx attacker evil/img.part"

    # Interrupts: the old image and its fingerprint stay, the bytes so far
    # are kept under the partial name, one line, and the signal's status.
    for signal in INT TERM HUP; do
        dump_ok other.bin old.img $((2 * MIB)) >/dev/null
        rm -f old.img.part
        SHIM_READ_DELAY_US=300000 LD_PRELOAD=$PWD/shim.so "$korvex" big.bin old.img </dev/null >out.txt &
        pid=$!
        sleep 1
        kill -s $signal $pid
        wait $pid
        status=$?
        number=$(kill -l $signal)
        expect "SIG$signal mid-dump: status $((128 + number)), the interrupt's line last" \
            bash -c "[ $status -eq $((128 + number)) ] && tail -n 1 out.txt | grep -qx '[RW]*错误，转储已中断'"
        expect "SIG$signal: the old image and fingerprint intact, the partial file a prefix of the drive" \
            bash -c "sha256sum -c --status old.img.sha256 && cmp -s other.bin old.img &&
                     [ \$(stat -c %s old.img.part) -lt $((129 * MIB)) ] && cmp -s -n \$(stat -c %s old.img.part) big.bin old.img.part"
    done
else
    skip "the shim: no C compiler"
fi

# The title: on a terminal saved, shown and restored by its sequences;
# nothing of it through a pipe or on a dumb terminal.
if command -v script >/dev/null; then
    TERM=xterm script -qc "'$korvex' big.bin titled.img" /dev/null </dev/null >tty.txt 2>&1
    expect "a terminal's title: saved, shown with the percent, restored" \
        bash -c "grep -q $'\e\\[22;0t' tty.txt && grep -q $'\e\\]0;korvex big.bin 0%\a' tty.txt && grep -q $'\e\\[23;0t' tty.txt"
    TERM=dumb script -qc "'$korvex' big.bin titled.img" /dev/null </dev/null >tty.txt 2>&1
    expect "no title on a dumb terminal" bash -c "! grep -q $'\e' tty.txt"
fi
"$korvex" big.bin titled.img </dev/null | cat >pipe.txt
expect "no title through a pipe" bash -c "! grep -q $'\e' pipe.txt && tail -n 1 pipe.txt | grep -qx '转储完成！'"

# A name never drives the terminal: on one its control characters show
# escaped (the terminal ends lines with CR LF, no other CR may come);
# into a pipe they stay as given.
hostile=$'x\e]0;PWNED\a\e[2J\r转储完成！.img'
tame() {
    tr -d '\r' <tty.txt | grep -qxF '镜像文件: x\x1b]0;PWNED\x07\x1b[2J\x0d转储完成！.img' &&
        ! grep -q $'[\e\a]' tty.txt && ! sed $'s/\r$//' tty.txt | grep -q $'\r'
}
if command -v script >/dev/null; then
    HOSTILE=$hostile TERM=dumb script -qc "'$korvex' drive.bin \"\$HOSTILE\"" /dev/null </dev/null >tty.txt 2>&1
    expect "a hostile image name on a terminal: escaped, none of its ESC, BEL or CR" tame
fi
"$korvex" drive.bin "$hostile" </dev/null | cat >pipe.txt
expect "the same name into a pipe: as given" grep -qxF "镜像文件: $hostile" pipe.txt

if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
    mkdir open && chmod 777 open
    head -c $MIB random.bin >secret.bin && chmod 600 secret.bin
    as_nobody "$korvex" secret.bin open/image.img </dev/null >out.txt
    status=$?
    { plan_text secret.bin open/image.img $MIB; printf '错误，无法打开驱动器13\n'; } >want.txt
    expect "drive sized but not opened: open error 13" bash -c "[ $status -eq 1 ] && cmp -s out.txt want.txt"
    expect "no image created when the drive cannot be opened" test ! -e open/image.img
    mkdir hidden && chmod 700 hidden && cp secret.bin hidden/
    as_nobody "$korvex" hidden/secret.bin open/image.img </dev/null >out.txt
    status=$?
    expect "a drive in a folder this user cannot search: open error 13" \
        bash -c "[ $status -eq 1 ] && tail -n 1 out.txt | grep -qx '错误，无法打开驱动器13'"
else
    skip "unprivileged open: needs root and setpriv"
fi

# --- The image's set: the image, its fingerprint, its map ------------------
# set_ok IMAGE DRIVE: IMAGE is DRIVE's bytes with its own fingerprint, and
# nothing else of a set beside it.
set_ok() {
    cmp -s "$2" "$1" || { echo "$1 is not $2"; return 1; }
    (cd "$(dirname "$1")" && sha256sum -c --status "$(basename "$1").sha256") || { echo "fingerprint"; return 1; }
    for extra in .map .part .part.map .sha256.part .map.part .part.map.part .sha256.old .map.old; do
        [ ! -e "$1$extra" ] || { echo "left: $1$extra"; return 1; }
    done
}
export -f set_ok
# A plain dump over a rescued image: the old map goes with the old image.
dump_ok other.bin set.img $((2 * MIB)) >/dev/null
printf '# Mapfile\n0x00000000     +               1\n0x00000000  0x00200000  -\n' >set.img.map
run drive.bin set.img
expect "a dump over a rescued image: exit 0, no old map beside the new image" \
    bash -c "[ $status -eq 0 ] && set_ok set.img drive.bin"
# What a killed dump leaves between its renames is cleared by the next one.
for name in set.img.sha256.part set.img.map.part set.img.part.map.part set.img.sha256.old set.img.map.old; do
    echo killed >"$name"
done
run other.bin set.img
expect "leftovers of a killed dump: cleared, not in the way" bash -c "[ $status -eq 0 ] && set_ok set.img other.bin"
# A name the folder cannot hold with the set's longest suffix is refused
# before the copy, not after it with the map lost.
long=$(printf 'L%.0s' $(seq 242)).img
run drive.bin "$long"
expect "an image name too long for its map's partial name: refused before the copy" \
    bash -c "[ $status -eq 1 ] && tail -n 1 out.txt | grep -qx '错误，无法写入映射文件36' && [ -z \"\$(ls | grep '^LLLL')\" ]"

if [ -f shim.so ] && command -v ddrescue >/dev/null; then
    # A map of a removed partial file (as an interrupted rescue leaves it)
    # never stands beside a new one: ddrescue would skip what it claims.
    rm -f set.img.part
    printf '# Mapfile\n0x00000000     +               1\n0x00000000  0x08100000  +\n' >set.img.part.map
    SHIM_READ_DELAY_US=300000 LD_PRELOAD=$PWD/shim.so "$korvex" big.bin set.img </dev/null >out.txt &
    pid=$!
    sleep 1
    kill -INT $pid
    wait $pid
    expect "an interrupted dump: its own map beside its partial file, from where it stops not tried" \
        bash -c "[ \"\$(grep -v '^#' set.img.part.map | tail -n 1)\" = \"\$(printf '0x%08X  0x%08X  ?' \$(stat -c %s set.img.part) \$(($((129 * MIB)) - \$(stat -c %s set.img.part))))\" ]"
    ddrescue big.bin set.img.part set.img.part.map >/dev/null 2>&1
    expect "ddrescue goes on from it to the whole drive" cmp -s big.bin set.img.part
    rm -f set.img.part set.img.part.map
fi

if command -v strace >/dev/null; then
    # SIGKILL at each rename of a dump over an image with a fingerprint and
    # a map: whatever stands at a name of the set describes the image there,
    # and the next dump completes.
    renames=rename,renameat,renameat2
    for kill_at in 1 2 3 4; do
        dump_ok other.bin kill.img $((2 * MIB)) >/dev/null
        printf '# Mapfile\n0x00000000     +               1\n0x00000000  0x00200000  +\n' >kill.img.map
        cp kill.img.map kill-old.map
        strace -f -qq -o /dev/null -e trace=$renames -e inject=$renames:signal=KILL:when=$kill_at \
            "$korvex" drive.bin kill.img </dev/null >out.txt 2>&1
        expect "SIGKILL at rename $kill_at: the image old or new, every file beside it its own" \
            bash -c "{ { cmp -s other.bin kill.img && { [ ! -e kill.img.map ] || cmp -s kill.img.map kill-old.map; }; } ||
                       { cmp -s drive.bin kill.img && [ ! -e kill.img.map ]; }; } &&
                     { [ ! -e kill.img.sha256 ] || sha256sum -c --status kill.img.sha256; }"
        rm -f kill.img.part
        run drive.bin kill.img
        expect "after SIGKILL at rename $kill_at: the next dump completes" \
            bash -c "[ $status -eq 0 ] && set_ok kill.img drive.bin"
    done
    # The folder's flush fails after the image took its name: not exit 1,
    # which promises the old image, but 4, the new image named.
    dump_ok other.bin sync.img $((2 * MIB)) >/dev/null
    strace -f -qq -o trace.txt -e trace=fsync,renameat "$korvex" drive.bin sync.img </dev/null >/dev/null 2>&1
    after=$(grep -n 'renameat(.*"sync.img"' trace.txt | cut -d: -f1)
    fsyncs=$(head -n $((after + 1)) trace.txt | grep -c fsync)
    dump_ok other.bin sync.img $((2 * MIB)) >/dev/null
    strace -f -qq -o /dev/null -e trace=fsync -e inject=fsync:error=EIO:when=$fsyncs \
        "$korvex" drive.bin sync.img </dev/null >out.txt 2>&1
    status=$?
    expect "the image's rename not flushed: exit 4, its line, the new image named with its fingerprint" \
        bash -c "[ $status -eq 4 ] && tail -n 1 out.txt | grep -qx '[RW]*错误，无法创建镜像文件5' && set_ok sync.img drive.bin"
else
    skip "SIGKILL between renames and a failed flush: no strace"
fi

# A read cut short by a signal that is no interrupt (EINTR) is asked again.
if command -v strace >/dev/null; then
    strace -f -qq -o trace.txt -e trace=read "$korvex" big.bin eintr.img </dev/null >/dev/null 2>&1
    first=$(grep -n ', 16777216)' trace.txt | head -n 1 | cut -d: -f1)
    strace -f -qq -o /dev/null -e trace=read -e inject=read:error=EINTR:when=$((first + 1)) \
        "$korvex" big.bin eintr.img </dev/null >out.txt 2>&1
    status=$?
    expect "a read cut short with EINTR: asked again, the dump complete" \
        bash -c "[ $status -eq 0 ] && set_ok eintr.img big.bin"
fi

# A file system that refuses O_DIRECT only after it made the file (ramfs,
# and tmpfs before Linux 6.6): the image goes through the page cache.
if [ "$(id -u)" -eq 0 ] && mkdir -p ram && mount -t ramfs ramfs ram 2>/dev/null; then
    run drive.bin ram/r.img
    expect "an image on ramfs: complete, nothing left over" bash -c "[ $status -eq 0 ] && set_ok ram/r.img drive.bin"
    umount ram
else
    skip "ramfs: needs root"
fi

# --- A block device ------------------------------------------------------
if [ "$(id -u)" -eq 0 ] && command -v losetup >/dev/null && head -c $((100 * MIB + 512)) random.bin >loop.bin &&
    loop=$(losetup -f --show loop.bin 2>/dev/null); then
    expect "dump of a loop device" dump_ok "$loop" loop.img $((100 * MIB + 512))
    expect "loop image equals its file" cmp -s loop.bin loop.img
    as_nobody "$korvex" "$loop" open/loop.img </dev/null >out.txt
    status=$?
    { plan_text "$loop" open/loop.img $((100 * MIB + 512)); printf '错误，无法打开驱动器13\n'; } >want.txt
    expect "block device sized from sysfs, then open error 13" bash -c "[ $status -eq 1 ] && cmp -s out.txt want.txt"

    # Images that share storage with the drive, refused before anything is
    # touched: its backing file, a second loop device over that file (as a
    # partition would be, where the kernel scans partition tables), a file
    # system on the drive.
    cp loop.bin loop-before.bin
    loop2=$(losetup -f --show --offset $MIB loop.bin)
    for target in loop.bin "$loop2"; do
        run "$loop" "$target"
        expect "image '$target' shares the drive's storage: refused" fails_with "错误，无法创建镜像文件22"
        expect "drive unchanged after '$target'" cmp -s loop.bin loop-before.bin
    done
    run "$loop2" "$loop"
    expect "a device that holds the drive: refused" fails_with "错误，无法创建镜像文件22"
    losetup -d "$loop2"
    # A loop device over the drive's loop device, through a node since removed.
    mknod node b $(stat -c '%Hr %Lr' "$loop")
    loop2=$(losetup -f --show node)
    rm node
    run "$loop2" loop.bin
    expect "a loop device over the drive's loop device: its file refused" fails_with "错误，无法创建镜像文件22"
    expect "drive unchanged" cmp -s loop.bin loop-before.bin
    losetup -d "$loop2"
    head -c $((1001 * 512)) random.bin >sectors.bin
    head -c $((1001 * 512)) /dev/zero >target.bin
    loop2=$(losetup -f --show target.bin)
    run sectors.bin "$loop2"
    expect "a device of the drive's size as the image" bash -c "[ $status -eq 0 ] && cmp -s sectors.bin $loop2"
    losetup -d "$loop2"
    mkdir mnt
    if mkfs.ext4 -q "$loop" 2>/dev/null && mount "$loop" mnt; then
        run "$loop" mnt/self.img
        expect "an image on the drive's own file system: refused" fails_with "错误，无法创建镜像文件22"
        expect "nothing created on the drive's file system" test ! -e mnt/self.img
        mkdir mnt/up mnt/work lower overlay
        if mount -t overlay overlay -o "lowerdir=$PWD/lower,upperdir=$PWD/mnt/up,workdir=$PWD/mnt/work" overlay; then
            run "$loop" overlay/self.img
            expect "an overlay that writes into the drive's file system: refused" \
                fails_with "错误，无法创建镜像文件22"
            umount overlay
        else
            skip "overlay on the drive's file system: mount failed"
        fi
        umount mnt
    else
        skip "file system on the drive: mkfs.ext4 or mount failed"
    fi
    # An image that just fits leaves no room for its fingerprint: refused
    # before the copy, not after it.
    if mount -t tmpfs -o size=$MIB tmpfs mnt; then
        head -c $MIB random.bin >mib.bin
        run mib.bin mnt/e.img
        expect "an exact fit, no room for the fingerprint: create error 28" fails_with "错误，无法创建镜像文件28"
        expect "refused before the first read, nothing left" bash -c "! grep -q R out.txt && [ -z \"\$(ls mnt)\" ]"
        umount mnt
    fi
    # An image that cannot fit beside the old one fails at once, before the
    # first read, and the old image and its fingerprint stay as they were.
    if mount -t tmpfs -o size=$((50 * MIB)) tmpfs mnt; then
        head -c $((20 * MIB)) random.bin >mnt/big.img
        (cd mnt && sha256sum big.img >big.img.sha256)
        started=$(date +%s%N)
        run loop.bin mnt/big.img
        took=$((($(date +%s%N) - started) / 1000000))
        expect "no room for the image: create error 28 before the first read" fails_with "错误，无法创建镜像文件28"
        expect "refused in under a second (${took} ms), nothing left beside the old image" \
            bash -c "[ $took -lt 1000 ] && ! grep -q R out.txt && [ ! -e mnt/big.img.part ]"
        expect "the old image and its fingerprint intact" bash -c "cd mnt && sha256sum -c --status big.img.sha256"
        umount mnt
    else
        skip "a small file system: mount failed"
    fi
    if mount -t tmpfs -o ro tmpfs mnt; then
        run drive.bin mnt/e.img
        expect "a read-only target: create error 30" fails_with "错误，无法创建镜像文件30"
        umount mnt
    fi

    # A block device that is mounted (or otherwise held) is refused as the
    # image with EBUSY, its file system untouched; so is a second loop device
    # over the file of a mounted one.
    head -c $((32 * MIB)) /dev/zero >busy.bin
    loop2=$(losetup -f --show busy.bin)
    if mkfs.ext4 -q "$loop2" 2>/dev/null && mount "$loop2" mnt; then
        echo precious >mnt/file
        run drive.bin "$loop2"
        expect "a mounted device as the image: create error 16" fails_with "错误，无法创建镜像文件16"
        loop3=$(losetup -f --show busy.bin)
        run drive.bin "$loop3"
        expect "another loop device over a mounted one's file: create error 16" fails_with "错误，无法创建镜像文件16"
        losetup -d "$loop3"
        umount mnt
        expect "its file system clean" bash -c "e2fsck -fn $loop2 >/dev/null 2>&1"
    else
        skip "a mounted device as the image: mkfs.ext4 or mount failed"
    fi
    losetup -d "$loop2"

    # Views: a bindfs view of the drive's folder, and of the drive's own
    # mounted file system, lead to the storage behind them.
    if command -v bindfs >/dev/null && mkdir data view && cp drive.bin data/vm.img &&
        bindfs data view 2>/dev/null; then
        run data/vm.img view/vm.img
        expect "the drive through a view of its folder: refused" fails_with "错误，无法创建镜像文件22"
        expect "the drive unchanged, nothing created" bash -c "cmp -s drive.bin data/vm.img && [ ! -e data/vm.img.part ]"
        umount view
        if mount "$loop" mnt && bindfs mnt view; then
            run "$loop" view/x.img
            expect "a view of the drive's mounted file system: refused" fails_with "错误，无法创建镜像文件22"
            expect "nothing written into it" test ! -e mnt/x.img.part
            umount view
            umount mnt
        else
            skip "a view of the drive's file system: mount or bindfs failed"
        fi
    else
        skip "views: bindfs cannot mount here"
    fi
    # Partitions are parts of their disk: one is imaged into a file on
    # another, but never into the whole disk.
    head -c $((40 * MIB)) /dev/zero >parted.bin
    printf 'start=2048, size=20480\nstart=22528\n' | sfdisk -q parted.bin >/dev/null 2>&1
    disk=$(losetup -f --show -P parted.bin)
    [ -b "${disk}p2" ] || partx -a "$disk" 2>/dev/null
    if [ -b "${disk}p1" ] && [ -b "${disk}p2" ] && mkfs.ext4 -q "${disk}p2" 2>/dev/null && mount "${disk}p2" mnt; then
        run "${disk}p1" mnt/p1.img
        expect "a partition into a file on another partition of its disk" \
            bash -c "[ $status -eq 0 ] && cmp -s ${disk}p1 mnt/p1.img"
        run "${disk}p1" "$disk"
        expect "a partition into its whole disk: refused" fails_with "错误，无法创建镜像文件22"
        umount mnt
    else
        skip "partitions of a loop device: none shown"
    fi
    losetup -d "$disk"
else
    skip "loop device: needs root and a free loop device"
fi

# --- Rescue: a drive file with unreadable ranges, served through FUSE ------
here=$(dirname "$(realpath "$0")")
if [ "$(id -u)" -eq 0 ] && [ -c /dev/fuse ] && /usr/bin/python3 -c 'import fusepy' 2>/dev/null &&
    command -v ddrescue >/dev/null; then
    mkdir bad
    head -c $((100 * MIB)) random.bin >healthy.bin
    total=$((100 * MIB))
    # One sector, a 4 KiB block across a 16 MiB transfer boundary, a 16 MiB
    # dead area, the drive's last sector.
    ranges="$((MIB + 512)):$((MIB + 1024)) $((16 * MIB - 2048)):$((16 * MIB + 2048)) $((40 * MIB)):$((56 * MIB)) $((total - 512)):$total"
    /usr/bin/python3 "$here/bad_drive.py" bad healthy.bin healed $ranges &
    fuse=$!
    for _ in $(seq 50); do [ -e bad/drive.img ] && break; sleep 0.1; done
    run bad/drive.img plain.img
    expect "without --rescue an unreadable sector ends the dump" fails_with "错误，无法读取驱动器5"
    rm -f plain.img.part
    run --rescue bad/drive.img saved.img
    unread=$(ddrescuelog -b512 -l'-?' saved.img.map | wc -l)
    expect "a rescue: exit 3, its line with the unreadable bytes, as ddrescuelog counts them" \
        bash -c "[ $status -eq 3 ] && tail -n 1 out.txt | grep -qx '转储结束，无法读取的字节：$((unread * 512))' && [ $unread -gt 0 ]"
    expect "the rescued image's fingerprint checks" sha256sum -c --status saved.img.sha256
    # The map lists exactly the bad ranges (up to the dead area's untried
    # rest): the drive's bytes where it says read, zeros elsewhere.
    check_map() {
        /usr/bin/python3 - "$@" <<'PY'
import sys
image, drive, mapfile, total = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
bad = [tuple(int(n) for n in r.split(":")) for r in sys.argv[5:]]
img, src = open(image, "rb").read(), open(drive, "rb").read()
blocks = [l.split() for l in open(mapfile) if not l.startswith("#")][1:]
at = 0
for pos, size, status in blocks:
    pos, size = int(pos, 16), int(size, 16)
    assert pos == at, (pos, at)
    at += size
    if status == "+":
        assert img[pos:pos + size] == src[pos:pos + size], pos
        assert all(e <= pos or s >= pos + size for s, e in bad), pos
    else:
        assert img[pos:pos + size] == bytes(size), pos
        assert status == "?" or any(s <= pos and pos + size <= e for s, e in bad), (pos, size)
assert at == total
assert len(img) == total
PY
    }
    expect "the map covers the drive: read bytes in place, zeros only in and after bad ranges" \
        check_map saved.img healthy.bin saved.img.map $total $ranges
    # The hand-over: the sectors readable again, ddrescue finishes the job
    # on Korvex's image and map.
    touch healed
    ddrescue -r1 bad/drive.img saved.img saved.img.map >/dev/null 2>&1
    expect "ddrescue on Korvex's map completes the image" cmp -s healthy.bin saved.img
    kill $fuse
    wait $fuse 2>/dev/null
    umount bad 2>/dev/null
    cp drive.bin d.map
    run --rescue d.map d
    expect "a drive at the map's name: refused, unchanged" \
        bash -c "[ $status -eq 1 ] && cmp -s drive.bin d.map && [ ! -e d ]"
    # An interrupted rescue leaves the old image's map alone and puts its own
    # beside the partial file, for ddrescue to go on from.
    [ -f shim.so ] || skip "an interrupted rescue: no shim"
    [ -f shim.so ] && cp saved.img.map saved-before.map
    [ -f shim.so ] && { SHIM_READ_DELAY_US=300000 LD_PRELOAD=$PWD/shim.so "$korvex" --rescue big.bin saved.img </dev/null >out.txt &
    pid=$!
    sleep 1
    kill -INT $pid
    wait $pid
    expect "an interrupted rescue: the old map intact, the partial file's beside it" \
        bash -c "cmp -s saved.img.map saved-before.map && [ \"\$(grep -v '^#' saved.img.part.map | tail -n 1 | cut -c1-10)\" = \"\$(printf '0x%08X' \$(stat -c %s saved.img.part))\" ]"
    ddrescue big.bin saved.img.part saved.img.part.map >/dev/null 2>&1
    expect "ddrescue goes on from the partial file and its map" cmp -s big.bin saved.img.part; }
    run --rescue drive.bin whole.img
    expect "a rescue that met no bad sector: complete, exit 0, a one-line map" \
        bash -c "[ $status -eq 0 ] && tail -n 1 out.txt | grep -qx '转储完成！' && [ \$(grep -vc '^#' whole.img.map) -eq 2 ]"
else
    skip "rescue: needs root, /dev/fuse, python3-fusepy and ddrescue"
fi

echo "$passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ]
