# The helpers of the end-to-end cases, sourced by run.sh. A case runs in a
# folder of its own, the shell's current folder, which is removed with
# everything the case set up (see cleanup) however the case ends.

MIB=1048576
CHUNK=$((64 * MIB))

# Korvex speaks the locale's encoding; these checks read UTF-8.
export LC_ALL=C.UTF-8
# A sanitizer's runtime wants to come first; the shim only wraps calls.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0

# traced STRACE-ARGS...: strace, with a sanitizer's leak check off, since
# LeakSanitizer cannot run under ptrace and would change the exit status.
traced() { ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 strace "$@"; }

passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
# expect NAME COMMAND...: the command succeeds.
expect() {
    local name=$1
    shift
    if "$@"; then pass; else fail "$name"; fi
}
# given WHAT COMMAND...: what a case's checks stand on; without it they
# would fail for the wrong reason, so the case ends here.
given() {
    local what=$1
    shift
    "$@" && return 0
    fail "setup: $what"
    exit 1
}
# skip_case REASON: this machine cannot run the case; CTest reports it skipped.
skip_case() {
    echo "SKIP: $*"
    exit 77
}

need_root() { [ "$(id -u)" -eq 0 ] || skip_case "needs root"; }
need_commands() {
    local command
    for command; do command -v "$command" >/dev/null || skip_case "needs $command"; done
}

# --- Cleanup -----------------------------------------------------------------
# Commands run when the case ends, the last registered first, so that a
# view is unmounted before what it shows and a device before its loop.
cleanups=()
at_cleanup() { cleanups+=("$(printf '%q ' "$@")"); }

# kill_tree PID SIGNAL: the process and everything it started, children first.
kill_tree() {
    local child
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do kill_tree "$child" "$2"; done
    kill -s "$2" "$1" 2>/dev/null
}

cleanup() {
    local pid i
    # Once begun, the cleanup is finished: a second signal would leave a
    # mount or a loop device behind.
    trap - EXIT
    trap '' INT TERM HUP
    [ -n "${watchdog:-}" ] && kill_tree "$watchdog" TERM
    # Background processes first (a slowed dump, a FUSE server): they hold
    # the mounts and devices below.
    for pid in $(jobs -p); do kill_tree "$pid" TERM; done
    for i in $(seq 50); do
        [ -z "$(jobs -pr)" ] && break
        sleep 0.1
    done
    for pid in $(jobs -pr); do kill_tree "$pid" KILL; done
    wait 2>/dev/null
    for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" 2>/dev/null; done
    cd / || return
    # Never into a mount left behind: its files are not this case's.
    rm -rf --one-file-system "$work"
}

unmount() {
    umount "$1" 2>/dev/null || umount -l "$1" 2>/dev/null
    return 0
}
# mounted DIR COMMAND...: COMMAND mounts a file system at DIR (mount,
# bindfs), unmounted when the case ends.
mounted() {
    local dir=$1
    shift
    mkdir -p "$dir" && "$@" || return 1
    at_cleanup unmount "$(realpath "$dir")"
}

