#!/usr/bin/env bats
# tools/compare-preprocessors end to end, on real preprocessors at small counts: the table, the
# JSON's shape, the declaration counts and the verdicts they decide, the plot, the errors, and the
# bounds on time, room and interruptions. Nothing here checks a timing.
#
# GUARDGEN: the guardgen program to use (required).

setup() {
    : "${GUARDGEN:?set GUARDGEN to the guardgen program}"
    script="$BATS_TEST_DIRNAME/../tools/compare-preprocessors"
    export TMPDIR="$BATS_TEST_TMPDIR/tmp"
    mkdir "$TMPDIR"
    json="$BATS_TEST_TMPDIR/results.json"
    # The tree --header files are taken from: the current directory's, here no git work tree.
    cd "$BATS_TEST_TMPDIR"
}

teardown() {
    # What a case that failed half-way may have left running: the programs named by its marker.
    if [[ -n ${marker:-} ]]; then pkill -f "$marker" || true; fi
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

# Fails if a process whose command line matches $1 still runs.
expect_no_process() {
    if pgrep -a -f "$1"; then
        echo "still running: $1"
        return 1
    fi
}

# Waits until a process whose command line matches $1 runs, for 20 seconds at most.
wait_for_process() {
    local tries=0
    until pgrep -f "$1" >/dev/null; do
        ((tries++ < 2000)) || { echo "never started: $1"; return 1; }
        sleep 0.01
    done
}

expect_nothing_left() {
    [[ -z $(ls -A "$TMPDIR") ]] || { ls -A "$TMPDIR"; return 1; }
}

@test "gcc at small counts: the JSON's shape, the commands as run, the declarations" {
    need gcc
    compare -g "$GUARDGEN" -p gcc -p "gcc -E -P" --runs 1 --seed 42 --json "$json" 5 010
    [[ $status -eq 0 ]]
    # gcc's verdicts come from its listing, so one run is enough: nothing on standard error.
    [[ -z $err ]] || { echo "$err"; return 1; }
    [[ $(query "$json" '(r["counts"], r["seed"], r["threshold"])') == "([0, 5, 10], 42, 0.7)" ]]
    local keys="['bounded', 'declarations', 'fastest_s', 'high', 'low', 'measurable', 'ns_per_include', 'runs_s', 'start_ms']"
    [[ $(query "$json" '[(p["name"], p["command"]) for p in r["preprocessors"]]') == \
        "[('gcc', 'gcc -E'), ('gcc -E -P', 'gcc -E -P')]" ]]
    local pp
    for pp in 0 1; do
        [[ $(query "$json" "sorted(r['preprocessors'][$pp])") == \
            "['command', 'guard_forms', 'guard_undef', 'guarded_header', 'how', 'lacking', 'measurable', 'name', 'pragma_once', 'pragma_once_identity', 'styles', 'version']" ]]
        [[ $(query "$json" "r['preprocessors'][$pp]['version']") == "gcc "*" 12."* ]]
        [[ $(query "$json" "{s: sorted(v) for s, v in r['preprocessors'][$pp]['styles'].items()}") == \
            "{'eg': $keys, 'ig': $keys, 'ng': $keys, 'once': $keys}" ]]
        # One run each, no more: an extra round could not bring them to enough for a verdict.
        [[ $(query "$json" "[len(v) for v in r['preprocessors'][$pp]['styles']['ig']['runs_s'].values()]") == "[1, 1, 1]" ]]
        query "$json" "all(v['low'] <= v['ns_per_include'] <= v['high'] for v in r['preprocessors'][$pp]['styles'].values())" | grep -qx True
        [[ $(query "$json" "[(s, v['declarations']) for s, v in r['preprocessors'][$pp]['styles'].items()]") == \
            "[('eg', 1), ('ig', 1), ('ng', 10), ('once', 1)]" ]]
        [[ $(query "$json" "r['preprocessors'][$pp]['pragma_once']") == honoured ]]
        [[ $(query "$json" "(r['preprocessors'][$pp]['guarded_header'], r['preprocessors'][$pp]['how']['guarded_header'], r['preprocessors'][$pp]['lacking'])") == "('skipped', 'listing', None)" ]]
    done
    # Three tables, each a header, a rule, and a row per preprocessor.
    mapfile -t lines <<<"$out"
    [[ ${#lines[@]} -eq 14 && -z ${lines[4]} && -z ${lines[9]} ]]
    [[ ${lines[0]} == "| preprocessor | eg ns | ig ns | ng ns | once ns | start-up ms | guarded header | #pragma once |" ]]
    # One run pins no cost down.
    [[ ${lines[2]} == "| gcc | not measurable | not measurable | not measurable | not measurable | "*" | skipped | honoured |" ]]
    [[ ${lines[3]} == "| gcc -E -P | "* ]]
    expect_nothing_left
}

@test "a preprocessor that ignores #pragma once is told so: ucpp" {
    need ucpp
    compare -g "$GUARDGEN" -p ucpp --runs 1 --json - 7
    [[ $status -eq 0 ]]
    echo "$out" >"$json"
    [[ $(query "$json" "[(s, v['declarations']) for s, v in r['preprocessors'][0]['styles'].items()]") == \
        "[('eg', 1), ('ig', 1), ('ng', 7), ('once', 7)]" ]]
    [[ $(query "$json" "r['preprocessors'][0]['pragma_once']") == ignored ]]
}

@test "the questions on every preprocessor installed: none unclear where a listing or strace tells" {
    need gcc
    # (preprocessor, #pragma once identity, guard forms, the lifted guard); the verdicts as
    # measured: tcc takes every other spelling of a path for another file, and skips no
    # #if !defined; mcpp reads a guarded header every time.
    local cases=(
        "gcc|[1, 1, 1, 1, 1, 1, 2]|skipped skipped skipped re-read re-read|re-read"
        "clang|[1, 1, 1, 1, 1, 2, 2]|skipped skipped skipped re-read re-read|re-read"
        "tcc|[1, 2, 2, 2, 2, 2, 2]|skipped re-read skipped re-read re-read|re-read"
        "mcpp|[1, 1, 1, 1, 2, 2, 2]|re-read re-read re-read re-read re-read|re-read"
        "cpp|[1, 1, 1, 1, 1, 1, 2]|skipped skipped skipped re-read re-read|re-read"
        "ucpp|[2, 2, 2, 2, 2, 2, 2]|skipped re-read skipped re-read re-read|re-read"
    )
    local pps=() entry name
    for entry in "${cases[@]}"; do
        name=${entry%%|*}
        if command -v "$name" >/dev/null && { [[ $name == gcc || $name == clang ]] || command -v strace >/dev/null; }; then
            pps+=(-p "$name")
        else
            echo "# $name is left out: not installed, or no strace to count its opens" >&3
        fi
    done
    compare -g "$GUARDGEN" "${pps[@]}" --runs 1 --json "$json" 5
    [[ $status -eq 0 && -z $err ]] || { echo "status $status: $err"; return 1; }
    local identity forms undef
    for entry in "${cases[@]}"; do
        IFS='|' read -r name identity forms undef <<<"$entry"
        [[ " ${pps[*]} " == *" $name "* ]] || continue
        echo "$name"
        local pp="[p for p in r['preprocessors'] if p['name'] == '$name'][0]"
        [[ $(query "$json" "list($pp['pragma_once_identity'].values())") == "$identity" ]]
        [[ $(query "$json" "' '.join(f['verdict'] for f in $pp['guard_forms'].values())") == "$forms" ]] ||
            { query "$json" "$pp['guard_forms']"; return 1; }
        [[ $(query "$json" "($pp['guard_undef'], $pp['guarded_header'] == $pp['guard_forms']['ifndef']['verdict'])") == "('$undef', True)" ]]
        [[ $(query "$json" "$pp['how']['guarded_header']") =~ ^(listing|opens)$ ]]
    done
    grep -q "^| gcc | same file | same file | same file | same file | same file | same file | read again |$" <<<"$out"
    grep -q "^| gcc | skipped | skipped | skipped | re-read | re-read | re-read |$" <<<"$out" ||
        { echo "$out"; return 1; }
    expect_nothing_left
}

@test "a preprocessor that opens each file once and keeps its text: its opens tell nothing, its output what it can" {
    command -v strace >/dev/null || skip "strace is not installed: no opens to find unfit"
    # The stand-in writes to the file it is told, spaced tokens seven to a line; cppcheck -E
    # (where installed) to standard output, spaced tokens many to a line.
    local pps=(-p "$BATS_TEST_DIRNAME/cached_preprocessor.py -o {out}") names=(stand-in)
    if command -v cppcheck >/dev/null; then
        pps+=(-p "cppcheck -E"); names+=(cppcheck)
    else
        echo "# cppcheck is left out: not installed" >&3
    fi
    printf '#ifndef MINE_H\n#define MINE_H\nint mine;\n#endif\n' >"$BATS_TEST_TMPDIR/mine.h"
    compare -g "$GUARDGEN" "${pps[@]}" --runs 1 --json "$json" --header "$BATS_TEST_TMPDIR/mine.h" 7
    [[ $status -eq 0 ]] || { echo "$err"; return 1; }
    [[ $err == *"cached_preprocessor.py -o {out}: its opens (strace) cannot tell: it opened noguard.h 1 time in 10 includes, which each enter it; the clock tells whether it enters a header again"* ]]
    local k pp
    for k in "${!names[@]}"; do
        echo "${names[k]}"
        pp="r['preprocessors'][$k]"
        # Every declaration counted, however spaced and split over lines.
        [[ $(query "$json" "[v['declarations'] for v in $pp['styles'].values()]") == "[1, 1, 7, 1]" ]]
        # The clock, at one run, cannot tell; no verdict is taken from the opens.
        [[ $(query "$json" "($pp['guarded_header'], {f['verdict'] for f in $pp['guard_forms'].values()})") == "('unclear', {'unclear'})" ]]
        [[ $(query "$json" "$pp['how']['guarded_header']") == "clock: fewer than 6 runs at some count; its opens (strace) cannot tell: "* ]]
        # The #undef case, from the declaration after the #undef in the output.
        [[ $(query "$json" "($pp['guard_undef'], $pp['how']['guard_undef'], $pp['pragma_once'])") == "('re-read', 'output', 'honoured')" ]]
        # --header: by the clock, unclear, as a body of one declaration costs too little.
        [[ $(query "$json" "[(v['verdict'], v['how']) for v in r['headers'][0]['preprocessors'].values()][$k]") == \
            "('unclear', \"clock: the header's body costs less than 10 times an include's own cost, "* ]]
    done
    [[ $(query "$json" "list(r['preprocessors'][0]['pragma_once_identity'].values())") == "[1, 1, 1, 1, 2, 2, 2]" ]]
    grep -q "^| $BATS_TEST_DIRNAME/cached_preprocessor.py -o {out} | unclear | unclear | unclear | unclear | unclear | re-read |$" <<<"$out" ||
        { echo "$out"; return 1; }
    expect_nothing_left
}

@test "by the clock, on headers of a large body: skipped where the body is passed over, re-read where it is read again" {
    # (the stand-in's options, the verdict on the guarded header where the runs settle it, the
    # one neither it nor any form may get)
    local cases=(
        "-o {out}|skipped|re-read"
        "--rescan -o {out}|re-read|skipped"
    )
    local pps=() entry options verdict wrong
    for entry in "${cases[@]}"; do
        IFS='|' read -r options _ <<<"$entry"
        pps+=(-p "$BATS_TEST_DIRNAME/cached_preprocessor.py $options")
    done
    # Counts that measure an include of noguard.h, against which the body must cost 10 times.
    compare -g "$GUARDGEN" "${pps[@]}" --runs 10 --json "$json" 2000
    [[ $status -eq 0 ]] || { echo "$err"; return 1; }
    local k=0 pp
    for entry in "${cases[@]}"; do
        IFS='|' read -r options verdict wrong <<<"$entry"
        pp="r['preprocessors'][$k]"
        echo "$options"
        # A loaded machine may leave a verdict unclear, which is no guess; never the wrong one.
        [[ $(query "$json" "$pp['how']['guarded_header']") == clock* ]] || return 1
        [[ $(query "$json" "$pp['guarded_header'] in ('$verdict', 'unclear')") == True ]] ||
            { query "$json" "$pp['guard_forms']"; return 1; }
        [[ $(query "$json" "'$wrong' in {f['verdict'] for f in $pp['guard_forms'].values()}") == False ]] ||
            { query "$json" "$pp['guard_forms']"; return 1; }
        k=$((k + 1))
    done
    expect_nothing_left
}

@test "--json - writes the JSON alone to standard output" {
    need gcc
    compare -g "$GUARDGEN" -p gcc --runs 1 --json - 3
    [[ $status -eq 0 ]]
    echo "$out" >"$json"
    [[ $(query "$json" 'list(r)') == "['counts', 'seed', 'threshold', 'body_threshold', 'confidence', 'verdict_confidence', 'min_runs', 'signal_factor', 'preprocessors']" ]]
}

@test "--plot draws a panel per preprocessor, in the format its name asks for" {
    need gcc
    /usr/bin/python3 -c "import matplotlib" 2>/dev/null || skip "matplotlib is not installed"
    compare -g "$GUARDGEN" -p gcc -p "gcc -E -P" --runs 1 --plot "$BATS_TEST_TMPDIR/plot.svg" 10 100
    [[ $status -eq 0 ]]
    grep -q "<svg" "$BATS_TEST_TMPDIR/plot.svg"
    grep -q "gcc -E -P" "$BATS_TEST_TMPDIR/plot.svg"
    grep -q "pragma once" "$BATS_TEST_TMPDIR/plot.svg"
    local kind magic
    for kind in png pdf; do
        compare -g "$GUARDGEN" -p gcc --runs 1 --plot "$BATS_TEST_TMPDIR/plot.$kind" 10
        [[ $status -eq 0 ]]
        magic=$(head -c 4 "$BATS_TEST_TMPDIR/plot.$kind" | tr -dc 'A-Za-z%')
        [[ $magic == "$([[ $kind == png ]] && echo PNG || echo %PDF)" ]]
    done
    expect_nothing_left
}

@test "by default every installed one of gcc, clang, tcc and mcpp" {
    local pps=() name
    for name in gcc clang tcc mcpp; do
        if command -v "$name" >/dev/null; then pps+=("$name"); fi
    done
    ((${#pps[@]} > 0)) || skip "none of them is installed"
    GUARDGEN=$GUARDGEN compare --runs 1 3
    [[ $status -eq 0 ]]
    [[ $(sed -n "3,$((2 + ${#pps[@]}))p" <<<"$out" | cut -d' ' -f2 | tr '\n' ' ') == "${pps[*]} " ]]
    expect_nothing_left
}

@test "--help prints the usage and the threshold of the verdict" {
    compare --help
    [[ $status -eq 0 ]]
    [[ $out == "usage: compare-preprocessors "* ]]
    [[ $out == *"costs less than
                  0.25 of one of the same body unguarded"* ]]
}

@test "bad arguments: one line on stderr, status 1, nothing left behind" {
    local cases=(
        "preprocessor 'no-such-preprocessor': no-such-preprocessor is not found on the PATH|-p no-such-preprocessor 5"
        "preprocessor 'no/such -E': no/such is no program that can be run|-p no/such~-E 5"
        "preprocessor given twice: 'gcc'|-p gcc -p gcc 5"
        "preprocessor given twice: 'gcc' and 'gcc -E' (both 'gcc -E')|-p gcc -p gcc~-E 5"
        "guardgen cannot be run: $BATS_TEST_TMPDIR/guardgen is not executable|-g $BATS_TEST_TMPDIR/guardgen 5"
        "not a positive count (1 to 999999999): '0'|0"
        "not a positive count (1 to 999999999): 'abc'|5 abc"
        "not a positive count (1 to 999999999): '1e3'|1e3"
        "guardgen not found: /no/such/guardgen|-g /no/such/guardgen 5"
        "unrecognized arguments: -x (see --help)|-x"
        "--runs must be 1 or more: 0|--runs 0 5"
        "/no/such/dir/plot.svg: cannot write there|--plot /no/such/dir/plot.svg 5"
        "/: is a directory|--json / 5"
        "plot.jpg: a plot's name ends in .svg, .png, .pdf|--plot plot.jpg 5"
        "--timeout must be above 0: 0|--timeout 0 5"
        "--header no/such.h: no such file|--header no/such.h"
        "--header tmp: is a directory|--header tmp 5"
        "--header /: outside $BATS_TEST_TMPDIR, the current directory's tree: refused|--header / 5"
        "--header $BATS_TEST_DIRNAME/../src/generator/lines.h: outside $BATS_TEST_TMPDIR, the current directory's tree: refused|--header $BATS_TEST_DIRNAME/../src/generator/lines.h"
        "--header lines.h: a symbolic link on its way leads out of $BATS_TEST_TMPDIR, the current directory's tree: refused|--header lines.h"
        "--plot draws the timed comparison: give counts as well as --header|--header h.h --plot p.svg"
        "'cat' does not preprocess here: its output of ng10.c declares 0 times, not 10; it printed '#include \"noguard.h\"'|-p cat 10"
        "'true' does not preprocess here: its output of ng100.c declares 0 times, not 100; it printed nothing|-p true 100"
        "'cat' does not preprocess here: its output of entered_noguard.c declares 0 times, not 10; it printed '#include \"noguard.h\"'|-p cat --header h.h"
    )
    # A guardgen that is there but cannot be run; a header, and a link to one outside the tree.
    touch "$BATS_TEST_TMPDIR/guardgen"
    printf 'int h;\n' >"$BATS_TEST_TMPDIR/h.h"
    ln -s "$BATS_TEST_DIRNAME/../src/generator/lines.h" "$BATS_TEST_TMPDIR/lines.h"
    local entry message args
    for entry in "${cases[@]}"; do
        message=${entry%%|*}
        read -ra args <<<"${entry#*|}"
        args=("${args[@]//\~/ }")
        echo "arguments: ${args[*]}"
        compare -g "$GUARDGEN" "${args[@]}"
        [[ $status -eq 1 ]]
        [[ -z $out ]]
        [[ $err == "compare-preprocessors: $message" ]] || { echo "stderr: $err"; return 1; }
        expect_nothing_left
    done
}

@test "a run the temporary directory cannot hold: refused before anything is written" {
    # Ten counts near a billion: about a terabyte of files.
    compare -g "$GUARDGEN" -p gcc $(seq 999999990 999999999)
    [[ $status -eq 1 && -z $out ]]
    [[ $err == "compare-preprocessors: the files for these counts need "*" TB in $TMPDIR, which has "*" free: give smaller counts, or another place in TMPDIR" ]]
    expect_nothing_left
}

@test "a preprocessor that does not end: stopped with what it started, after --timeout" {
    marker=guardgen-timeout-case
    compare -g "$GUARDGEN" -p "sh -c 'sleep 37.5' $marker" --timeout 1 5
    [[ $status -eq 1 && -z $out ]]
    [[ $err == "compare-preprocessors: 'sh -c 'sleep 37.5' $marker eg5.c' did not end within 1 s: stopped it" ]]
    expect_no_process "^sleep 37.5"
    expect_nothing_left
}

@test "SIGTERM, SIGHUP, SIGQUIT, SIGKILL clean up as Ctrl-C does and end by the signal: no temporary files, no preprocessor left" {
    local signal parent pid tries
    marker=guardgen-signal-case
    for signal in TERM HUP INT QUIT KILL; do
        echo "SIG$signal"
        rm -f "$BATS_TEST_TMPDIR/ended"
        env --default-signal=INT,QUIT "$BATS_TEST_DIRNAME/record_end.py" "$BATS_TEST_TMPDIR/ended" \
            "$BATS_TEST_TMPDIR/pid" /dev/null "$BATS_TEST_TMPDIR/err" \
            "$script" -g "$GUARDGEN" -p "sh -c 'sleep 38.5' $marker" --timeout 30 5 &
        parent=$!
        wait_for_process "^sleep 38.5"
        [[ -n $(ls -A "$TMPDIR") ]]
        kill "-$signal" "$(cat "$BATS_TEST_TMPDIR/pid")"
        tries=0
        while kill -0 "$parent" 2>/dev/null; do
            ((tries++ < 2000)) || { echo "still running"; return 1; }
            sleep 0.01
        done
        [[ $(cat "$BATS_TEST_TMPDIR/ended") == "signal SIG$signal" ]] ||
            { echo "ended by $(cat "$BATS_TEST_TMPDIR/ended")"; return 1; }
        [[ ! -s "$BATS_TEST_TMPDIR/err" ]]
        # A tool that is killed cannot wait for its keeper: give the keeper a moment.
        tries=0
        while pgrep -f "^sleep 38.5" >/dev/null || [[ -n $(ls -A "$TMPDIR") ]]; do
            [[ $signal == KILL ]] && ((tries++ < 500)) || break
            sleep 0.01
        done
        expect_no_process "^sleep 38.5"
        expect_nothing_left
    done
}

@test "a preprocessor that fails: what failed and what to do, status 1, nothing left behind" {
    local gcc
    gcc=$(command -v gcc || true)
    # (arguments, the message's start, its end)
    local cases=(
        "-p false 5|'false' did not preprocess eg5.c: it ended with status 1 and said nothing|"
    )
    if [[ -n $gcc ]]; then
        # A compiler without -E compiles and links: its linker's complaint, and the way out.
        cases+=("-p $gcc 5|'$gcc' did not preprocess eg5.c: it ended with status 1 and said: |; a compiler preprocesses only with -E: try -p '$gcc -E'")
    fi
    local entry args start finish
    for entry in "${cases[@]}"; do
        IFS='|' read -r args start finish <<<"$entry"
        echo "arguments: $args"
        # shellcheck disable=SC2086
        compare -g "$GUARDGEN" $args
        [[ $status -eq 1 && -z $out ]]
        [[ $err == "compare-preprocessors: $start"*"$finish" && $err != *$'\n'* ]] ||
            { echo "stderr: $err"; return 1; }
        expect_nothing_left
    done
}

@test "--header alone: each shape skipped or re-read, by gcc's own listing and by the others' opens" {
    need gcc
    local dir="$BATS_TEST_TMPDIR/headers"
    mkdir "$dir"
    # (file, its text, its shape, gcc's verdict, tcc's, mcpp's: - where no answer is asserted)
    local cases=(
        "guard.h|#ifndef G_H\n#define G_H\nint g;\n#endif\n|guard|skipped|skipped|re-read"
        "ifnotdef.h|#if !defined(I_H)\n#define I_H\nint i;\n#endif\n|guard|skipped|re-read|re-read"
        "once.h|#pragma once\nint o;\n|pragma_once|skipped|skipped|skipped"
        "none.h|int n;\n|no_guard|re-read|re-read|re-read"
        "before.h|#if 0\n#endif\n#ifndef B_H\n#define B_H\n#endif\n|before_guard|re-read|-|re-read"
        "after.h|#ifndef A_H\n#define A_H\n#endif\nint a;\n|after_guard|re-read|re-read|re-read"
        "else.h|#ifndef E_H\n#define E_H\n#else\n#endif\n|else_branch|re-read|re-read|re-read"
        "ifdef.h|#ifdef D_H\nint d;\n#endif\n|not_a_guard_form|re-read|-|re-read"
        "nodefine.h|#ifndef N_H\nint n;\n#endif\n|guard_not_defined|re-read|-|re-read"
        "self.h|#ifndef S_H\n#define S_H\n#include \"self.h\"\n#endif\n|guard|skipped|skipped|-"
        "uses.h|#ifndef U_H\n#define U_H\n#include \"neighbour.h\"\n#endif\n|guard|skipped|skipped|-"
        "macro.h|#ifndef M_H\n#define M_H\nint m;\n#endif\n|guard|skipped|-|-"
    )
    printf 'int neighbour;\n' >"$dir/neighbour.h"
    local pps=(-p gcc) columns=(gcc) entry name text shape args=()
    if command -v strace >/dev/null; then
        if command -v tcc >/dev/null; then pps+=(-p tcc); columns+=(tcc); fi
        if command -v mcpp >/dev/null; then pps+=(-p mcpp); columns+=(mcpp); fi
    fi
    for entry in "${cases[@]}"; do
        IFS='|' read -r name text _ <<<"$entry"
        printf '%b' "$text" >"$dir/$name"
        args+=(--header "$dir/$name")
    done
    # macro.h's guard is defined on the command line: read once, with nothing in it.
    compare "${pps[@]}" "${args[@]}" -D M_H -I "$dir" --json "$json"
    expect_success
    local row=0 k verdicts expected
    for entry in "${cases[@]}"; do
        IFS='|' read -r name _ shape verdicts <<<"$entry"
        IFS='|' read -ra expected <<<"$verdicts"
        [[ $(query "$json" "r['headers'][$row]['reason']") == "$shape" ]] ||
            { echo "$name: $(query "$json" "r['headers'][$row]['reason']")"; return 1; }
        for k in "${!columns[@]}"; do
            local index
            case ${columns[k]} in gcc) index=0 ;; tcc) index=1 ;; mcpp) index=2 ;; esac
            [[ ${expected[index]} != - ]] || continue
            [[ $(query "$json" "[v['verdict'] for v in r['headers'][$row]['preprocessors'].values()][$k]") == "${expected[index]}" ]] ||
                { echo "$name on ${columns[k]}: $(query "$json" "r['headers'][$row]['preprocessors']")"; return 1; }
        done
        row=$((row + 1))
    done
    [[ $(query "$json" "sorted({v['how'] for v in r['headers'][0]['preprocessors'].values()})") =~ ^\[\'listing\'(,\ \'opens\')?\]$ ]]
    [[ $(query "$json" "r['headers'][0]['preprocessors']['gcc -E']") == \
        "{'verdict': 'skipped', 'entries': 1, 'includes': 10, 'how': 'listing'}" ]]
    # The table: a row per header, a column per preprocessor.
    compare "${pps[@]}" --header "$dir/guard.h" --header "$dir/none.h"
    expect_success
    local joined
    joined=$(printf '%s | ' "${columns[@]}")
    [[ $(sed -n 1p <<<"$out") == "| header | shape | ${joined% }" ]]
    # Its path as given, from the current directory.
    [[ $(sed -n 3p <<<"$out") == "| headers/guard.h | guard, line 1: \`#ifndef G_H\` | skipped |"* ]]
    expect_nothing_left
}

@test "--header: a preprocessor that fails on a header is unclear for it, with its first error" {
    need gcc
    printf '#include "missing.h"\n' >"$BATS_TEST_TMPDIR/broken.h"
    printf 'int fine;\n' >"$BATS_TEST_TMPDIR/fine.h"
    compare -p gcc --header "$BATS_TEST_TMPDIR/broken.h" --header "$BATS_TEST_TMPDIR/fine.h"
    expect_success
    [[ $out == *"| broken.h | no_guard, line 1: \`#include \"missing.h\"\` | unclear |"* ]]
    [[ $out == *"| fine.h | no_guard, line 1: \`int fine;\` | re-read |"* ]]
    [[ $out == *"Unclear where it failed: gcc on $BATS_TEST_TMPDIR/broken.h: "*"missing.h: No such file or directory"* ]]
}

@test "--header with counts: the comparison and the question, the user's header found by its name" {
    need gcc
    mkdir "$BATS_TEST_TMPDIR/mine"
    # The same name as guardgen's own guarded header, but unguarded.
    printf 'int mine;\n' >"$BATS_TEST_TMPDIR/mine/guard.h"
    compare -p gcc --runs 1 --header "$BATS_TEST_TMPDIR/mine/guard.h" --json "$json" 3
    [[ $status -eq 0 ]]
    [[ $(query "$json" "(r['counts'], [(h['reason'], h['preprocessors']['gcc -E']['verdict']) for h in r['headers']])") == \
        "([0, 3], [('no_guard', 're-read')])" ]]
    [[ $out == *"| guard spelled as |"*"| mine/guard.h | no_guard, line 1: \`int mine;\` | re-read |"* ]]
    expect_nothing_left
}

@test "in the sandbox a preprocessor holds no capability, finds nothing of HOME or the environment, and writes nothing of the tree" {
    need gcc
    # (what is checked, the check: each run of gcc -E only after it holds)
    local cases=(
        "no capability|grep -Eq \"^CapEff:[[:space:]]+0+\$\" /proc/self/status"
        "HOME empty|test ! -e $BATS_TEST_TMPDIR/home/.ssh/id_rsa"
        "no environment of the tool's|test -z \"\${HOSTILE_SECRET:-}\""
        "the tree read-only|! touch $BATS_TEST_TMPDIR/tree/written 2>/dev/null"
    )
    mkdir -p "$BATS_TEST_TMPDIR/home/.ssh" "$BATS_TEST_TMPDIR/tree"
    echo "hostile-input-secret" >"$BATS_TEST_TMPDIR/home/.ssh/id_rsa"
    printf 'int h;\n' >"$BATS_TEST_TMPDIR/tree/h.h"
    cd "$BATS_TEST_TMPDIR/tree"
    local entry what check
    for entry in "${cases[@]}"; do
        IFS='|' read -r what check <<<"$entry"
        echo "$what"
        HOME="$BATS_TEST_TMPDIR/home" HOSTILE_SECRET=hostile-input-secret \
            compare -p "sh -c '$check && exec gcc -E \"\$@\"' sh" --header h.h
        expect_success
        [[ $out == *"| h.h | no_guard, line 1: \`int h;\` | re-read |"* ]]
        [[ ! -e written ]]
    done
    expect_nothing_left
}

@test "without bubblewrap, or where it cannot start, no preprocessor runs: one line says how to install it" {
    need gcc
    mkdir -p "$BATS_TEST_TMPDIR/path" "$BATS_TEST_TMPDIR/broken" "$BATS_TEST_TMPDIR/tree/bin"
    ln -s "$(command -v gcc)" "$BATS_TEST_TMPDIR/path/gcc"
    printf '#!/bin/sh\necho "bwrap: No permissions to create a new namespace" >&2\nexit 1\n' \
        >"$BATS_TEST_TMPDIR/broken/bwrap"
    # A bwrap of the tree's own, which must never run.
    printf '#!/bin/sh\ntouch %s/ran\nexec %s "$@"\n' "$BATS_TEST_TMPDIR" "$(command -v bwrap || echo false)" \
        >"$BATS_TEST_TMPDIR/tree/bin/bwrap"
    chmod +x "$BATS_TEST_TMPDIR/broken/bwrap" "$BATS_TEST_TMPDIR/tree/bin/bwrap"
    printf 'int h;\n' >"$BATS_TEST_TMPDIR/tree/h.h"
    cd "$BATS_TEST_TMPDIR/tree"
    local missing="compare-preprocessors: bubblewrap (bwrap) is not installed: it keeps the preprocessors in a sandbox; install it (apt-get install bubblewrap), or give --no-sandbox to run them without"
    # (the PATH, the options, the status, what standard error says)
    local cases=(
        "$BATS_TEST_TMPDIR/path||1|$missing"
        "$BATS_TEST_TMPDIR/tree/bin:$BATS_TEST_TMPDIR/path||1|$missing"
        "$BATS_TEST_TMPDIR/broken:$BATS_TEST_TMPDIR/path||1|compare-preprocessors: bubblewrap ($BATS_TEST_TMPDIR/broken/bwrap) cannot start a sandbox here (bwrap: No permissions to create a new namespace): it keeps the preprocessors in one; allow user namespaces, or install it (apt-get install bubblewrap), or give --no-sandbox to run them without"
        "$BATS_TEST_TMPDIR/path|--no-sandbox|0|compare-preprocessors: --no-sandbox: the preprocessors run without the sandbox, and what a header includes is read as you can read it"
    )
    local entry path options expected said
    for entry in "${cases[@]}"; do
        IFS='|' read -r path options expected said <<<"$entry"
        echo "PATH=$path $options"
        status=0
        # shellcheck disable=SC2086
        PATH="$path" "$script" -p gcc --header h.h $options >"$BATS_TEST_TMPDIR/out" \
            2>"$BATS_TEST_TMPDIR/err" || status=$?
        out=$(cat "$BATS_TEST_TMPDIR/out")
        err=$(cat "$BATS_TEST_TMPDIR/err")
        [[ $status -eq $expected && $err == "$said" ]] || { echo "status $status: $err"; return 1; }
        if ((expected)); then [[ -z $out ]]; else [[ $out == *"| h.h | no_guard, line 1: \`int h;\` | re-read |"* ]]; fi
        [[ ! -e $BATS_TEST_TMPDIR/ran ]]
    done
    expect_nothing_left
}
