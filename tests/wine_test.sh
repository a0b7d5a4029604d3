#!/usr/bin/env bash
# korvex.exe end to end under Wine, on a drive letter backed by an image file.
# Usage: wine_test.sh KORVEX32.EXE [KORVEX64.EXE]
# The 32-bit build is the product; where this kernel cannot run 32-bit
# programs at all, the 64-bit build of the same sources stands in, so that
# the Windows platform layer is still exercised. Exits 77 (skipped) where
# Wine cannot run either.
set -u
exe32=$(realpath "$1")
exe64=${2:+$(realpath "$2")}
work=$(mktemp -d)
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
MIB=1048576

wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
usage_runs() { timeout 300 "$1" "$2" </dev/null 2>/dev/null | grep -q '^Usage: Korvex'; }
if usage_runs wine "$exe32"; then
    wine=wine exe=$exe32 gxx=i686-w64-mingw32-g++
    echo "testing the 32-bit korvex.exe"
elif [ -n "$exe64" ] && usage_runs "$wine64" "$exe64"; then
    wine=$wine64 exe=$exe64 gxx=x86_64-w64-mingw32-g++
    echo "note: this kernel cannot run 32-bit programs (Wine's 32-bit loader fails);"
    echo "      testing the 64-bit build of the same sources instead"
else
    echo "SKIP: Wine cannot run korvex.exe on this machine"
    exit 77
fi

here=$(dirname "$(realpath "$0")")
mkdir -p "$work/k" "$work/out"
ln -s "$work/k" "$WINEPREFIX/dosdevices/k:"
ln -s "$work/out" "$WINEPREFIX/dosdevices/j:"
mkdir -p "$work/m" "$work/n"
echo 1234abcd >"$work/m/.windows-serial"
echo 1234abcd >"$work/n/.windows-serial"
head -c $((MIB + 512)) /dev/urandom >"$work/m/twin.bin"
ln -s "$work/m" "$WINEPREFIX/dosdevices/m:"
ln -s "$work/n" "$WINEPREFIX/dosdevices/n:"
ln -s "$work/m/twin.bin" "$WINEPREFIX/dosdevices/m::"

passed=0 failed=0
check() {  # check NAME COMMAND...
    local name=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}

# run ARGS...: output as UTF-8 with its CR LF line ends in out.txt, status in $status.
run() {
    timeout 600 "$wine" "$exe" "$@" </dev/null 2>/dev/null >"$work/out.gbk"
    status=$?
    iconv -f GBK -t UTF-8 "$work/out.gbk" >"$work/out.txt"
}

crlf() { sed 's/$/\r/'; }

# dump_ok BYTES [DRIVE]: the k: drive of that size imaged byte for byte, exact transcript.
dump_ok() {
    local bytes=$1 chunks=$((($1 + 64 * MIB - 1) / (64 * MIB))) drive=${2:-k:}
    head -c "$bytes" /dev/urandom >"$work/drive.bin"
    ln -sfn "$work/drive.bin" "$WINEPREFIX/dosdevices/k::"
    # Each dump replaces the image of the one before it.
    run "$drive" 'j:\e.img'
    printf '驱动器: %s\n镜像文件: j:\\e.img\n驱动器大小: %d MB\n缓存大小: 64 MB\n分块: %d 个\n\n开始转储...\n' \
        "$drive" $((bytes / MIB)) $chunks | crlf >"$work/want.txt"
    [ $status -eq 0 ] || { echo "exit $status"; cat "$work/out.txt"; return 1; }
    head -n 7 "$work/out.txt" | cmp -s - "$work/want.txt" || { cat "$work/out.txt"; return 1; }
    local marks
    marks=$(sed -n 8p "$work/out.txt" | tr -d '\r')
    [ "$(tr -cd R <<<"$marks" | wc -c)" -eq $chunks ] && [ "$(tr -cd W <<<"$marks" | wc -c)" -eq $chunks ] &&
        [ "${marks//[RW]/}" = "" ] || { echo "marks: $marks"; return 1; }
    [ "$(sed -n 9p "$work/out.txt")" = $'转储完成！\r' ] || { cat "$work/out.txt"; return 1; }
    cmp "$work/drive.bin" "$work/out/e.img" || return 1
    # The system's SHA-256 (CNG), in sha256sum's own line, LF-ended.
    printf '%s  e.img\n' "$(sha256sum <"$work/drive.bin" | cut -c1-64)" | cmp - "$work/out/e.img.sha256"
}

