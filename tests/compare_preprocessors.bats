#!/usr/bin/env bats
# tools/compare-preprocessors end to end, on real preprocessors at small counts: the table, the
# JSON's shape, the declaration counts and the verdicts they decide, the plot, and the errors.
# Nothing here checks a timing.
#
# GUARDGEN: the guardgen program to use (required).

setup() {
    : "${GUARDGEN:?set GUARDGEN to the guardgen program}"
    script="$BATS_TEST_DIRNAME/../tools/compare-preprocessors"
    export TMPDIR="$BATS_TEST_TMPDIR/tmp"
    mkdir "$TMPDIR"
    json="$BATS_TEST_TMPDIR/results.json"
}

need() {
    command -v "$1" >/dev/null || skip "$1 is not installed"
}

# Runs the script; sets $status, and $out and $err to what it printed.
compare() {
    status=0
    "$script" "$@" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
    out=$(cat "$BATS_TEST_TMPDIR/out")
    err=$(cat "$BATS_TEST_TMPDIR/err")
}

expect_success() {
    [[ $status -eq 0 && -z $err ]] || { echo "status $status: $err"; return 1; }
}

# Runs a Python expression on the JSON in file $1 (as `r`) and prints its value.
query() {
    /usr/bin/python3 -c "import json, sys; r = json.load(open(sys.argv[1])); print($2)" "$1"
}

expect_nothing_left() {
    [[ -z $(ls -A "$TMPDIR") ]] || { ls -A "$TMPDIR"; return 1; }
}

@test "gcc at small counts: the JSON's shape, the commands as run, the declarations" {
    need gcc
    compare -g "$GUARDGEN" -p gcc -p "gcc -E -P" --runs 1 --json "$json" 5 010
    expect_success
    [[ $(query "$json" 'r["counts"]') == "[0, 5, 10]" ]]
    [[ $(query "$json" '[(p["name"], p["command"]) for p in r["preprocessors"]]') == \
        "[('gcc', 'gcc -E'), ('gcc -E -P', 'gcc -E -P')]" ]]
    local pp
    for pp in 0 1; do
        [[ $(query "$json" "sorted(r['preprocessors'][$pp])") == \
            "['command', 'guarded_header', 'name', 'pragma_once', 'styles']" ]]
        [[ $(query "$json" "{s: sorted(v) for s, v in r['preprocessors'][$pp]['styles'].items()}") == \
            "{'eg': ['declarations', 'ns_per_include', 'start_ms'], 'ig': ['declarations', 'ns_per_include', 'start_ms'], 'ng': ['declarations', 'ns_per_include', 'start_ms'], 'once': ['declarations', 'ns_per_include', 'start_ms']}" ]]
        [[ $(query "$json" "[(s, v['declarations']) for s, v in r['preprocessors'][$pp]['styles'].items()]") == \
            "[('eg', 1), ('ig', 1), ('ng', 10), ('once', 1)]" ]]
        [[ $(query "$json" "r['preprocessors'][$pp]['pragma_once']") == honoured ]]
        [[ $(query "$json" "r['preprocessors'][$pp]['guarded_header']") =~ ^(skipped|re-read)$ ]]
        query "$json" "all(isinstance(v[k], (int, float)) for v in r['preprocessors'][$pp]['styles'].values() for k in v)" | grep -qx True
    done
    # The table: a header, a rule, and a row per preprocessor.
    mapfile -t lines <<<"$out"
    [[ ${#lines[@]} -eq 4 ]]
    [[ ${lines[0]} == "| preprocessor | eg ns | ig ns | ng ns | once ns | start-up ms | guarded header | #pragma once |" ]]
    [[ ${lines[2]} =~ ^\|\ gcc\ \|(\ -?[0-9]+\ \|){4}\ -?[0-9]+\.[0-9]\ \|\ (skipped|re-read)\ \|\ honoured\ \|$ ]]
    [[ ${lines[3]} == "| gcc -E -P | "* ]]
    expect_nothing_left
}

@test "a preprocessor that ignores #pragma once is told so: ucpp" {
    need ucpp
    compare -g "$GUARDGEN" -p ucpp --runs 1 --json - 7
    expect_success
    echo "$out" >"$json"
    [[ $(query "$json" "[(s, v['declarations']) for s, v in r['preprocessors'][0]['styles'].items()]") == \
        "[('eg', 1), ('ig', 1), ('ng', 7), ('once', 7)]" ]]
    [[ $(query "$json" "r['preprocessors'][0]['pragma_once']") == ignored ]]
}

@test "--json - writes the JSON alone to standard output" {
    need gcc
    compare -g "$GUARDGEN" -p gcc --runs 1 --json - 3
    expect_success
    echo "$out" >"$json"
    [[ $(query "$json" 'list(r)') == "['counts', 'preprocessors']" ]]
}

@test "--plot draws an SVG with a panel per preprocessor" {
    need gcc
    /usr/bin/python3 -c "import matplotlib" 2>/dev/null || skip "matplotlib is not installed"
    compare -g "$GUARDGEN" -p gcc -p "gcc -E -P" --runs 1 --plot "$BATS_TEST_TMPDIR/plot.svg" 10 100
    expect_success
    grep -q "<svg" "$BATS_TEST_TMPDIR/plot.svg"
    grep -q "gcc -E -P" "$BATS_TEST_TMPDIR/plot.svg"
    grep -q "pragma once" "$BATS_TEST_TMPDIR/plot.svg"
    expect_nothing_left
}

@test "by default every installed one of gcc, clang, tcc and mcpp" {
    local pps=() name
    for name in gcc clang tcc mcpp; do
        if command -v "$name" >/dev/null; then pps+=("$name"); fi
    done
    ((${#pps[@]} > 0)) || skip "none of them is installed"
    GUARDGEN=$GUARDGEN compare --runs 1 3
    expect_success
    [[ $(tail -n +3 <<<"$out" | cut -d' ' -f2 | tr '\n' ' ') == "${pps[*]} " ]]
    expect_nothing_left
}

@test "--help prints the usage and the threshold of the verdict" {
    compare --help
    [[ $status -eq 0 ]]
    [[ $out == "usage: compare-preprocessors "* ]]
    [[ $out == *"costs less than 0.7 of an ng include"* ]]
}

@test "bad arguments: one line on stderr, status 1, nothing left behind" {
    local cases=(
        "unknown preprocessor: 'no-such-preprocessor'|-p no-such-preprocessor 5"
        "not a positive count (1 to 999999999): '0'|0"
        "not a positive count (1 to 999999999): 'abc'|5 abc"
        "not a positive count (1 to 999999999): '1e3'|1e3"
        "guardgen not found: /no/such/guardgen|-g /no/such/guardgen 5"
        "unrecognized arguments: -x (see --help)|-x"
        "--runs must be 1 or more: 0|--runs 0 5"
        "/no/such/dir/plot.svg: cannot write there|--plot /no/such/dir/plot.svg 5"
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
