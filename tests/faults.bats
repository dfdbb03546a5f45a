#!/usr/bin/env bats
# guardgen interrupted, limited or writing through links, FIFOs and closed pipes: no truncated
# test input is left anywhere, nothing of the user's is removed, and an interrupted run ends by its
# signal. Each case runs in a fresh, empty directory. Nothing here sleeps and hopes: a signal is
# sent once the file it is meant for has started to grow. It reads GUARDGEN, GUARDGEN_RUNNER and
# GUARDGEN_EOL (see guardgen_helpers.bash); under wine, the Windows program gets the cases that
# Windows has: Ctrl-C, links, a full disk, a FIFO.

load guardgen_helpers

setup() {
    setup_guardgen
}

teardown() {
    # A case that failed half-way may leave guardgen running, or blocked on a FIFO.
    if [[ -n ${pid:-} ]] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
    if [[ -n ${small:-} ]]; then
        cd "$BATS_TEST_TMPDIR"
        umount "$small"
    fi
}

# How a run that $1 (SIGINT, ...) interrupted ends, as start_guardgen writes it: by that signal, or
# under wine, where SIGINT arrives as Ctrl-C, with the C runtime's status 3.
interrupted_by() {
    if [[ ${#runner[@]} -eq 0 ]]; then echo "signal $1"; else echo "exit 3"; fi
}

# Starts guardgen in the background, with the interruptions at their default action (a shell
# starts background commands with SIGINT ignored), under a parent that writes how it ended to
# $ended: "exit N" or "signal SIGNAME" (a shell's status cannot tell an exit with 130 from an end
# by SIGINT). Sets $pid, guardgen's own, and $parent.
start_guardgen() {
    ended="$BATS_TEST_TMPDIR/ended"
    env --default-signal=INT,TERM,HUP "$BATS_TEST_DIRNAME/record_end.py" \
        "$ended" "$BATS_TEST_TMPDIR/pid" "$out" "$err" "${runner[@]}" "$GUARDGEN" "$@" &
    parent=$!
    local tries=0
    until [[ -s $BATS_TEST_TMPDIR/pid ]]; do
        ((tries++ < 4000)) || { echo "guardgen did not start within 20 s"; return 1; }
        sleep 0.005
    done
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
    [[ -f $1 && $(stat -L -c %s "$1") -ge $2 ]]
}

blocked_opening_fifo() {
    [[ $(cat "/proc/$pid/wchan" 2>/dev/null) == wait_for_partner ]]
}

# Whether the FIFO $1 holds so much that a chunk no longer fits: its writer is blocked.
fifo_is_full() {
    local held script='import fcntl, os, struct, sys, termios
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK)
print(struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, bytes(4)))[0])'
    held=$(python3 -c "$script" "$1")
    ((held > 60000))
}

# Makes the current directory a file system with room for 100 KiB, where it can be made.
enter_small_file_system() {
    small="$BATS_TEST_TMPDIR/small"
    mkdir "$small"
    mount -t tmpfs -o size=100k guardgen-test "$small" 2>/dev/null || {
        small=""
        skip "a small file system to fill can be made only by root"
    }
    cd "$small"
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
            guard.h) [[ $(cat guard.h) == $(printf %s "${GUARD//$'\n'/$eol}") ]] ;;
            noguard.h) [[ $(cat noguard.h) == $(printf %s "${NOGUARD//$'\n'/$eol}") ]] ;;
            eg*) block=$EG ;;&
            ig*) block=$IG ;;&
            ng*) block=$NG ;;&
            *.c)
                block=${block//$'\n'/$eol}
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
    # The signal, the link the target is (-: none, or a symbolic or hard link to the user's own
    # file), the file to wait for, and the files that are whole by then.
    local cases=(
        "INT - noguard.h guard.h noguard.h"
        "INT - eg20000000.c guard.h noguard.h"
        "TERM - ig20000000.c guard.h noguard.h eg20000000.c"
        "HUP - ng20000000.c guard.h noguard.h eg20000000.c ig20000000.c"
        "INT symbolic eg20000000.c guard.h noguard.h"
        "INT hard ig20000000.c guard.h noguard.h eg20000000.c"
    )
    local entry signal link target whole least
    for entry in "${cases[@]}"; do
        read -r signal link target whole <<<"$entry"
        if [[ $signal != INT && ${#runner[@]} -gt 0 ]]; then
            echo "SIG$signal: not under wine, which it ends itself"
            continue
        fi
        echo "SIG$signal once $target grows, behind link: $link"
        rm -f -- *
        least=1
        if [[ $link != - ]]; then
            echo "the user's own text" >../user.txt
            least=1000
        fi
        case $link in
            symbolic) ln -s ../user.txt "$target" ;;
            hard) ln ../user.txt "$target" ;;
        esac
        start_guardgen 20000000
        wait_until has_grown "$target" "$least"
        kill "-$signal" "$pid"
        expect_ended "$(interrupted_by "SIG$signal")"
        [[ ! -s $err ]] || { cat "$err"; return 1; }
        # shellcheck disable=SC2086
        expect_whole $whole
        if [[ $link == - ]]; then
            # shellcheck disable=SC2086
            expect_files $whole
        else
            # shellcheck disable=SC2086
            expect_files $whole "$target"
            expect_link_to_emptied "$link" "$target" ../user.txt
        fi
    done
}

# Fails unless $2 is still a link of kind $1 (symbolic or hard) to the file $3, which is empty.
expect_link_to_emptied() {
    case $1 in
        symbolic) [[ $(readlink "$2") == "$3" ]] ;;
        hard) [[ ! -L $2 && $(stat -c %h "$2") -eq 2 && $2 -ef $3 ]] ;;
    esac || { echo "$2 is no longer a $1 link to $3"; return 1; }
    [[ ! -s $3 ]] || { echo "$3 was left with $(stat -c %s "$3") bytes"; return 1; }
}