# The engine's own tests, built for Windows beside korvex.exe.
engine_tests="$(dirname "$exe")/tests/engine_tests.exe"
engine_ok() {
    timeout 600 "$wine" "$engine_tests" >"$work/engine.txt" 2>&1 || { cat "$work/engine.txt"; return 1; }
    grep -q PASSED "$work/engine.txt"
}
[ -f "$engine_tests" ] && check "engine tests under Wine" engine_ok

# The Windows platform's partial image, built beside the engine's tests.
platform_tests="$(dirname "$exe")/tests/windows_platform_tests.exe"
platform_ok() {
    timeout 600 "$wine" "$platform_tests" >"$work/platform.txt" 2>&1 || { cat "$work/platform.txt"; return 1; }
    grep -q PASSED "$work/platform.txt"
}
[ -f "$platform_tests" ] && check "Windows platform tests under Wine" platform_ok

check "100 MiB + 512 B drive imaged byte for byte" dump_ok $((100 * MIB + 512))
check "drive under 1 MiB" dump_ok $((300 * 1024 + 512))
check "k:\\ dumps the volume like k:" dump_ok $((MIB + 512)) 'k:\'

# A folder named outside the system code page, under a path past MAX_PATH;
# Wine reads the Unix command line in the locale's encoding.
long=$(printf 'folder-%.0s' {1..10})
deep="$work/out/$long/$long/$long/$long/한국어"
mkdir -p "$deep"
LC_ALL=C.UTF-8 run k: "j:\\$long\\$long\\$long\\$long\\한국어\\e.img"
check "a Korean folder under a path of 300 characters" bash -c "[ $status -eq 0 ] && cmp -s '$work/drive.bin' '$deep/e.img'"

# The image on the drive's own volume: the k: folder is the volume of k:.
run K: 'K:\e.img'
check "an image on the drive's volume: refused with 87, nothing created" \
    bash -c "[ $status -eq 1 ] && tail -n 1 '$work/out.txt' | grep -qx $'错误，无法创建镜像文件87\r' && [ ! -e '$work/k/e.img' ]"

