#!/usr/bin/env bats
# tools/compare-preprocessors: the shape of its table, and its errors.
#
# GUARDGEN: the guardgen program to use (required).

setup() {
    : "${GUARDGEN:?set GUARDGEN to the guardgen program}"
    script="$BATS_TEST_DIRNAME/../tools/compare-preprocessors"
    export TMPDIR="$BATS_TEST_TMPDIR/tmp"
    mkdir "$TMPDIR"
}

# Runs the script; sets $status, and $out and $err to what it printed.
compare() {
    status=0
    "$script" "$@" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
    out=$(cat "$BATS_TEST_TMPDIR/out")
    err=$(cat "$BATS_TEST_TMPDIR/err")
}

# Fails unless $out is a table with a row for each preprocessor and count, in order:
# expect_table "COUNT ..." PREPROCESSOR...
expect_table() {
    local counts lines expected=2 pp count row=2 number='[0-9]+\.[0-9]'
    read -ra counts <<<"$1"
    shift
    mapfile -t lines <<<"$out"
    [[ ${lines[0]} == "| preprocessor | count | eg ms | ig ms | ng ms | ng/ig |" ]]
    [[ ${lines[1]} == "|---|---:|---:|---:|---:|---:|" ]]
    for pp in "$@"; do
        for count in "${counts[@]}"; do
            echo "row $row: ${lines[row]}"
            [[ ${lines[row]} =~ ^\|\ (.+)\ \|\ ([0-9]+)\ \|\ $number\ \|\ $number\ \|\ $number\ \|\ $number\ \|$ ]]
            [[ ${BASH_REMATCH[1]} == "$pp" && ${BASH_REMATCH[2]} == "$count" ]]
            ((++row, ++expected))
        done
    done
    [[ ${#lines[@]} -eq $expected ]]
}

expect_nothing_left() {
    [[ -z $(ls -A "$TMPDIR") ]] || { ls -A "$TMPDIR"; return 1; }
}

@test "a row per preprocessor and count, numbers in every cell" {
    command -v gcc >/dev/null || skip "gcc is not installed"
    compare -g "$GUARDGEN" -p gcc -p "gcc -E -P" 5 010
    [[ $status -eq 0 ]] || { echo "$err"; return 1; }
    [[ -z $err ]]
    expect_table "5 10" gcc "gcc -E -P"
    expect_nothing_left
}

@test "by default every installed one of gcc, clang, tcc and mcpp" {
    local pps=() name
    for name in gcc clang tcc mcpp; do
        if command -v "$name" >/dev/null; then pps+=("$name"); fi
    done
    ((${#pps[@]} > 0)) || skip "none of them is installed"
    GUARDGEN=$GUARDGEN compare 3
    [[ $status -eq 0 ]] || { echo "$err"; return 1; }
    expect_table 3 "${pps[@]}"
    expect_nothing_left
}

@test "--help prints the usage" {
    compare --help
    [[ $status -eq 0 ]]
    [[ $out == "Usage: compare-preprocessors "* ]]
}

@test "bad arguments: one line on stderr, status 1, nothing left behind" {
    local cases=(
        "unknown preprocessor: 'no-such-preprocessor'|-p no-such-preprocessor 5"
        "not a positive count (1 to 999999999): '0'|0"
        "not a positive count (1 to 999999999): 'abc'|5 abc"
        "not a positive count (1 to 999999999): '1e3'|1e3"
        "guardgen not found: /no/such/guardgen|-g /no/such/guardgen 5"
        "unknown option: -x (see --help)|-x"
    )
    local entry message args
    for entry in "${cases[@]}"; do
        message=${entry%%|*}
        read -ra args <<<"${entry#*|}"
        echo "arguments: ${args[*]}"
        compare -g "$GUARDGEN" "${args[@]}"
        [[ $status -eq 1 ]]
        [[ -z $out ]]
        [[ $err == "compare-preprocessors: $message" ]] || { echo "stderr: $err"; return 1; }
        expect_nothing_left
    done
}

@test "a preprocessor that fails: reported, status 1, nothing left behind" {
    compare -g "$GUARDGEN" -p false 5
    [[ $status -eq 1 ]]
    [[ $err == "compare-preprocessors: 'false eg5.c' failed: "* ]]
    expect_nothing_left
}
