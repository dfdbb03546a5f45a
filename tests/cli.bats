#!/usr/bin/env bats
# The guardgen program as a user runs it: arguments, standard output and error, exit status, and
# the exact bytes of every file it leaves. Each case runs in a fresh, empty directory. It reads
# GUARDGEN, GUARDGEN_RUNNER and GUARDGEN_EOL (see guardgen_helpers.bash), and GUARDGEN_VERSION,
# the version --version is to print.

load guardgen_helpers

USAGE=$'Usage:\nguardgen n1 [ n2 n3 n4 ... ]\n\nWhere n1, n2, n3 etc. are the number of #includes\nto be put into the relevant files\n'
HELP="$USAGE"$'
Options, wherever they stand; guardgen then writes no file:
  -h, --help   print this help
  --version    print the version
Any other argument is a count: one that is not a number counts as 0.
guard.h, noguard.h and the sources are written into the current directory,
replacing files of those names.
'

setup() {
    setup_guardgen
}

# Runs guardgen with the given arguments; sets $status.
run_guardgen() {
    status=0
    "${runner[@]}" "$GUARDGEN" "$@" >"$out" 2>"$err" || status=$?
}

# Copies standard input to standard output with every "\n" turned into the program's line end.
to_eol() {
    if [[ "$eol" == $'\n' ]]; then cat; else perl -pe 's/\n/\r\n/g'; fi
}

text() {
    printf '%s' "$1"
}

# The text $1 repeated $2 times (none for 0 or less), by doubling.
repeat() {
    local piece=$1 n=$2 result=""
    while ((n > 0)); do
        if ((n & 1)); then result+=$piece; fi
        piece+=$piece
        ((n >>= 1))
    done
    printf '%s' "$result"
}

# Fails, showing both, unless file $1 holds exactly what the command after it prints, with the
# program's line ends: expect_output guard.h text "$GUARD"; expect_output eg5.c repeat "$EG" 5.
expect_output() {
    local file=$1
    shift
    if ! cmp -s <("$@" | to_eol) "$file"; then
        echo "$file differs from what was expected:"
        echo "--- expected"; "$@" | to_eol | od -c | head -20
        echo "--- actual"; od -c "$file" | head -20
        return 1
    fi
}

announced() {
    local n
    for n in "$@"; do printf 'Writing eg%s.c\nWriting ig%s.c\nWriting ng%s.c\n' "$n" "$n" "$n"; done
}

# A whole successful run: headers and the three sources for each count, as the counts say.
expect_run_for() {
    local n files=(guard.h noguard.h)
    expect_status 0
    expect_output "$out" announced "$@"
    expect_output "$err" text ""
    expect_output guard.h text "$GUARD"
    expect_output noguard.h text "$NOGUARD"
    for n in "$@"; do
        expect_output "eg$n.c" repeat "$EG" "$n"
        expect_output "ig$n.c" repeat "$IG" "$n"
        expect_output "ng$n.c" repeat "$NG" "$n"
        files+=("eg$n.c" "ig$n.c" "ng$n.c")
    done
    expect_files $(printf '%s\n' "${files[@]}" | sort -u)
}

@test "no arguments: the usage text, status 0, and no file is touched" {
    run_guardgen
    expect_status 0
    expect_output "$out" text "$USAGE"
    expect_output "$err" text ""
    expect_files

    echo old >guard.h
    echo old >noguard.h
    run_guardgen
    expect_output "$out" text "$USAGE"
    [[ "$(cat guard.h noguard.h)" == $'old\nold' ]]
}