# attach_loop VAR LOSETUP-ARGS... FILE: a free loop device over FILE, named in
# VAR, detached when the case ends. Cases running at the same time race for
# the same free device; the loser asks again.
attach_loop() {
    local var=$1 device try
    shift
    for try in 1 2 3 4 5; do
        device=$(losetup -f --show "$@" 2>/dev/null) && break
        sleep 0.2
    done
    [ -n "$device" ] || return 1
    printf -v "$var" %s "$device"
    at_cleanup detach_loop "$device"
}
# Only a device still over a file of this case: the number may have gone
# to another case's file once this one was detached.
detach_loop() {
    case $(losetup -n -O BACK-FILE "$1" 2>/dev/null) in
        "$work"/*) losetup -d "$1" ;;
    esac
}

# --- Test data ---------------------------------------------------------------
random_file() {  # random_file NAME BYTES
    head -c "$2" /dev/urandom >"$1"
}
# A drive whose bytes a correct korvex never reads (it refuses the image
# first): sparse, it costs nothing to make.
sparse_file() {  # sparse_file NAME BYTES
    rm -f "$1" && truncate -s "$2" "$1"
}

# --- Running korvex ------------------------------------------------------------
# run ARGS...: korvex's output in out.txt; its status in $status.
run() {
    "$korvex" "$@" </dev/null >out.txt
    status=$?
}

plan_text() {  # plan_text DRIVE IMAGE BYTES
    printf '驱动器: %s\n镜像文件: %s\n驱动器大小: %d MB\n缓存大小: 64 MB\n分块: %d 个\n' \
        "$1" "$2" $(($3 / MIB)) $((($3 + CHUNK - 1) / CHUNK))
}

usage_text() {
    printf 'Korvex 1.0 - copies a whole drive into an ISO or IMG image file\n\nUsage: Korvex [Drive] [ISO|IMG File Path]\n使用方法: Korvex [驱动器] [ISO|IMG 文件地址]\n\n\n'
}
usage_ok() {  # usage_ok STATUS ARGS...: the usage block, no wait without a terminal
    local want=$1
    shift
    usage_text >usage.txt
    timeout 10 "$korvex" "$@" </dev/null >out.txt
    [ $? -eq "$want" ] && cmp -s out.txt usage.txt
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

# set_ok IMAGE DRIVE: IMAGE is DRIVE's bytes with its own fingerprint, and
# nothing else of a set beside it.
set_ok() {
    local extra
    cmp -s "$2" "$1" || { echo "$1 is not $2"; return 1; }
    (cd "$(dirname "$1")" && sha256sum -c --status "$(basename "$1").sha256") || { echo "fingerprint"; return 1; }
    for extra in .map .part .part.map .sha256.part .map.part .part.map.part .sha256.old .map.old .info.part .info.old; do
        [ ! -e "$1$extra" ] || { echo "left: $1$extra"; return 1; }
    done
}
export -f set_ok

# --- Another user ----------------------------------------------------------------
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
# Checks of what another user cannot open stand on what that user can reach:
# the case's own folder at least.
need_nobody() {
    need_root
    need_commands setpriv
    as_nobody test -x "$work" || skip_case "user nobody cannot reach $work (TMPDIR)"
}

# --- The shim ----------------------------------------------------------------------
# need_shim: shim.so in the case's folder, a library for LD_PRELOAD that
# widens the window between korvex's look at the image path and its create
# (SHIM_OPEN_DELAY_US on each open of a name ending in .part), and slows
# reads of 1 MiB or more down (SHIM_READ_DELAY_US; positioned reads, as of
# the image read back, SHIM_PREAD_DELAY_US) so that a dump can be
# interrupted or raced.
need_shim() {
    need_commands cc
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
#define PREAD(name) ssize_t name(int fd, void* buffer, size_t length, off_t at) { \
    const char* wait = getenv("SHIM_PREAD_DELAY_US"); \
    if (wait && length >= 1048576) usleep(atoi(wait)); \
    ssize_t (*real)(int, void*, size_t, off_t) = dlsym(RTLD_NEXT, #name); \
    return real(fd, buffer, length, at); }
PREAD(pread)
PREAD(pread64)
SHIM
    cc -shared -fPIC -o shim.so shim.c -ldl 2>/dev/null || skip_case "the shim does not build (cc)"
    shim=$PWD/shim.so
}

# awaits TRIES COMMAND...: COMMAND asked every 50 ms, at most TRIES times,
# while the process in the background ($pid) runs; its last answer. How
# long a dump takes to get somewhere depends on the machine's load, so a
# case waits for the state it needs rather than for a fixed time.
awaits() {
    local tries=$1 _
    shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    "$@"
}

# started PARTIAL: a dump in the background holds its partial file, made
# once it is past its checks.
started() { awaits 200 test -e "$1"; }

# copying OUT: the dump in the background is past its preparation and
# copies: it has read its first chunk (its output OUT shows the first mark).
copying() { awaits 200 grep -q '^R' "$1"; }

# slow_dump OUT ARGS...: korvex in the background, each transfer read slowed
# down; its pid in $pid, its output in OUT.
slow_dump() {
    local out=$1
    shift
    # Emptied before the dump starts, so that a wait for its output never
    # reads what an earlier run left there.
    : >"$out"
    SHIM_READ_DELAY_US=300000 LD_PRELOAD=$shim "$korvex" "$@" </dev/null >"$out" &
    pid=$!
}

# interrupt_dump SIGNAL OUT ARGS...: a slowed dump (slow_dump) sent SIGNAL
# once it copies; its exit status in $status.
interrupt_dump() {
    local signal=$1
    shift
    slow_dump "$@"
    given "the dump copying" copying "$1"
    kill -s "$signal" "$pid"
    wait "$pid"
    status=$?
}

# --- A failing drive ---------------------------------------------------------
# serve_drive TOTAL FROM:TO...: a bad drive at bad/drive.img, healthy.bin
# (TOTAL random bytes) read through FUSE with the byte ranges unreadable
# until the file healed exists; the server's pid in $server. BAD_DRIVE_*
# settings given to the call reach the server (see bad_drive.py).
serve_drive() {
    local size=$1 _
    shift
    need_root
    [ -c /dev/fuse ] || skip_case "needs /dev/fuse"
    /usr/bin/python3 -c 'import fusepy' 2>/dev/null || skip_case "needs python3-fusepy"
    random_file healthy.bin "$size"
    mkdir bad
    at_cleanup unmount "$PWD/bad"
    /usr/bin/python3 "$tests/bad_drive.py" bad healthy.bin healed "$@" &
    server=$!
    for _ in $(seq 50); do [ -e bad/drive.img ] && break; sleep 0.1; done
    given "the bad drive served" [ -e bad/drive.img ]
}

# --- The map kept current ------------------------------------------------------
# claimed MAP: the bytes the map calls read.
claimed() {
    /usr/bin/python3 -c '
import sys
lines = [l.split() for l in open(sys.argv[1]) if l.strip() and not l.startswith("#")][1:]
print(sum(int(size, 16) for pos, size, status in lines if status == "+"))' "$1" 2>/dev/null || echo 0
}
# claims_at_least MAP BYTES
claims_at_least() { [ -f "$1" ] && [ "$(claimed "$1")" -ge "$2" ]; }

# kept_map_ok PARTIAL DRIVE UNIT [FROM:TO...]: the map beside PARTIAL names
# DRIVE (its size, its first MiB's SHA-256 once read), ddrescuelog reads
# it, and the partial file holds the drive's bytes wherever it says read.
kept_map_ok() {
    local partial=$1 drive=$2 unit=$3 first
    shift 3
    [ -f "$partial.map" ] || { echo "no map beside $partial"; return 1; }
    grep -qx "# Drive size: $(stat -c %s "$drive")" "$partial.map" || { echo "the drive's size"; cat "$partial.map"; return 1; }
    first=$(head -c $MIB "$drive" | sha256sum | cut -c1-64)
    if grep -q '^# Drive first MiB' "$partial.map"; then
        grep -qx "# Drive first MiB SHA-256: $first" "$partial.map" || { echo "the first MiB's digest"; return 1; }
    fi
    ddrescuelog -t "$partial.map" >/dev/null || { echo "ddrescuelog cannot read the map"; return 1; }
    /usr/bin/python3 "$tests/check_map.py" --partial "$partial" "$drive" "$partial.map" "$unit" -- "$@" || { cat "$partial.map"; return 1; }
}

# swap_mid_create DRIVE IMAGE TARGET: IMAGE becomes a link to TARGET while
# korvex creates the partial file (its open held up by the shim); korvex's
# exit status in $status.
swap_mid_create() {
    (sleep 0.5; ln -s "$3" "$2") &
    SHIM_OPEN_DELAY_US=1500000 LD_PRELOAD=$shim "$korvex" "$1" "$2" </dev/null >out.txt
    status=$?
    wait
}