@test "an interruption ignored when guardgen starts (nohup) stays ignored" {
    native_only "a Windows program has no SIGHUP"
    (trap '' HUP && exec "$GUARDGEN" 5000000 >"$out" 2>"$err") &
    pid=$!
    wait_until has_grown eg5000000.c 1
    kill -HUP "$pid"
    status=0
    wait "$pid" || status=$?
    expect_status 0
    expect_whole guard.h noguard.h eg5000000.c ig5000000.c ng5000000.c
}

@test "one SIGINT ends a run blocked on a FIFO: opening one with no reader, writing one that is full" {
    local blocked
    for blocked in opening writing; do
        echo "blocked $blocked"
        rm -f -- *
        mkfifo ng100000.c
        if [[ $blocked == opening ]]; then
            # Wine opens a FIFO for reading too, so the open never waits for a reader there.
            [[ ${#runner[@]} -eq 0 ]] || continue
            start_guardgen 100000
            wait_until blocked_opening_fifo
        else
            # A reader that never reads: the writes block once the FIFO is full.
            exec {reader}<>ng100000.c
            start_guardgen 100000
            wait_until fifo_is_full ng100000.c
        fi
        kill -INT "$pid"
        if ! expect_ended "$(interrupted_by SIGINT)"; then
            # If it still runs, reading the FIFO lets it go on, so that the case ends.
            if kill -0 "$pid" 2>/dev/null; then timeout 10 cat ng100000.c >/dev/null; fi
            return 1
        fi
        [[ $blocked == opening ]] || exec {reader}<&-
        [[ -p ng100000.c ]]
        expect_files guard.h noguard.h eg100000.c ig100000.c ng100000.c
        expect_whole eg100000.c ig100000.c
        # What was announced before it blocked is not lost with the buffer.
        [[ $(tr -d '\r' <"$out") == $'Writing eg100000.c\nWriting ig100000.c\nWriting ng100000.c' ]] ||
            { echo "stdout: $(cat "$out")"; return 1; }
    done
}

@test "a file size limit: each file too large is reported and removed, the run goes on" {
    native_only "wine ends itself at the file size limit"
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
    first=$("${runner[@]}" "$GUARDGEN" $(yes 1 | head -n 5000) 7 2>"$err" | head -n 1 | tr -d '\r'
        echo "${PIPESTATUS[0]}")
    [[ $first == $'Writing eg1.c\n1' ]]
    if [[ ${#runner[@]} -eq 0 ]]; then
        [[ $(cat "$err") == "guardgen: standard output: Broken pipe" ]]
    else
        # Wine gives a reason of its own.
        [[ $(tr -d '\r' <"$err") == "guardgen: standard output: "?* ]]
    fi
    expect_files guard.h noguard.h eg1.c ig1.c ng1.c eg7.c ig7.c ng7.c
    expect_whole guard.h noguard.h eg1.c ig1.c ng1.c eg7.c ig7.c ng7.c
}

@test "a failed write behind a link: the link stays and the file it leads to is left empty" {
    if [[ ${#runner[@]} -gt 0 ]]; then
        # Wine ends itself at the file size limit: fill a small file system instead.
        enter_small_file_system
        mkdir work
        cd work
    fi
    echo "the user's own text" >../linked
    echo "the user's own text" >../hard
    ln -s ../linked eg30000.c
    ln ../hard ig30000.c
    status=0
    if [[ ${#runner[@]} -gt 0 ]]; then
        "${runner[@]}" "$GUARDGEN" 30000 >"$out" 2>"$err" || status=$?
    else
        (ulimit -f 100 && exec "$GUARDGEN" 30000 >"$out" 2>"$err") || status=$?
    fi
    expect_status 1
    [[ $(wc -l <"$err") -eq 3 ]]
    expect_link_to_emptied symbolic eg30000.c ../linked
    expect_link_to_emptied hard ig30000.c ../hard
    expect_files guard.h noguard.h eg30000.c ig30000.c
}

@test "a FIFO whose reader stops reading: reported and left as it is, the run goes on" {
    native_only "wine opens a FIFO for reading too, so its reader never goes"
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