# Other spellings of the drive decide on the volume opened, not on the text:
# a file on the drive's own volume is never written.
echo important >"$work/k/important.dat"
for drive in '\\.\K:' 'K:.' '//./k:' '\\?\K:'; do
    run "$drive" 'K:\important.dat'
    check "drive '$drive' into its own volume: refused with 87, the file intact" \
        bash -c "[ $status -eq 1 ] && tail -n 1 '$work/out.txt' | grep -qx $'错误，无法创建镜像文件87\r' &&
                 [ \"\$(cat '$work/k/important.dat')\" = important ] && [ ! -e '$work/k/important.dat.part' ]"
done
# A volume's serial number is copied with the file system (a cloned stick),
# so two volumes of one serial are still two: M:, whose device is a file on
# M:'s own folder, and N:, which carries M:'s serial (set up at the start:
# Wine takes in letters and serials once). A serial that Wine did not take
# would pass for nothing, so the setup is checked first.
serial_twins() {
    timeout 60 "$wine" cmd /c vol n: 2>/dev/null >"$work/vol.txt"
    grep -qi 'number is 1234-abcd' "$work/vol.txt" || { echo "N: has not the serial given:"; cat "$work/vol.txt"; return 1; }
    run m: 'n:\twin.img'
    [ $status -eq 0 ] && cmp -s "$work/m/twin.bin" "$work/n/twin.img" || { echo "exit $status"; cat "$work/out.txt"; return 1; }
    # The drive's own volume is still told by its name.
    run m: 'm:\self.img'
    [ $status -eq 1 ] && tail -n 1 "$work/out.txt" | grep -qx $'错误，无法创建镜像文件87\r' && [ ! -e "$work/m/self.img.part" ]
}
check "two volumes of one serial: an image on the other goes through, the drive's own refused" serial_twins
# A disk in its "\\?\" spelling is a device: opened as it stands, never
# created as a file.
run k: '\\?\PhysicalDrive6'
check "\\\\?\\PhysicalDrive6 as the image: a create error, no file made" \
    bash -c "[ $status -eq 1 ] && tail -n 1 '$work/out.txt' | grep -q '错误，无法创建镜像文件' &&
             [ -z \"\$(find '$work/out' '$work/k' -iname '*physicaldrive*')\" ]"
# An existing image is replaced, its old fingerprint with it, and nothing is
# left beside them.
printf '%064d  e.img\n' 0 >"$work/out/e.img.sha256"
check "an existing image and its fingerprint replaced" dump_ok $((2 * MIB))
check "no partial file left" bash -c "[ ! -e '$work/out/e.img.part' ] && [ ! -e '$work/out/e.img.sha256.part' ]"

# Another program holding a file beside the image open, as an indexer or a
# virus scanner does. hold PATH SHARING: hold_file, built for the Windows
# under test, has PATH open, letting others r(ead), w(rite), d(elete) it,
# until release.
hold() {
    mkfifo "$work/hold.in"
    "$wine" "$work/hold_file.exe" "$1" "$2" <"$work/hold.in" >"$work/hold.out" 2>/dev/null &
    holder=$!
    exec 9>"$work/hold.in"
    for _ in $(seq 300); do grep -q '^held' "$work/hold.out" && return 0; sleep 0.1; done
    echo "hold_file could not hold $1: $(cat "$work/hold.out")"
    return 1
}
release() {
    exec 9>&-
    [ -z "${holder:-}" ] || wait "$holder"
    holder=
    rm -f "$work/hold.in"
}
# Deleted, the held fingerprint would keep its name until let go (as
# e.img.sha256.old, once set aside), and the next dump could not take it.
fingerprint_held() {
    dump_ok $((MIB + 512)) && hold 'j:\e.img.sha256' rwd && dump_ok $((2 * MIB)) && dump_ok $((3 * MIB))
}
# An image held without delete sharing cannot be replaced: the dump fails,
# and the old image keeps its fingerprint.
image_held() {
    dump_ok $MIB || return 1
    cp "$work/out/e.img" "$work/old.img" && cp "$work/out/e.img.sha256" "$work/old.sha256"
    hold 'j:\e.img' rw || return 1
    head -c $((2 * MIB)) /dev/urandom >"$work/drive.bin"
    run k: 'j:\e.img'
    [ $status -eq 1 ] && tail -n 1 "$work/out.txt" | grep -qx $'[RW]*错误，无法创建镜像文件[1-9][0-9]*\r' ||
        { echo "exit $status"; iconv -f GBK -t UTF-8 "$work/out.gbk" 2>/dev/null || cat "$work/out.txt"; return 1; }
    cmp "$work/old.img" "$work/out/e.img" && cmp "$work/old.sha256" "$work/out/e.img.sha256" && [ -z "$(asides)" ]
}
# The old files set aside for a rename, and what a removal renamed aside.
asides() { find "$work/out" -maxdepth 1 \( -name '~korvex*' -o -name '*.old' \); }
if "$gxx" -municode -static -O2 -o "$work/hold_file.exe" "$here/hold_file.cpp"; then
    check "an old fingerprint held with delete sharing: replaced, twice while held" fingerprint_held
    release
    check "nothing left beside the image once the holder lets go" test -z "$(asides; find "$work/out" -maxdepth 1 -name '*.part')"
    check "an image held without delete sharing: create error, old image and fingerprint kept" image_held
    release
    rm -f "$work/out/e.img.part"
else
    check "hold_file builds with $gxx" false
fi
# Wine opens C: as a volume but has no flush for it: the renames stand.
run k: 'c:\e.img'
check "an image on a volume without a flush (Wine's C:): complete" \
    bash -c "[ $status -eq 0 ] && cmp -s '$work/drive.bin' '$WINEPREFIX/drive_c/e.img'"

# NUL is the null device: the whole drive read, nothing written, no
# fingerprint. A file named through the device namespace is a file.
for null in NUL '\\.\NUL'; do
    run k: "$null"
    check "'$null' as the image: a read test, complete, nothing made" \
        bash -c "[ $status -eq 0 ] && tail -n 1 '$work/out.txt' | grep -qx $'转储完成！\r' && [ -z \"\$(find '$work' -maxdepth 2 -iname 'nul*')\" ]"
done
# The read test shows the drive's SHA-256 as sha256sum prints it.
check "NUL: the drive's hash on its own line before the completion line" \
    bash -c "[ \"\$(tail -n 2 '$work/out.txt' | head -n 1 | tr -d '\r')\" = \"\$(sha256sum <'$work/drive.bin' | cut -c1-64)  k:\" ]"
run k: 'NUL.zst'
check "a compressed image into the null device (NUL.zst): refused as asked wrongly" \
    bash -c "[ $status -eq 2 ] && tail -n 1 '$work/out.txt' | grep -qx $'错误，压缩镜像只能写入文件\r'"

# Compressed images: a drive of more than a chunk with an unaligned tail,
# read back by the standard tools; the file's hash by CNG in the
# fingerprint, the drive's in the record, which tells the volume opened.
{ head -c $((3 * MIB)) /dev/urandom; head -c $((65 * MIB)) /dev/zero; seq 1 100000; } >"$work/drive.bin"
ln -sfn "$work/drive.bin" "$WINEPREFIX/dosdevices/k::"
compressed_ok() {  # compressed_ok EXT DECODER...
    local ext=$1
    shift
    run k: "j:\\c.img.$ext"
    [ $status -eq 0 ] || { echo "exit $status"; cat "$work/out.txt"; return 1; }
    "$@" <"$work/out/c.img.$ext" | cmp -s - "$work/drive.bin" || { echo "$* does not give the drive back"; return 1; }
    printf '%s  c.img.%s\n' "$(sha256sum <"$work/out/c.img.$ext" | cut -c1-64)" "$ext" | cmp -s - "$work/out/c.img.$ext.sha256" ||
        { echo "fingerprint"; return 1; }
    grep -qx "drive_sha256: $(sha256sum <"$work/drive.bin" | cut -c1-64)" "$work/out/c.img.$ext.info" &&
        grep -qx "drive_opened: \\\\\\\\.\\\\k:" "$work/out/c.img.$ext.info" &&
        grep -qx "drive_bytes: $(stat -c %s "$work/drive.bin")" "$work/out/c.img.$ext.info" &&
        grep -qx "image_bytes: $(stat -c %s "$work/out/c.img.$ext")" "$work/out/c.img.$ext.info" || { cat "$work/out/c.img.$ext.info"; return 1; }
}
check "a zstd image, read back by zstd -d" compressed_ok zst zstd -dc
check "a gzip image, read back by gzip -d" compressed_ok gz gzip -dc
check "an xz image, read back by xz -d" compressed_ok xz xz -dc
# --verify: the image read back from its volume before it takes its name,
# decompressed for a compressed one; NUL cannot be read back.
verified_ok() {  # verified_ok IMAGE DECODER...
    local image=$1
    shift
    run --verify k: "j:\\$image"
    [ $status -eq 0 ] && tail -n 1 "$work/out.txt" | grep -qx $'转储完成！\r' || { echo "exit $status"; cat "$work/out.txt"; return 1; }
    "$@" <"$work/out/$image" | cmp -s - "$work/drive.bin" || { echo "$* does not give the drive back"; return 1; }
    grep -qx 'verified: yes' "$work/out/$image.info" && grep -Eqx 'verify_seconds: [0-9]+\.[0-9]{3}' "$work/out/$image.info" ||
        { cat "$work/out/$image.info"; return 1; }
}
check "--verify: a raw image read back, verified: yes" verified_ok v.img cat
check "--verify: a zstd image read back, verified: yes" verified_ok v.img.zst zstd -dc
run --verify k: NUL
check "--verify into NUL: refused as asked wrongly" \
    bash -c "[ $status -eq 2 ] && tail -n 1 '$work/out.txt' | grep -qx $'错误，镜像无法读回，不能校验\r'"
run --rescue k: 'j:\r.img.gz'
check "--rescue into a compressed image: refused, nothing made" \
    bash -c "[ $status -eq 2 ] && [ ! -e '$work/out/r.img.gz.part' ] && tail -n 1 '$work/out.txt' | grep -q '请救援后再压缩'"

run k: 'j:\AUX'
check "another DOS device (AUX) as the image: refused" \
    bash -c "[ $status -eq 1 ] && tail -n 1 '$work/out.txt' | grep -q '错误，无法创建镜像文件'"
run k: '\\.\J:\ns.img'
check "\\\\.\\J:\\ns.img is a file, fingerprinted" \
    bash -c "[ $status -eq 0 ] && cmp -s '$work/drive.bin' '$work/out/ns.img' && grep -q '  ns.img\$' '$work/out/ns.img.sha256'"
# Windows drops a name's trailing dots and blanks: the image and its
# fingerprint are named as the file made, and the fingerprint names it.
run k: 'j:\dot.img. .'
check "a trailing dot and blank: dot.img and dot.img.sha256, naming dot.img" \
    bash -c "[ $status -eq 0 ] && cmp -s '$work/drive.bin' '$work/out/dot.img' &&
             (cd '$work/out' && sha256sum -c --status dot.img.sha256)"
# On a console (a terminal, to Wine) the text is written in Unicode: the
# terminal's UTF-8 whatever the code page, and the progress in the title.
if command -v script >/dev/null; then
    LC_ALL=C.UTF-8 script -qc "timeout 300 '$wine' '$exe' k: 'j:\\console.img'" /dev/null </dev/null 2>/dev/null |
        tr -d '\r' >"$work/console.txt"
    check "a console gets Unicode: the Chinese lines as UTF-8" \
        bash -c "grep -q '驱动器: k:' '$work/console.txt' && grep -q '开始转储...' '$work/console.txt' && grep -q '转储完成！' '$work/console.txt'"
    check "a console's title shows the progress" grep -q $'\e\\]0;korvex k: [0-9]*%' "$work/console.txt"
    # A title past 1,023 characters (cmd's "title" sets it) is put back whole.
    long_title=$(printf 'title-%.0s' {1..400})
    LC_ALL=C.UTF-8 script -qc "timeout 300 '$wine' cmd /c 'title $long_title & z:${exe//\//\\} k: j:\\title.img'" /dev/null \
        </dev/null 2>/dev/null | tr -d '\r' >"$work/console.txt"
    check "a title of 2,400 characters put back whole" \
        bash -c "grep -q 'korvex k: [0-9]*%' '$work/console.txt' &&
                 grep -ao $'\e\\]0;[^\a]*' '$work/console.txt' | tail -n 1 | grep -qx $'\e\\]0;'$long_title' *'"
fi

# claimed MAP: the bytes a mapfile calls read.
claimed() {
    /usr/bin/python3 -c '
import sys
lines = [l.split() for l in open(sys.argv[1]) if l.strip() and not l.startswith("#")][1:]
print(sum(int(size, 16) for pos, size, status in lines if status == "+"))' "$1" 2>/dev/null || echo 0
}
# The map of the dump killed below: the drive's size and the volume opened.
killed_map_ok() {
    local map="$work/out/killed.img.part.map"
    [ "$(claimed "$map")" -ge $((128 * MIB)) ] && grep -qx "# Drive size: $((200 * MIB))" "$map" &&
        grep -qxF '# Drive opened: \\.\k:' "$map" || { cat "$map"; return 1; }
}

# Rescue: a letter whose device is a file with unreadable ranges, served
# through FUSE (Wine reports such a range as 21). The image is kept in full
# with zeros in those ranges, and ddrescue, given Korvex's map, completes it
# once the ranges read again.
if [ "$(id -u)" -eq 0 ] && [ -c /dev/fuse ] && /usr/bin/python3 -c 'import fusepy' 2>/dev/null &&
    command -v ddrescue >/dev/null; then
    mkdir "$work/bad"
    head -c $((70 * MIB)) /dev/urandom >"$work/healthy.bin"
    /usr/bin/python3 "$here/bad_drive.py" "$work/bad" "$work/healthy.bin" "$work/healed" \
        $((MIB + 512)):$((MIB + 1024)) $((40 * MIB)):$((48 * MIB)) &
    fuse=$!
    for _ in $(seq 50); do [ -e "$work/bad/drive.img" ] && break; sleep 0.1; done
    ln -sfn "$work/bad/drive.img" "$WINEPREFIX/dosdevices/k::"
    run k: 'j:\plain.img'
    check "without --rescue: the read error, 21" \
        bash -c "[ $status -eq 1 ] && tail -n 1 '$work/out.txt' | grep -qx $'[RW]*错误，无法读取驱动器21\r'"
    run --rescue k: 'j:\saved.img'
    check "--rescue: exit 3 and the unreadable bytes' line, the fingerprint checks" \
        bash -c "[ $status -eq 3 ] && tail -n 1 '$work/out.txt' | grep -qx $'转储结束，无法读取的字节：[0-9]*\r' &&
                 (cd '$work/out' && sha256sum -c --status saved.img.sha256)"
    # Before any hand-over: the map covers the drive, the drive's bytes
    # wherever it says read, zeros elsewhere and only in and right after
    # the bad ranges, and the count on the line is what the map lists.
    unread=$(tail -n 1 "$work/out.txt" | tr -dc 0-9)
    check "--rescue: the map and the count agree with the image and the drive" \
        /usr/bin/python3 "$here/check_map.py" "$work/out/saved.img" "$work/healthy.bin" "$work/out/saved.img.map" \
        4096 "$unread" -- $((MIB + 512)):$((MIB + 1024)) $((40 * MIB)):$((48 * MIB))
    touch "$work/healed"
    ddrescue -r1 "$work/bad/drive.img" "$work/out/saved.img" "$work/out/saved.img.map" >/dev/null 2>&1
    check "ddrescue on Korvex's map (LF lines) completes the image" cmp -s "$work/healthy.bin" "$work/out/saved.img"
    # A dump killed mid-way, as the power or the system can end it: the
    # drive stops answering at 150 MiB (its read held), and once the map
    # beside the partial file calls two chunks read, every process of the
    # prefix is killed (wineserver -k). The map names the drive, calls read
    # only what the partial file holds as the drive has it, and ddrescue
    # finishes the image from it.
    mkdir "$work/held"
    head -c $((200 * MIB)) /dev/urandom >"$work/whole.bin"
    BAD_DRIVE_HOLD=$((150 * MIB)) /usr/bin/python3 "$here/bad_drive.py" "$work/held" "$work/whole.bin" "$work/healed" &
    held=$!
    for _ in $(seq 50); do [ -e "$work/held/drive.img" ] && break; sleep 0.1; done
    ln -sfn "$work/held/drive.img" "$WINEPREFIX/dosdevices/k::"
    timeout 600 "$wine" "$exe" k: 'j:\killed.img' </dev/null >/dev/null 2>&1 &
    dumping=$!
    for _ in $(seq 1200); do
        [ "$(claimed "$work/out/killed.img.part.map")" -ge $((128 * MIB)) ] && break
        sleep 0.1
    done
    # A process killed while it waits on the held read goes only once that
    # read is answered: the drive's server goes with it.
    wineserver -k
    kill -KILL $held
    wait $held $dumping 2>/dev/null
    umount -l "$work/held" 2>/dev/null
    check "killed mid-way: the map beside the partial file names the drive and calls two chunks read" killed_map_ok
    check "killed mid-way: the map agrees with the partial file and the drive" \
        /usr/bin/python3 "$here/check_map.py" --partial "$work/out/killed.img.part" "$work/whole.bin" \
        "$work/out/killed.img.part.map" 4096 --
    cp "$work/out/killed.img.part" "$work/handed.part"
    cp "$work/out/killed.img.part.map" "$work/handed.map"
    ddrescue "$work/whole.bin" "$work/handed.part" "$work/handed.map" >/dev/null 2>&1
    check "killed mid-way: ddrescue finishes the image from the map" cmp -s "$work/whole.bin" "$work/handed.part"
    # --resume goes on with it: not from another volume of the same size,
    # and from its own to the whole image with its fingerprint.
    head -c $((200 * MIB)) /dev/urandom >"$work/other.bin"
    ln -sfn "$work/other.bin" "$WINEPREFIX/dosdevices/k::"
    run --resume k: 'j:\killed.img'
    check "--resume from another volume: refused, the partial file kept" \
        bash -c "[ $status -eq 1 ] && tail -n 1 '$work/out.txt' | grep -qx $'错误，驱动器与映射文件不符\r' && [ -f '$work/out/killed.img.part.map' ]"
    ln -sfn "$work/whole.bin" "$WINEPREFIX/dosdevices/k::"
    run --resume k: 'j:\killed.img'
    check "--resume: the whole image, its fingerprint checks, the record tells where it went on" \
        bash -c "[ $status -eq 0 ] && grep -q $'^继续转储，已有的字节：[0-9]*\r$' '$work/out.txt' && cmp -s '$work/whole.bin' '$work/out/killed.img' &&
                 (cd '$work/out' && sha256sum -c --status killed.img.sha256) && grep -q '^resumed_from: [1-9]' '$work/out/killed.img.info' &&
                 [ ! -e '$work/out/killed.img.part' ] && [ ! -e '$work/out/killed.img.part.map' ]"
    kill $fuse
    wait $fuse 2>/dev/null
    umount "$work/bad" 2>/dev/null
    ln -sfn "$work/drive.bin" "$WINEPREFIX/dosdevices/k::"
fi

timeout 300 "$wine" "$exe" </dev/null 2>/dev/null >"$work/usage.gbk"
status=$?
printf 'Korvex 1.0 - copies a whole drive into an ISO or IMG image file\n\nUsage: Korvex [Drive] [ISO|IMG File Path]\n使用方法: Korvex [驱动器] [ISO|IMG 文件地址]\n\n\n' |
    crlf | iconv -f UTF-8 -t GBK >"$work/want.gbk"
check "usage block, then pause, exit 0" bash -c "[ $status -eq 0 ] && head -c $(stat -c %s "$work/want.gbk") '$work/usage.gbk' | cmp -s - '$work/want.gbk'"

run q: 'j:\e.img'
printf '驱动器: q:\n镜像文件: j:\\e.img\n错误，不是有效的驱动器\n' | crlf >"$work/want.txt"
check "unknown drive letter" bash -c "[ $status -eq 1 ] && cmp -s '$work/out.txt' '$work/want.txt'"

run k: 'j:\missing\e.img'
check "image folder missing: create error 3" bash -c "[ $status -eq 1 ] && tail -n 1 '$work/out.txt' | grep -qx $'错误，无法创建镜像文件3\r'"

# --list: the letters Wine has, k: with the size of the file behind it,
# and every text in a column that a head starts (Wine answers few of the
# queries, and what it leaves unknown must not shift the rest).
columns_under_heads() {
    python3 - "$1" <<'PY'
import re, sys, unicodedata
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
def places(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)
def starts(line):
    return [places(line[:m.start(1)]) for m in re.finditer(r"(?:^|  )(\S)", line)]
heads = set(starts(lines[0]))
for line in lines[1:]:
    if not set(starts(line)[1:]) <= heads:
        sys.exit("out of its column: " + line + "\n" + "\n".join(lines))
PY
}
truncate -s $((100 * MIB)) "$work/drive.bin"
ln -sfn "$work/drive.bin" "$WINEPREFIX/dosdevices/k::"
run --list
tr -d '\r' <"$work/out.txt" >"$work/list.txt"
check "--list: exit 0, C: and K: listed" \
    bash -c "[ $status -eq 0 ] && grep -q '^ *C:  ' '$work/list.txt' && grep -q '^ *K:  ' '$work/list.txt'"
check "--list: K: the size of the file behind it" grep -q '^ *K:  *104\.9 MB (100\.0 MiB)' "$work/list.txt"
check "--list: every text under a head" columns_under_heads "$work/list.txt"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
