#!/usr/bin/env bats
# guardgen interrupted, limited or writing through links, FIFOs and closed pipes, on Linux: no
# truncated test input is left anywhere, nothing of the user's is removed, and an interrupted run
# ends by its signal. Each case runs in a fresh, empty directory. Nothing here sleeps and hopes:
# a signal is sent once the file it is meant for has started to grow.
#
# GUARDGEN: the program to test (required).

load guardgen_helpers

setup() {
    : "${GUARDGEN:?set GUARDGEN to the program to test}"
    out="$BATS_TEST_TMPDIR/stdout"
    err="$BATS_TEST_TMPDIR/stderr"
    mkdir "$BATS_TEST_TMPDIR/work"
    cd "$BATS_TEST_TMPDIR/work"
}

teardown() {
    # A case that failed half-way may leave guardgen running, or blocked on a FIFO.
    if [[ -n ${pid:-} ]] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
}

# Starts guardgen in the background, with the interruptions at their default action (a shell
# starts background commands with SIGINT ignored), under a parent that writes how it ended to
# $ended: "exit N" or "signal SIGNAME" (a shell's status cannot tell an exit with 130 from an end
# by SIGINT). Sets $pid, guardgen's own, and $parent.
start_guardgen() {
    ended="$BATS_TEST_TMPDIR/ended"
    env --default-signal=INT,TERM,HUP /usr/bin/python3 -c '
import os, signal, subprocess, sys
ended, pid_file, out, err = sys.argv[1:5]
with open(out, "w") as stdout, open(err, "w") as stderr:
    child = subprocess.Popen(sys.argv[5:], stdout=stdout, stderr=stderr)
with open(pid_file + ".new", "w") as f:
    f.write(str(child.pid))
os.replace(pid_file + ".new", pid_file)
code = child.wait()
with open(ended, "w") as f:
    f.write(f"signal {signal.Signals(-code).name}" if code < 0 else f"exit {code}")
' "$ended" "$BATS_TEST_TMPDIR/pid" "$out" "$err" "$GUARDGEN" "$@" &
    parent=$!
    until [[ -s $BATS_TEST_TMPDIR/pid ]]; do sleep 0.005; done
    pid=$(cat "$BATS_TEST_TMPDIR/pid")
    rm "$BATS_TEST_TMPDIR/pid"
}

# Waits until the command after it succeeds, for as long as guardgen runs.
wait_until() {
    until "$@"; do
        kill -0 "$pid" 2>/dev/null || { echo "guardgen ended before: $*"; return 1; }
        sleep 0.005
    done
}

has_grown() {
    [[ -f $1 && $(stat -c %s "$1") -ge $2 ]]
}

blocked_opening_fifo() {
    [[ $(cat "/proc/$pid/wchan" 2>/dev/null) == wait_for_partner ]]
}

# Waits for guardgen to end, for 20 seconds at most; fails unless it ended as $1 says ("exit N"
# or "signal SIGNAME").
expect_ended() {
    local tries=0
    while kill -0 "$parent" 2>/dev/null && ((tries++ < 4000)); do sleep 0.005; done
    if kill -0 "$parent" 2>/dev/null; then
        echo "guardgen still runs"
        return 1
    fi
    wait "$parent"
    if [[ $(cat "$ended") != "$1" ]]; then
        echo "guardgen ended by $(cat "$ended"), expected $1; stderr:"; cat "$err"
        return 1
    fi
}

