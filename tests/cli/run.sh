#!/usr/bin/env bash
# Runs one end-to-end case of the real korvex, from any folder:
#   run.sh GROUP.CASE path/to/korvex     e.g. run.sh image_set.stale_part_map build/korvex
#   run.sh --list                        every case, as GROUP.CASE
# A case is the function case_CASE in GROUP.sh beside this script. It runs
# in a new folder of its own, removed with its mounts, loop devices and
# background processes however it ends. Exit 0: every check passed; 1: one
# failed; 77: this machine cannot run the case (no root, no FUSE, ...).
set -u
here=$(cd "$(dirname "$0")" && pwd)

list() {
    local file
    for file in "$here"/*.sh; do
        case ${file##*/} in lib.sh | run.sh) continue ;; esac
        sed -n 's/^case_\([a-z0-9_]*\)() {.*/\1/p' "$file" | sed "s/^/$(basename "$file" .sh)./"
    done
}
if [ "${1:-}" = --list ]; then
    list
    exit 0
fi
if [ $# -ne 2 ]; then
    echo "usage: $0 GROUP.CASE path/to/korvex | --list" >&2
    exit 2
fi
name=$1
group=${name%%.*}
case_name=${name#*.}
list | grep -qxF "$name" || { echo "no case $name; $0 --list names them" >&2; exit 2; }
korvex=$(realpath "$2") && [ -x "$korvex" ] || { echo "not a program: $2" >&2; exit 2; }
tests=$(dirname "$here")

. "$here/lib.sh"
. "$here/$group.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/korvex-$name.XXXXXX") || exit 1
chmod 755 "$work"
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
cd "$work" || exit 1

# A hung case is ended here, well before CTest's timeout, whose SIGKILL
# would leave its mounts and loop devices behind. The shell takes the
# signal only once its command ends, so the signal first, then the command.
# Its shell's word of its sleep ended by the cleanup is no news.
(
    sleep "${KORVEX_CASE_TIMEOUT:-240}" || exit 0
    echo "TIMEOUT: $name ran for ${KORVEX_CASE_TIMEOUT:-240} s"
    kill -TERM $$
    for pid in $(ps -o pid= --ppid $$); do
        [ "$pid" -eq "$BASHPID" ] || kill_tree "$pid" TERM
    done
) 2>/dev/null &
watchdog=$!
# Out of the job table: a case's bare wait does not wait for it.
disown $watchdog

"case_$case_name"
if [ $((passed + failed)) -eq 0 ]; then
    fail "no check ran"
fi
echo "$name: $passed passed, $failed failed"
[ $failed -eq 0 ]
