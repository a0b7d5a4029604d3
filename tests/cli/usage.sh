# The usage block: without arguments, with the image forgotten, and the
# wait for a key that only a terminal gets.

case_no_arguments() {
    expect "usage with no arguments: exit 0" usage_ok 0
}

case_image_forgotten() {
    expect "usage with one argument (the image forgotten): exit 2" usage_ok 2 onlyone
}

case_no_wait_on_pipe() {
    expect "usage does not wait on an open pipe" bash -c "sleep 5 | timeout 3 '$korvex' >/dev/null"
}

case_waits_on_terminal() {
    need_commands script
    printf 'k' >key.txt
    expect "usage waits for a key on a terminal" bash -c "script -qc \"'$korvex'\" /dev/null <key.txt | grep -q 'Press any key'"
}