# Fails unless each named file is whole: its exact size, and its first and last block.
expect_whole() {
    local name block count
    for name in "$@"; do
        case $name in
            guard.h) [[ $(cat guard.h) == "${GUARD%$'\n'}" ]] ;;
            noguard.h) [[ $(cat noguard.h) == "${NOGUARD%$'\n'}" ]] ;;
            eg*) block=$EG ;;&
            ig*) block=$IG ;;&
            ng*) block=$NG ;;&
            *.c)
                count=${name:2:-2}
                if [[ $(stat -c %s "$name") -ne $((${#block} * count)) ]] ||
                    [[ $(head -c "${#block}" "$name") != "${block%$'\n'}" ]] ||
                    [[ $(tail -c "${#block}" "$name") != "${block%$'\n'}" ]]; then
                    echo "$name is not whole: $(stat -c %s "$name") bytes"
                    return 1
                fi
                ;;
        esac || { echo "$name is not whole"; return 1; }
    done
}

@test "interrupted at any file: the file being written is discarded, the rest stay whole, the run ends by the signal" {
    # The signal, the file to wait for, and the files that are whole by then.
    local cases=(
        "INT noguard.h guard.h noguard.h"
        "INT eg20000000.c guard.h noguard.h"
        "TERM ig20000000.c guard.h noguard.h eg20000000.c"
        "HUP ng20000000.c guard.h noguard.h eg20000000.c ig20000000.c"
    )
    local entry signal target whole
    for entry in "${cases[@]}"; do
        read -r signal target whole <<<"$entry"
        echo "SIG$signal once $target grows"
        rm -f -- *
        start_guardgen 20000000
        wait_until has_grown "$target" 1
        kill "-$signal" "$pid"
        expect_ended "signal SIG$signal"
        [[ ! -s $err ]] || { cat "$err"; return 1; }
        # shellcheck disable=SC2086
        expect_files $whole
        # shellcheck disable=SC2086
        expect_whole $whole
    done
}

@test "an interruption ignored when guardgen starts (nohup) stays ignored" {
    (trap '' HUP && exec "$GUARDGEN" 5000000 >"$out" 2>"$err") &
    pid=$!
    wait_until has_grown eg5000000.c 1
    kill -HUP "$pid"
    status=0
    wait "$pid" || status=$?
    expect_status 0
    expect_whole guard.h noguard.h eg5000000.c ig5000000.c ng5000000.c
}

@test "one SIGINT ends a run blocked opening a FIFO that has no reader" {
    mkfifo eg5.c
    start_guardgen 5
    wait_until blocked_opening_fifo
    kill -INT "$pid"
    if ! expect_ended "signal SIGINT"; then
        # If it still runs, reading the FIFO lets it go on, so that the case ends.
        if kill -0 "$pid" 2>/dev/null; then timeout 10 cat eg5.c >/dev/null; fi
        return 1
    fi
    [[ -p eg5.c ]]
    expect_files guard.h noguard.h eg5.c
}

@test "a file size limit: each file too large is reported and removed, the run goes on" {
    status=0
    (ulimit -f 100 && exec "$GUARDGEN" 1000 10000 3 >"$out" 2>"$err") || status=$?
    expect_status 1
    [[ $(cat "$err") == "guardgen: eg10000.c: File too large
guardgen: ig10000.c: File too large
guardgen: ng10000.c: File too large" ]]
    expect_files guard.h noguard.h eg1000.c ig1000.c ng1000.c eg3.c ig3.c ng3.c
    expect_whole guard.h noguard.h eg1000.c ig1000.c ng1000.c eg3.c ig3.c ng3.c
}

@test "standard output whose reader has gone: reported once, every file still written" {
    local first
    first=$("$GUARDGEN" $(yes 1 | head -n 5000) 7 2>"$err" | head -n 1; echo "${PIPESTATUS[0]}")
    [[ $first == $'Writing eg1.c\n1' ]]
    [[ $(cat "$err") == "guardgen: standard output: Broken pipe" ]]
    expect_files guard.h noguard.h eg1.c ig1.c ng1.c eg7.c ig7.c ng7.c
    expect_whole guard.h noguard.h eg1.c ig1.c ng1.c eg7.c ig7.c ng7.c
}

@test "a failed write behind a link: the link stays and the file it leads to is left empty" {
    echo "the user's own text" >../linked
    echo "the user's own text" >../hard
    ln -s ../linked eg30000.c
    ln ../hard ig30000.c
    status=0
    (ulimit -f 100 && exec "$GUARDGEN" 30000 >"$out" 2>"$err") || status=$?
    expect_status 1
    [[ $(wc -l <"$err") -eq 3 ]]
    [[ $(readlink eg30000.c) == ../linked && ! -s ../linked ]]
    [[ $(stat -c %h ig30000.c) -eq 2 && ! -s ../hard ]]
    expect_files guard.h noguard.h eg30000.c ig30000.c
}

@test "a FIFO whose reader stops reading: reported and left as it is, the run goes on" {
    mkfifo eg100000.c
    head -c 1000 eg100000.c >/dev/null &
    status=0
    "$GUARDGEN" 100000 >"$out" 2>"$err" || status=$?
    expect_status 1
    [[ $(cat "$err") == "guardgen: eg100000.c: Broken pipe" ]]
    [[ -p eg100000.c ]]
    expect_files guard.h noguard.h eg100000.c ig100000.c ng100000.c
    expect_whole guard.h noguard.h ig100000.c ng100000.c
}