@test "-h, --help and --version: answered wherever they stand, the first of them, no file written" {
    : "${GUARDGEN_VERSION:?set GUARDGEN_VERSION to the version --version is to print}"
    local VERSION="guardgen $GUARDGEN_VERSION"$'\n'
    # The arguments, and the variable that holds what standard output is to hold.
    local cases=(
        "--help|HELP"
        "-h|HELP"
        "--version|VERSION"
        "3 --help|HELP"
        "--help 3|HELP"
        "x -h 5|HELP"
        "7 --version|VERSION"
        "--version --help|VERSION"
        "-h --version|HELP"
    )
    local entry arguments expected
    for entry in "${cases[@]}"; do
        IFS='|' read -r arguments expected <<<"$entry"
        echo "arguments '$arguments'"
        rm -rf ./*
        run_guardgen $arguments
        expect_status 0
        expect_output "$out" text "${!expected}"
        expect_output "$err" text ""
        expect_files
    done

    echo old >guard.h
    run_guardgen 2 --help
    [[ "$(cat guard.h)" == old ]]
    expect_files guard.h
}

@test "2 5: the headers once, then the sources for 2 and 5 in that order" {
    run_guardgen 2 5
    expect_run_for 2 5
}

@test "files have the documented sizes" {
    local guard noguard eg ig ng
    if [[ "$eol" == $'\n' ]]; then
        guard=53 noguard=14 eg=420 ig=190 ng=210
    else
        guard=57 noguard=15 eg=450 ig=200 ng=220
    fi
    run_guardgen 10
    expect_status 0
    [[ $(wc -c <guard.h) -eq $guard ]]
    [[ $(wc -c <noguard.h) -eq $noguard ]]
    [[ $(wc -c <eg10.c) -eq $eg ]]
    [[ $(wc -c <ig10.c) -eq $ig ]]
    [[ $(wc -c <ng10.c) -eq $ng ]]
}

@test "each argument converts to a count, with 32-bit wrap-around" {
    local cases=(
        "1" 1
        "007" 7
        "  +7x" 7
        $' \t9' 9
        "-4" -4
        "-3" -3
        "0" 0
        "" 0
        "abc" 0
        "x7" 0
        "+-5" 0
        "- 5" 0
        "12abc" 12
        "--hel" 0
        "-help" 0
        "--" 0
        "/?" 0
        "4294967297" 1
        "2147483648" -2147483648
    )
    local i
    for ((i = 0; i < ${#cases[@]}; i += 2)); do
        echo "argument '${cases[i]}', expected count ${cases[i + 1]}"
        rm -rf ./*
        run_guardgen "${cases[i]}"
        expect_run_for "${cases[i + 1]}"
    done
}

@test "a large count crosses many write buffers and stays exact" {
    run_guardgen 100003
    expect_run_for 100003
}

@test "a count given twice writes its files twice, ending as for one" {
    run_guardgen 3 3
    expect_run_for 3 3
}

@test "only non-numeric arguments: the headers, then the empty files for 0, twice" {
    run_guardgen x y
    expect_run_for 0 0
    [[ ! -s eg0.c && ! -s ig0.c && ! -s ng0.c ]]
}

@test "existing files are truncated and rewritten, never appended to" {
    local name
    for name in guard.h noguard.h eg2.c ig2.c ng2.c; do
        head -c 3000 /dev/zero | tr '\0' x >"$name"
    done
    run_guardgen 2
    expect_run_for 2
}

@test "a directory in the way of a source: reported, the others written, status 1" {
    mkdir ig5.c
    run_guardgen 5
    expect_status 1
    expect_output "$out" announced 5
    [[ $(wc -l <"$err") -eq 1 ]]
    grep -q '^guardgen: ig5\.c: .' "$err"
    [[ -d ig5.c ]]
    expect_output guard.h text "$GUARD"
    expect_output eg5.c repeat "$EG" 5
    expect_output ng5.c repeat "$NG" 5
    expect_files guard.h noguard.h eg5.c ig5.c ng5.c
}

@test "a directory in the way of a header: reported, the rest written, status 1" {
    mkdir noguard.h
    run_guardgen 1
    expect_status 1
    grep -q '^guardgen: noguard\.h: .' "$err"
    [[ -d noguard.h ]]
    expect_output guard.h text "$GUARD"
    expect_output ig1.c text "$IG"
}

@test "the message follows what was announced before it, and names the reason" {
    mkdir ig5.c
    status=0
    "${runner[@]}" "$GUARDGEN" 5 >"$out" 2>&1 || status=$?
    expect_status 1
    local lines
    mapfile -t lines < <(tr -d '\r' <"$out")
    printf '%s\n' "${lines[@]}"
    [[ ${#lines[@]} -eq 4 ]]
    [[ ${lines[0]} == "Writing eg5.c" && ${lines[1]} == "Writing ig5.c" ]]
    [[ ${lines[2]} == "guardgen: ig5.c: "?* && ${lines[3]} == "Writing ng5.c" ]]
    if [[ ${#runner[@]} -eq 0 ]]; then
        [[ ${lines[2]} == "guardgen: ig5.c: Is a directory" ]]
    fi
}

@test "a write that fails: reported, the rest written, status 1, the user's link stays" {
    ln -s /dev/full eg5.c
    ln -s /dev/full guard.h
    run_guardgen 5
    expect_status 1
    expect_output "$err" text $'guardgen: guard.h: No space left on device\nguardgen: eg5.c: No space left on device\n'
    expect_output "$out" announced 5
    expect_output noguard.h text "$NOGUARD"
    expect_output ig5.c repeat "$IG" 5
    expect_output ng5.c repeat "$NG" 5
    expect_files guard.h noguard.h eg5.c ig5.c ng5.c
    [[ $(readlink eg5.c) == /dev/full && $(readlink guard.h) == /dev/full ]]
}

# Runs guardgen with the given arguments and its standard output as $1 says: "full" (/dev/full),
# "closed", or "broken" (a pipe whose reader has gone); sets $status.
run_with_stdout() {
    local how=$1
    shift
    status=0
    case $how in
        full) "${runner[@]}" "$GUARDGEN" "$@" >/dev/full 2>"$err" || status=$? ;;
        closed) "${runner[@]}" "$GUARDGEN" "$@" >&- 2>"$err" || status=$? ;;
        broken)
            python3 -c 'import os, subprocess, sys
reader, writer = os.pipe()
os.close(reader)
sys.exit(subprocess.call(sys.argv[1:], stdout=writer))' "${runner[@]}" "$GUARDGEN" "$@" 2>"$err" ||
                status=$?
            ;;
    esac
}

@test "standard output that cannot be written: reported, status 1, the files for counts still written" {
    # How standard output is broken, the arguments (none: the usage text), the reason, and whether
    # the files for 3 are written. Under wine a broken pipe has a reason of wine's own.
    local cases=(
        "full|3|No space left on device|written"
        "full||No space left on device|"
        "full|--help|No space left on device|"
        "full|3 --version|No space left on device|"
        "closed|3|Bad file descriptor|written"
        "closed||Bad file descriptor|"
        "closed|-h|Bad file descriptor|"
        "broken|3|Broken pipe|written"
        "broken||Broken pipe|"
        "broken|--help 3|Broken pipe|"
    )
    local entry how arguments reason written
    for entry in "${cases[@]}"; do
        IFS='|' read -r how arguments reason written <<<"$entry"
        echo "standard output $how, arguments '$arguments'"
        rm -f ./*
        run_with_stdout "$how" $arguments
        expect_status 1
        if [[ $how == broken && ${#runner[@]} -gt 0 ]]; then
            [[ $(tr -d '\r' <"$err") == "guardgen: standard output: "?* ]]
        else
            expect_output "$err" text "guardgen: standard output: $reason"$'\n'
        fi
        if [[ -n $written ]]; then
            expect_output eg3.c repeat "$EG" 3
            expect_files guard.h noguard.h eg3.c ig3.c ng3.c
        else
            expect_files
        fi
    done
}

@test "Ctrl-C (SIGINT) while a file is written: it is discarded, the run ends as interrupted" {
    # Under wine SIGINT arrives as Ctrl-C, and the C runtime ends an interrupted process with 3.
    local expected=130 pid
    [[ ${#runner[@]} -eq 0 ]] || expected=3
    env --default-signal=INT "${runner[@]}" "$GUARDGEN" 20000000 >"$out" 2>"$err" &
    pid=$!
    until [[ -s eg20000000.c ]]; do
        kill -0 "$pid" 2>/dev/null || { echo "guardgen ended before eg20000000.c grew"; return 1; }
        sleep 0.005
    done
    kill -INT "$pid"
    status=0
    wait "$pid" || status=$?
    expect_status "$expected"
    expect_output "$out" text $'Writing eg20000000.c\n'
    expect_output "$err" text ""
    expect_output guard.h text "$GUARD"
    expect_files guard.h noguard.h
}
