#!/usr/bin/env bats
# tools/check-guards end to end, on a small project of its own compiled by the gcc and clang of
# this machine: a defect found, and gone once fixed; nothing written into the build tree; a
# database whose commands are no compiler refused with nothing run; failures, bad databases,
# shards and their merge, a timeout and an interruption.

setup() {
    script="$BATS_TEST_DIRNAME/../tools/check-guards"
    command -v gcc >/dev/null || skip "gcc is not installed"
    project="$BATS_TEST_TMPDIR/guardgen-check-case"
    # The project's top is a work tree's (its .git), so that the sources beside the build are
    # in the database's tree.
    mkdir -p "$project/.git" "$project/include" "$project/src" "$project/build"
    cd "$project"
    # bad.h includes before its guard, so every include of it reads it again.
    printf '#include <stddef.h>\n#ifndef BAD_H\n#define BAD_H\nint bad(void);\n#endif\n' \
        >include/bad.h
    printf '#ifndef GOOD_H\n#define GOOD_H\n#include "bad.h"\nint good(void);\n#endif\n' \
        >include/good.h
    printf '#include "bad.h"\nint other(void);\n' >include/other.h
    local i
    for i in 1 2 3; do
        printf '#include "good.h"\n#include "other.h"\n#include "good.h"\n' >src/u$i.c
    done
    # Both forms of entry, as CMake and Bear write them, with the options that write files.
    cat >build/compile_commands.json <<JSON
[
  {"directory": "$project/build", "file": "../src/u1.c",
   "arguments": ["gcc", "-I../include", "-MD", "-MF", "u1.d", "-o", "u1.o", "-c", "../src/u1.c"]},
  {"directory": "$project/build", "file": "$project/src/u2.c",
   "command": "cc -I'$project/include' -DNAME='\"a b\"' -save-temps -o u2.o -c $project/src/u2.c"},
  {"directory": "$project/build", "file": "../src/u3.c",
   "command": "gcc -I../include -MMD -c ../src/u3.c -o u3.o"}
]
JSON
}

teardown() {
    if [[ -n ${project:-} ]]; then pkill -f "$project" || true; fi
}

# Runs check-guards; sets $status, and $out and $err to what it printed.
check() {
    status=0
    "$script" "$@" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
    out=$(cat "$BATS_TEST_TMPDIR/out")
    err=$(cat "$BATS_TEST_TMPDIR/err")
}

# Each file of the project with its size, time and checksum.
snapshot() {
    find "$project" -type f -printf '%p %s %T@\n' | sort
    find "$project" -type f -exec md5sum {} + | sort
}

query() {
    /usr/bin/python3 -c "import json, sys; r = json.load(open(sys.argv[1])); print($2)" "$1"
}

@test "a header read again is found and explained, and gone once fixed; nothing is written" {
    mkdir "$BATS_TEST_TMPDIR/elsewhere"
    # (the compiler, or the database's; where the tool runs; the database given, or none; the
    # header as the table and the diagnostics show it: relative to where the tool runs where it
    # lies below it)
    local cases=(
        "|$project||include/bad.h"
        "|$project/include|../build|bad.h"
        "|$project/build|.|$project/include/bad.h"
        "|$BATS_TEST_TMPDIR/elsewhere|$project/build|$project/include/bad.h"
    )
    if command -v clang >/dev/null; then cases+=("clang|$project|build|include/bad.h"); fi
    local before entry compiler where database shown
    before=$(snapshot)
    for entry in "${cases[@]}"; do
        IFS='|' read -r compiler where database shown <<<"$entry"
        echo "compiler: ${compiler:-as the database says}; in $where; ${database:-no database given}"
        cd "$where"
        check ${compiler:+--compiler "$compiler"} --diagnostics $database
        [[ $out == "$shown:1:1: warning: $shown is entered again 3 times in 3 units "* ]] ||
            { echo "$out"; return 1; }
        check ${compiler:+--compiler "$compiler"} --json "$BATS_TEST_TMPDIR/r.json" $database
        cd "$project"
        [[ $status -eq 0 && -z $err ]] || { echo "status $status: $err"; return 1; }
        [[ $out == *"| $shown | 3 | 3 | processed | $((3 * 70)) | before_guard, line 1: \`#include <stddef.h>\` | wrap the whole header in a new guard with #pragma once (as --patch does); moving line 1 inside the guard (below #define BAD_H) is safe only where no setting of the build changes what it does |"* ]] ||
            { echo "$out"; return 1; }
        [[ $out == *"System headers: "*" (--all lists them)"* ]]
        [[ $out == *"Units: 3; headers: "* ]]
        [[ $(query "$BATS_TEST_TMPDIR/r.json" "[(h['reentries'], h['units'], h['entries'], h['shape'], h['line'], h['system']) for h in r['headers'] if h['path'].endswith('/bad.h')]") == \
            "[(3, 3, 6, 'before_guard', 1, False)]" ]]
        [[ $(query "$BATS_TEST_TMPDIR/r.json" "sorted(r)") == \
            "['compiler', 'compilers', 'defined', 'directory', 'failed', 'headers', 'settings', 'shard', 'skipped', 'totals', 'units']" ]]
        # The record keeps every path absolute, wherever the tool runs.
        [[ $(query "$BATS_TEST_TMPDIR/r.json" "[h['path'] for h in r['headers'] if h['path'].endswith('/bad.h')]") == \
            "['$project/include/bad.h']" ]]
        [[ $(snapshot) == "$before" ]] || { diff <(echo "$before") <(snapshot); return 1; }
    done
    # The fix: the include inside the guard.
    printf '#ifndef BAD_H\n#define BAD_H\n#include <stddef.h>\nint bad(void);\n#endif\n' \
        >include/bad.h
    # A patch of an earlier run in the way: this run's, empty, takes its place.
    echo stale >"$BATS_TEST_TMPDIR/fix.diff"
    check --json "$BATS_TEST_TMPDIR/r.json" --patch "$BATS_TEST_TMPDIR/fix.diff" build
    [[ $status -eq 0 ]]
    [[ $out == "No header of the build's own is entered more than once in a unit."* &&
       $out == *"The patch is empty: no header of the build's own is entered again."* ]] ||
        { echo "$out"; return 1; }
    [[ -f $BATS_TEST_TMPDIR/fix.diff && ! -s $BATS_TEST_TMPDIR/fix.diff ]]
    [[ $(query "$BATS_TEST_TMPDIR/r.json" "[(h['reentries'], h['shape']) for h in r['headers'] if h['path'].endswith('/bad.h')]") == \
        "[(0, 'guard')]" ]]
    # A sound guard that gcc still enters again: reached from the source through -I after it was
    # read from a header beside it, gcc takes it for another file. The compiler is the oracle.
    printf '#include "good.h"\n#include "bad.h"\n' >src/u1.c
    check build
    [[ $status -eq 0 ]]
    [[ $out == *"| include/bad.h | 1 | 1 | scanned | 70 | other_name | gcc met it again by another route (include/good.h:3, then src/u1.c:2) "* ]] ||
        { echo "$out"; return 1; }
}

@test "a hostile database runs nothing but the compiler, writes nothing, leaves nothing running" {
    # Programs that would leave a mark if they ran, and a compiler of the tree's own.
    mkdir -p evil bin
    local tool
    for tool in cc1 cc1plus as collect2 ld mark.sh; do
        printf '#!/bin/sh\ntouch %s/MARK\n' "$project" >"evil/$tool"
        chmod +x "evil/$tool"
    done
    cp evil/mark.sh bin/gcc
    ln -s bin/gcc build/gcc
    printf -- '-B %s/evil\n' "$project" >build/evil.rsp
    mkfifo src/fifo.c
    local clang_rows=()
    if command -v clang >/dev/null; then
        ln -s "$(command -v clang)" bin/clang
        clang_rows=(
            "clang -c ../src/u2.c -Xclang##0#-Xclang (1 unit)"
            "clang -Xclang -load -Xclang $project/evil/x.so -c ../src/u2.c##0#-Xclang (1 unit)"
            "clang -mllvm -info-output-file=$project/info.txt -c ../src/u2.c##0#-mllvm (1 unit)"
            "clang -fmodules -fcrash-diagnostics-dir=$project/crash -c ../src/u2.c##0#-fmodules (1 unit), -fcrash-diagnostics-dir= (1 unit)"
            "clang --config $project/evil/c.cfg -c ../src/u2.c##0#--config (1 unit)"
            "clang -serialize-diagnostics $project/d.dia -save-stats -c ../src/u2.c##0#-save-stats (1 unit)"
            "$project/bin/clang -c ../src/u2.c##1#its compiler '$project/bin/clang' lies in the database's tree"
        )
    fi
    # (the hostile unit's command, ending on its file; the PATH in front; the status; what the
    # one line says, or nothing). The headers are found through CPATH.
    local cases=(
        "gcc -B $project/evil -c ../src/u2.c##0#-B (1 unit)"
        "gcc --prefix $project/evil -c ../src/u2.c##0#--prefix (1 unit)"
        "gcc -wrapper $project/evil/mark.sh,x -c ../src/u2.c##0#-wrapper (1 unit)"
        "gcc @evil.rsp -c ../src/u2.c##0#-B (1 unit)"
        "gcc -specs=$project/evil/x.specs -fplugin=$project/evil/x.so -c ../src/u2.c##0#-specs (1 unit), -fplugin= (1 unit)"
        "gcc -Wp,-o,$project/out.i -Wp,-MD,$project/dep.d -c ../src/u2.c##0#-Wp,-o (1 unit), -Wp,-MD (1 unit)"
        "gcc --output=$project/out.o --save-temps -c ../src/u2.c##0#"
        "gcc --write-dependencies -c ../src/u2.c##0#--write-dependencies (1 unit)"
        "g++ -fmodule-mapper=|$project/evil/mark.sh -c ../src/u2.c##0#-fmodule-mapper= (1 unit)"
        "gcc -c ../src/u2.c -I##0#"
        "gcc -c ../src/u2.c -x##0#"
        "gcc -c ../src/u2.c -Xlinker##0#"
        "gcc --ld-path=$project/evil/ld ../src/u2.c##0#"
        "gcc -include /dev/zero -c ../src/u2.c##1#its -include or -imacros /dev/zero lies outside the tree: refused"
        "gcc -c ../src/fifo.c##1#../src/fifo.c is not a regular file: refused"
        "$project/bin/gcc -c ../src/u2.c##1#its compiler '$project/bin/gcc' lies in the database's tree"
        "/proc/self/cwd/bin/gcc -c ../src/u2.c##1#is a path through /proc, which leads elsewhere"
        "./gcc -c ../src/u2.c##1#its compiler './gcc' is a path into the build tree: refused"
        "gcc -c ../src/u2.c#.:#0#"
        "ccache gcc -c ../src/u2.c##0#"
        "sh -c touch\\ x ../src/u2.c##0#1 unit skipped: sh is not a C or C++ compiler"
        "nasm -f elf64 ../src/x.asm##0#1 unit skipped: nasm is not a C or C++ compiler"
        "${clang_rows[@]}"
    )
    local entry command front expected said before
    for entry in "${cases[@]}"; do
        [[ -n $entry ]] || continue
        IFS='#' read -r command front expected said <<<"$entry"
        echo "command: $command; PATH in front: ${front:-none}"
        /usr/bin/python3 -c 'import json, sys; print(json.dumps([{"directory": sys.argv[1], "file": "../src/u1.c", "command": "gcc -c ../src/u1.c"}, {"directory": sys.argv[1], "file": [w for w in sys.argv[2].split() if w.endswith((".c", ".asm"))][-1], "command": sys.argv[2]}]))' \
            "$project/build" "$command" >build/compile_commands.json
        before=$(snapshot)
        status=0
        CPATH="$project/include" PATH="$front$PATH" "$script" build >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
        err=$(cat "$BATS_TEST_TMPDIR/err")
        [[ $status -eq $expected ]] || { echo "status $status: $err"; return 1; }
        if [[ -z $said ]]; then
            [[ -z $err ]] || { echo "stderr: $err"; return 1; }
        else
            [[ $err == *"$said"* && $err != *$'\n'* ]] || { echo "stderr: $err"; return 1; }
        fi
        [[ ! -e MARK && ! -e build/x && ! -e x ]] || { echo "a program of the tree's ran"; return 1; }
        [[ $(snapshot) == "$before" ]] || { diff <(echo "$before") <(snapshot); return 1; }
        if pgrep -a -f "$project"; then return 1; fi
    done
}

@test "a listing is read only as the compiler wrote it: no message passes for a header" {
    printf '#pragma GCC warning "w\\n. /etc/passwd"\n#line 1 "x\\n. /etc/group"\n#include "good.h"\n#warning "v\\n. /etc/hostname"\n' >src/u2.c
    check --json "$BATS_TEST_TMPDIR/r.json" build
    [[ $status -eq 0 && -z $err ]] || { echo "status $status: $err"; return 1; }
    [[ $(query "$BATS_TEST_TMPDIR/r.json" "sorted(h['path'] for h in r['headers'] if h['path'].startswith('/etc/'))") == "[]" ]]
}

@test "the system's own headers are known through the two-word forms that move them" {
    # (a root the system's directories hold: / itself lies outside them, and is refused)
    local cases=("gcc --sysroot /usr -I../include -c ../src/u1.c" "gcc -isysroot /usr -I../include -c ../src/u1.c")
    if command -v clang >/dev/null; then
        cases+=("clang -target x86_64-linux-gnu -I../include -c ../src/u1.c"
            "clang -isysroot /usr -I../include -c ../src/u1.c")
    fi
    local command
    for command in "${cases[@]}"; do
        echo "command: $command"
        /usr/bin/python3 -c 'import json, sys; print(json.dumps([{"directory": sys.argv[1], "file": "../src/u1.c", "command": sys.argv[2]}]))' \
            "$project/build" "$command" >build/compile_commands.json
        check build
        [[ $status -eq 0 && -z $err ]] || { echo "status $status: $err"; return 1; }
        [[ $out == *"| include/bad.h | 1 |"* && $out != *"| /usr/"* && $out == *"System headers: "* ]] ||
            { echo "$out"; return 1; }
    done
}

@test "--patch: each cause found with its lines, the fix proven on copies, git apply takes it" {
    command -v git >/dev/null || skip "git is not installed"
    git init -q .
    mkdir include/sub
    printf '#ifndef LOOP_H\n#define LOOP_H\n#include "back.h"\nint loop;\n#endif\n' >include/loop.h
    printf '#include "loop.h"\nint back;\n' >include/back.h
    printf 'X(one)\nX(two)\n' >include/list.h
    # A guarded header whose code says its own line: its fix must move no line.
    printf '#ifndef R_H\n#define R_H\nint r;\nstatic inline int r_line(void) { return __LINE__; }\n#endif\n' >include/r.h
    printf '#include "../r.h"\n' >include/sub/s.h
    printf '#ifndef U_H\n#define U_H\nint u;\n#endif\n' >include/u.h
    /usr/bin/python3 -c 'print("".join(f"#define OPTION_{i} {i}\n" for i in range(50000)), end="")' >include/config.h
    printf '#include "config.h"\nint a;\n' >include/a.h
    printf '#include "config.h"\nint b;\n' >include/b.h
    # A setting's default, not a guard: PLATFORM_X may come from -D. And declarations alone.
    printf '#ifndef PLATFORM_X\n#define PLATFORM_X 1\n#endif\nextern int knob[PLATFORM_X];\n' >include/knob.h
    printf 'extern int counter;\n' >include/decl.h
    local i
    for i in 1 2 3; do
        printf '#include "bad.h"\n#include "loop.h"\n#define X(n) int n;\n#include "list.h"\n#undef X\n#define X(n) int n##_again;\n#include "list.h"\n#include "r.h"\n#include "sub/s.h"\n#include "a.h"\n#include "b.h"\n#include "config.h"\n#include "knob.h"\n#include "knob.h"\n#include "decl.h"\n#include "decl.h"\nint knob_value = PLATFORM_X;\nint line_of_r(void) { return r_line(); }\n' >src/u$i.c
    done
    printf '#include "u.h"\n#undef U_H\n#include "u.h"\n' >>src/u3.c
    local before
    before=$(snapshot)
    check --patch "$BATS_TEST_TMPDIR/fix.diff" --json "$BATS_TEST_TMPDIR/r.json" build
    [[ $status -eq 0 && -z $err ]] || { echo "status $status: $err"; return 1; }
    [[ $(snapshot) == "$before" ]] || { diff <(echo "$before") <(snapshot); return 1; }
    # (header, cause, the count of each cause, the lines named)
    local cases=(
        "config.h|shape|{'shape': 6}|[('include/b.h', 1), ('src/u1.c', 12), ('src/u2.c', 12), ('src/u3.c', 12)]"
        "loop.h|cycle|{'cycle': 3}|[('include/back.h', 1)]"
        "r.h|other_name|{'other_name': 3}|[('src/u1.c', 8), ('include/sub/s.h', 1), ('src/u2.c', 8), ('src/u3.c', 8)]"
        "u.h|macro_undefined|{'macro_undefined': 1}|[('src/u3.c', 21), ('src/u3.c', 20)]"
        "list.h|shape|{'shape': 3}|[('src/u1.c', 7), ('src/u2.c', 7), ('src/u3.c', 7)]"
        "knob.h|shape|{'shape': 3}|[('src/u1.c', 14), ('src/u2.c', 14), ('src/u3.c', 14)]"
        "decl.h|shape|{'shape': 3}|[('src/u1.c', 16), ('src/u2.c', 16), ('src/u3.c', 16)]"
    )
    local entry header cause counted named
    for entry in "${cases[@]}"; do
        IFS='|' read -r header cause counted named <<<"$entry"
        echo "$header"
        [[ $(query "$BATS_TEST_TMPDIR/r.json" "[(h['cause'], h['causes'], [(i['path'][len('$project/'):], i['line']) for i in h['includes']]) for h in r['headers'] if h['path'] == '$project/include/$header']") == \
            "[('$cause', $counted, $named)]" ]] ||
            { query "$BATS_TEST_TMPDIR/r.json" "[(h['cause'], h['causes'], h['includes']) for h in r['headers'] if h['path'] == '$project/include/$header']"; return 1; }
    done
    [[ $out == *"| cycle | it is entered again while still open: a header it includes includes it back (include/back.h:1)"* ]] || { echo "$out"; return 1; }
    # A setting's default is no guard, in the table either: the fix keeps it as it is.
    [[ $out == *"| include/knob.h | 3 | 3 | processed | 228 | settings, line 1: \`#ifndef PLATFORM_X\` | it holds settings' defaults (PLATFORM_X among them, which the build may set from outside), not a guard: --patch wraps the whole header in a new guard with #pragma once, which keeps every default as it is |"* ]] || { echo "$out"; return 1; }
    # The proof: only the X-macro list withdrawn, as its code differs; the rest proven, by the
    # text or by the code. Whether the time saved is measurable depends on the machine, so only
    # its form is checked here; the benchmark measures it.
    [[ $(query "$BATS_TEST_TMPDIR/r.json" "[(w['path'][len('$project/'):], w['reason'].startswith('its fix changes the code of src/u1.c: it is read again on purpose')) for w in r['proof']['withdrawn']]") == \
        "[('include/list.h', True)]" ]] || { query "$BATS_TEST_TMPDIR/r.json" "r['proof']['withdrawn']"; return 1; }
    [[ $(query "$BATS_TEST_TMPDIR/r.json" "(r['proof']['output_identical'], r['proof']['reentries_after'], type(r['proof']['measurable']).__name__, type(r['proof']['saving_s']).__name__, r['proof']['measurable'] == (r['proof']['not_measurable'] is None), r['proof']['not_measurable'] in (None, 'zero', 'wide'), sorted(r['proof']['saving_interval_s']))") == \
        "(True, 0, 'bool', 'float', True, True, ['high', 'low'])" ]] || { echo "$out"; return 1; }
    [[ $out == *"Proof of the patch (6 headers, 3 units, 6 interleaved rounds"*"opens saved"* ]] || { echo "$out"; return 1; }
    # Applied by git to a copy, the fixes only add lines; compiled before and after, in the
    # build's configuration and with the setting knob.h tests given from outside, each unit makes
    # the same code, and the compiler enters no fixed header again.
    cp -r "$project" "$BATS_TEST_TMPDIR/patched"
    (cd "$BATS_TEST_TMPDIR/patched" && git apply "$BATS_TEST_TMPDIR/fix.diff")
    [[ $(grep -c '^-[^-]' "$BATS_TEST_TMPDIR/fix.diff") -eq 0 ]] || { cat "$BATS_TEST_TMPDIR/fix.diff"; return 1; }
    local configuration
    for configuration in "" -DPLATFORM_X=2; do
        for i in 1 2 3; do
            echo "u$i.c ${configuration:-as built}"
            (cd "$project/build" && gcc -I../include $configuration -S -o - -ffile-prefix-map="$project"= ../src/u$i.c) >"$BATS_TEST_TMPDIR/before.s"
            (cd "$BATS_TEST_TMPDIR/patched/build" && gcc -I../include $configuration -S -o - -ffile-prefix-map="$BATS_TEST_TMPDIR/patched"= ../src/u$i.c) >"$BATS_TEST_TMPDIR/after.s"
            diff "$BATS_TEST_TMPDIR/before.s" "$BATS_TEST_TMPDIR/after.s"
            (cd "$BATS_TEST_TMPDIR/patched/build" && gcc -I../include $configuration -E -H -o /dev/null ../src/u$i.c 2>"$BATS_TEST_TMPDIR/listing")
            [[ -z $(grep '^\.' "$BATS_TEST_TMPDIR/listing" | grep -v 'list.h\|/usr/' | sort | uniq -d) ]] ||
                { grep '^\.' "$BATS_TEST_TMPDIR/listing"; return 1; }
        done
    done
    grep -q 'knob_value = 2\|\.long	2' "$BATS_TEST_TMPDIR/after.s"
}

@test "--patch: a fix is proven on every unit that reads the header, not only on those that enter it again" {
    command -v git >/dev/null || skip "git is not installed"
    git init -q .
    # A line after the guard: the new guard moves the header's lines down, which changes the code
    # of u2.c, which reads it once.
    printf '#ifndef H_H\n#define H_H\nstatic inline int h_line(void) { return __LINE__; }\n#endif\nextern int h_tail;\n' >include/h.h
    printf '#include "h.h"\n#include "h.h"\nint a(void) { return 0; }\n' >src/u1.c
    printf '#include "h.h"\nint b(void) { return h_line(); }\n' >src/u2.c
    printf 'int c;\n' >src/u3.c
    check --patch "$BATS_TEST_TMPDIR/fix.diff" --json "$BATS_TEST_TMPDIR/r.json" build
    # Every fix withdrawn: no patch, and status 1, with the reason in one line.
    [[ $status -eq 1 && $err == "check-guards: $BATS_TEST_TMPDIR/fix.diff: not written: the one fix, of $project/include/h.h, was withdrawn: its fix changes the code of src/u2.c: it moves lines whose numbers its code holds (__LINE__, __builtin_LINE(), std::source_location)" ]] ||
        { echo "status $status: $err"; return 1; }
    [[ $(query "$BATS_TEST_TMPDIR/r.json" "[(w['path'][len('$project/'):], w['reason']) for w in r['proof']['withdrawn']]") == \
        "[('include/h.h', 'its fix changes the code of src/u2.c: it moves lines whose numbers its code holds (__LINE__, __builtin_LINE(), std::source_location)')]" ]] ||
        { query "$BATS_TEST_TMPDIR/r.json" "r['proof']"; return 1; }
    [[ ! -e $BATS_TEST_TMPDIR/fix.diff && $out == *"Proof of the patch: every fix withdrawn, none written:"* ]] || { echo "$out"; return 1; }
}

@test "--patch: a unity build's unit, which includes the sources by their absolute paths, is proven on what it includes" {
    command -v git >/dev/null || skip "git is not installed"
    git init -q .
    # As CMake's unity build writes it: one unit that includes the sources by absolute path,
    # whose headers beside them are found there first, not through -I.
    printf 'extern int counter;\n' >src/decl.h
    printf 'X(one)\nX(two)\n' >src/list.h
    printf '#include "decl.h"\n#define X(n) int n;\n#include "list.h"\n#undef X\nint a(void) { return 1; }\n' >src/x.c
    printf '#include "decl.h"\n#define X(n) int n##_b;\n#include "list.h"\n#undef X\nint b(void) { return 4; }\n' >src/y.c
    printf '#include "%s/src/x.c"\n#include "%s/src/y.c"\n' "$project" "$project" >build/unity_0_c.c
    cat >build/compile_commands.json <<JSON
[{"directory": "$project/build", "file": "$project/build/unity_0_c.c",
  "command": "gcc -I$project/include -c $project/build/unity_0_c.c"}]
JSON
    local sandbox reasons
    for sandbox in "" --no-sandbox; do
        echo "${sandbox:-in the sandbox}"
        command -v bwrap >/dev/null || [[ -n $sandbox ]] || continue
        check $sandbox --patch "$BATS_TEST_TMPDIR/fix$sandbox.diff" --json "$BATS_TEST_TMPDIR/r.json" build
        # Without the sandbox every fix is withdrawn: no patch, status 1.
        [[ $status -eq $([[ -n $sandbox ]] && echo 1 || echo 0) ]] || { echo "status $status: $err"; return 1; }
        reasons=$(query "$BATS_TEST_TMPDIR/r.json" "[(w['path'][len('$project/'):], w['reason'].split(':')[0].split(', from')[0]) for w in r['proof']['withdrawn']]")
        if [[ -z $sandbox ]]; then
            # The patched headers seen through the absolute path: decl.h proven, the list
            # withdrawn, as it is read again on purpose.
            [[ $reasons == "[('src/list.h', 'its fix changes the code of build/unity_0_c.c')]" ]] ||
                { query "$BATS_TEST_TMPDIR/r.json" "r['proof']"; return 1; }
            [[ $(query "$BATS_TEST_TMPDIR/r.json" "(r['proof']['patched'], r['proof']['reentries_before'], r['proof']['reentries_after'], r['proof']['seen_in'])") == \
                "(['$project/src/decl.h'], 1, 0, 'tree')" ]] || { query "$BATS_TEST_TMPDIR/r.json" "r['proof']"; return 1; }
            cp -r "$project" "$BATS_TEST_TMPDIR/patched"
            (cd "$BATS_TEST_TMPDIR/patched" && git apply "$BATS_TEST_TMPDIR/fix.diff" &&
                sed -i "s|$project|$BATS_TEST_TMPDIR/patched|g" build/unity_0_c.c)
            diff <(gcc -I"$project/include" -S -o - -ffile-prefix-map="$project"= build/unity_0_c.c) \
                <(cd "$BATS_TEST_TMPDIR/patched" && gcc -I"$BATS_TEST_TMPDIR/patched/include" -S -o - \
                  -ffile-prefix-map="$BATS_TEST_TMPDIR/patched"= build/unity_0_c.c)
        else
            # On the copies, what the unit reads by its absolute path is the user's, unpatched:
            # nothing of it is said to be proven.
            [[ $reasons == "[('src/decl.h', 'the proof cannot see it in build/unity_0_c.c, which reads src/x.c by its absolute path'), ('src/list.h', 'the proof cannot see it in build/unity_0_c.c, which reads src/x.c by its absolute path')]" ]] ||
                { query "$BATS_TEST_TMPDIR/r.json" "r['proof']"; return 1; }
            [[ $out != *"code: the same"* && ! -e $BATS_TEST_TMPDIR/fix--no-sandbox.diff ]] || { echo "$out"; return 1; }
            [[ $err == *$'\n'"check-guards: $BATS_TEST_TMPDIR/fix--no-sandbox.diff: not written: all 2 fixes were withdrawn (the proof says why, of each)" ]] || { echo "$err"; return 1; }
        fi
    done
}

@test "--patch: the patch's paths start at the project's top wherever the tool runs, and git apply takes it there" {
    command -v git >/dev/null || skip "git is not installed"
    git init -q .
    mkdir -p "$BATS_TEST_TMPDIR/elsewhere"
    # (where it runs, the database as given there)
    local cases=(
        "$BATS_TEST_TMPDIR|guardgen-check-case/build"
        "$project/src|../build"
        "$BATS_TEST_TMPDIR/elsewhere|$project/build/compile_commands.json"
    )
    local entry where given
    for entry in "${cases[@]}"; do
        IFS='|' read -r where given <<<"$entry"
        echo "in $where: $given"
        status=0
        (cd "$where" && "$script" --rounds 1 --patch "$BATS_TEST_TMPDIR/fix.diff" "$given") \
            >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
        [[ $status -eq 0 && ! -s $BATS_TEST_TMPDIR/err ]] || { echo "status $status"; cat "$BATS_TEST_TMPDIR/err"; return 1; }
        grep -q "^  its paths start at the project's top, $project: run git apply there.$" "$BATS_TEST_TMPDIR/out" ||
            { cat "$BATS_TEST_TMPDIR/out"; return 1; }
        [[ $(grep '^+++ ' "$BATS_TEST_TMPDIR/fix.diff") == "+++ b/include/bad.h" &&
           $(grep -c '^+#ifndef INCLUDE_BAD_H_INCLUDED$' "$BATS_TEST_TMPDIR/fix.diff") -eq 1 ]] ||
            { cat "$BATS_TEST_TMPDIR/fix.diff"; return 1; }
        rm -rf "$BATS_TEST_TMPDIR/patched"
        cp -r "$project" "$BATS_TEST_TMPDIR/patched"
        (cd "$BATS_TEST_TMPDIR/patched" && git apply "$BATS_TEST_TMPDIR/fix.diff")
        grep -qx '#define INCLUDE_BAD_H_INCLUDED' "$BATS_TEST_TMPDIR/patched/include/bad.h"
    done
}

@test "--patch: a header read again on purpose is never wrapped, and a fix withdrawn says why, in every output" {
    command -v git >/dev/null || skip "git is not installed"
    git init -q .
    # As zdict.h: a later section for an include with Z_STATIC set, which this build never does.
    printf '#ifndef Z_H\n#define Z_H\nint z(void);\n#endif\n#if defined(Z_STATIC) && !defined(Z_H_STATIC)\n#define Z_H_STATIC\ntypedef struct { int level; } z_params_t;\n#endif\n' >include/z.h
    # The __need_ pattern: the guard's #define in a condition of its own.
    printf '#ifndef N_H\n#ifndef __need_n\n#define N_H\n#endif\n#undef __need_n\ntypedef int n_t;\n#endif\n' >include/n.h
    # An X-macro list without a guard: its fix is refuted by the proof.
    printf 'X(one)\nX(two)\n' >include/list.h
    printf '#include "z.h"\n#include "z.h"\n#define __need_n\n#include "n.h"\n#include "n.h"\n#define X(n) int n;\n#include "list.h"\n#undef X\n#define X(n) int n##_b;\n#include "list.h"\n' >src/u1.c
    printf 'int u2;\n' >src/u2.c
    printf 'int u3;\n' >src/u3.c
    check --patch "$BATS_TEST_TMPDIR/fix.diff" --json "$BATS_TEST_TMPDIR/r.json" --sarif "$BATS_TEST_TMPDIR/s.json" build
    [[ $status -eq 1 && $err == "check-guards: $BATS_TEST_TMPDIR/fix.diff: not written: all 3 fixes were withdrawn (the proof says why, of each)" ]] ||
        { echo "status $status: $err"; return 1; }
    # (header, shape, kind)
    [[ $(query "$BATS_TEST_TMPDIR/r.json" "[(h['path'][len('$project/include/'):], h['shape'], h['cause'], h['kind']) for h in r['headers'] if not h['system'] and h['reentries']]") == \
        "[('z.h', 'sections', 'shape', 'processed'), ('n.h', 'conditional_guard', 'shape', 'processed'), ('list.h', 'no_guard', 'shape', 'processed')]" ]] ||
        { query "$BATS_TEST_TMPDIR/r.json" "r['headers']"; return 1; }
    [[ ! -e $BATS_TEST_TMPDIR/fix.diff ]] || { cat "$BATS_TEST_TMPDIR/fix.diff"; return 1; }
    [[ $(query "$BATS_TEST_TMPDIR/r.json" "[(w['path'][len('$project/include/'):], w['reason'].split(':')[0]) for w in r['proof']['withdrawn']]") == \
        "[('z.h', 'it is read again on purpose'), ('n.h', 'it is read again on purpose'), ('list.h', 'its fix changes the code of src/u1.c')]" ]] ||
        { query "$BATS_TEST_TMPDIR/r.json" "r['proof']['withdrawn']"; return 1; }
    # The refuted advice is said nowhere: the reason instead, in the table, SARIF and the
    # diagnostics.
    local withdrawn="no fix: --patch withdrew it, as its fix changes the code of src/u1.c: it is read again on purpose"
    [[ $out == *"| include/list.h | 1 | 1 | processed | "*"| $withdrawn |"* && $out != *"wrap the header"* ]] || { echo "$out"; return 1; }
    [[ $out == *"| include/z.h | 1 | 1 | processed | "*"| sections, line 5: "*"no fix: --patch withdrew it, as it is read again on purpose: a section outside its guard"* ]] || { echo "$out"; return 1; }
    [[ $(query "$BATS_TEST_TMPDIR/s.json" "[r['message']['text'].split('): ', 1)[1] for r in r['runs'][0]['results'] if r['message']['text'].startswith('include/list.h')]") == \
        "['$withdrawn']" ]] || { cat "$BATS_TEST_TMPDIR/s.json"; return 1; }
    check --diagnostics --patch "$BATS_TEST_TMPDIR/fix2.diff" build
    [[ $out == *"include/list.h:1:1: warning: include/list.h is entered again 1 time in 1 unit (no_guard, line 1: \`X(one)\`): $withdrawn [check-guards-no_guard]"* ]] || { echo "$out"; return 1; }
    # The user's own second include, with the macro set, still works, with no patch to apply.
    [[ $status -eq 1 && ! -e $BATS_TEST_TMPDIR/fix2.diff ]]
    printf '#include "z.h"\n#define Z_STATIC\n#include "z.h"\nz_params_t p;\n' >user.c
    gcc -Iinclude -fsyntax-only user.c
}

# A project with a header of each cause, whose --patch proves fixes: for the outputs below.
causes_project() {
    mkdir -p include/sub
    printf '#ifndef LOOP_H\n#define LOOP_H\n#include "back.h"\nint loop;\n#endif\n' >include/loop.h
    printf '#include "loop.h"\nint back;\n' >include/back.h
    printf '#ifndef R_H\n#define R_H\nint r;\n#endif\n' >include/r.h
    printf '#include "../r.h"\n' >include/sub/s.h
    local i
    for i in 1 2 3; do
        printf '#include "good.h"\n#include "loop.h"\n#include "r.h"\n#include "sub/s.h"\n#include "bad.h"\n' >src/u$i.c
    done
}

@test "--diagnostics: a line per header as gcc writes warnings, and notes for the lines behind it" {
    causes_project
    check --diagnostics build
    [[ $status -eq 0 && -z $err ]] || { echo "status $status: $err"; return 1; }
    # Parsed back: (path, line, cause) of each warning, and the notes' places.
    [[ $(echo "$out" | sed -n 's/^\([^:]*\):\([0-9]*\):1: warning: .*\[check-guards-\([a-z_]*\)\]$/\1 \2 \3/p') == \
        "include/bad.h 1 before_guard
include/loop.h 1 cycle
include/r.h 1 other_name" ]] || { echo "$out"; return 1; }
    [[ $out == *$'\ninclude/back.h:1:1: note: included back here, while it is still open: #include "loop.h"\n'* ]]
    # Another route named by its #include lines; the other units' first include is their first.
    [[ $out == *$'\nsrc/u1.c:3:1: note: first reached here: #include "r.h"\ninclude/sub/s.h:1:1: note: included again here, by another route (src/u1.c:4 > include/sub/s.h:1): #include "../r.h"\nsrc/u2.c:3:1: note: first reached here: #include "r.h"\nsrc/u3.c:3:1: note: first reached here: #include "r.h"'* ]] ||
        { echo "$out"; return 1; }
    [[ $(echo "$out" | grep -c -v ': \(warning\|note\): ') -eq 0 ]]
}

@test "--sarif: valid SARIF 2.1.0, a result per header at its line, the proven fix applies" {
    causes_project
    check --sarif "$BATS_TEST_TMPDIR/r.sarif" --patch "$BATS_TEST_TMPDIR/fix.diff" --rounds 1 build
    [[ $status -eq 0 && -z $err ]] || { echo "status $status: $err"; return 1; }
    [[ $(query "$BATS_TEST_TMPDIR/r.sarif" "[(x['ruleId'], x['locations'][0]['physicalLocation']['artifactLocation']['uri'], x['locations'][0]['physicalLocation']['region']['startLine'], len(x.get('relatedLocations', [])), 'fixes' in x) for x in r['runs'][0]['results']]") == \
        "[('before_guard', 'include/bad.h', 1, 3, True), ('cycle', 'include/loop.h', 1, 1, True), ('other_name', 'include/r.h', 1, 4, True)]" ]] ||
        { query "$BATS_TEST_TMPDIR/r.sarif" "r['runs'][0]['results']"; return 1; }
    # Each fix's replacements, applied to the header, give the header as the patch makes it.
    cp -r "$project" "$BATS_TEST_TMPDIR/patched"
    (cd "$BATS_TEST_TMPDIR/patched" && git apply "$BATS_TEST_TMPDIR/fix.diff")
    /usr/bin/python3 - "$BATS_TEST_TMPDIR/r.sarif" "$project" "$BATS_TEST_TMPDIR/patched" <<'PY'
import json, sys
log, top, patched = json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3]
for result in log["runs"][0]["results"]:
    for change in result["fixes"][0]["artifactChanges"]:
        uri = change["artifactLocation"]["uri"]
        text = open(f"{top}/{uri}").read()
        for r in sorted(change["replacements"], key=lambda r: -r["deletedRegion"]["charOffset"]):
            at, length = r["deletedRegion"]["charOffset"], r["deletedRegion"]["charLength"]
            text = text[:at] + r["insertedContent"]["text"] + text[at + length:]
        assert text == open(f"{patched}/{uri}").read(), uri
PY
    command -v sarif-multitool >/dev/null || skip "sarif-multitool is not installed (npm install -g @microsoft/sarif-multitool)"
    # npm installs its program for root alone: a user who cannot run it is told so, as a skip.
    said=$(sarif-multitool --version 2>&1) ||
        skip "sarif-multitool cannot be run by $(id -un): $(tail -n 1 <<<"$said" | cut -c 1-200) (the README says how to let every user run it)"
    sarif-multitool validate "$BATS_TEST_TMPDIR/r.sarif" -o "$BATS_TEST_TMPDIR/validation.sarif" >/dev/null
    [[ $(query "$BATS_TEST_TMPDIR/validation.sarif" "[x['message'] for x in r['runs'][0]['results'] if x.get('level') == 'error']") == "[]" ]] ||
        { query "$BATS_TEST_TMPDIR/validation.sarif" "r['runs'][0]['results']"; return 1; }
}

@test "--baseline: the same build passes; a header newly entered again fails the gate, alone" {
    check --json "$BATS_TEST_TMPDIR/baseline.json" build
    [[ $status -eq 0 ]]
    check --baseline "$BATS_TEST_TMPDIR/baseline.json" build
    # Nothing new: the table says so in those words, and the summary counts the known.
    [[ $status -eq 0 && $out == "No header of the build's own is newly entered again, beyond the baseline."* &&
        $out == *"Against the baseline $BATS_TEST_TMPDIR/baseline.json: 0 headers of the build's own new (entered again that it did not have, or more often), 1 known (entered again as it has them)"* ]] ||
        { echo "status $status: $out"; return 1; }
    printf 'int fresh;\n' >include/fresh.h
    printf '#include "fresh.h"\n#include "fresh.h"\n' >>src/u2.c
    check --baseline "$BATS_TEST_TMPDIR/baseline.json" --diagnostics build
    [[ $status -eq 1 ]]
    [[ $(echo "$out" | grep ': warning: ') == "include/fresh.h:1:1: warning: "*"[check-guards-no_guard]" ]] ||
        { echo "$out"; return 1; }
    [[ $err == *"1 header of the build's own new (entered again that it did not have, or more often), 1 known"* ]] ||
        { echo "$err"; return 1; }
    check --baseline build/compile_commands.json build
    [[ $status -eq 1 && $err == "check-guards: build/compile_commands.json: not a record of check-guards" ]]
    # A record of another database is refused before any unit runs: the unit that would fail
    # says nothing.
    /usr/bin/python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); r["directory"] = "/elsewhere"; json.dump(r, open(sys.argv[2], "w"))' \
        "$BATS_TEST_TMPDIR/baseline.json" "$BATS_TEST_TMPDIR/other.json"
    printf '#include "missing.h"\n' >>src/u1.c
    check --baseline "$BATS_TEST_TMPDIR/other.json" build
    [[ $status -eq 1 && $err == "check-guards: $BATS_TEST_TMPDIR/other.json: a record of the database in /elsewhere, not of $project/build: refused" ]] ||
        { echo "status $status: $err"; return 1; }
}

@test "MSVC-style: clang-cl on a database as a Windows build writes it, entries as /showIncludes lists them" {
    local clang_cl
    clang_cl=$(compgen -c clang-cl | sort | head -1)
    [[ -n $clang_cl ]] || skip "clang-cl is not installed"
    printf 'int plain;\n' >include/plain.h
    printf '#include "good.h"\n#include "plain.h"\n#include "plain.h"\n' >src/u1.c
    cat >build/compile_commands.json <<JSON
[
  {"directory": "$project\\\\build", "file": "..\\\\src\\\\u1.c",
   "command": "$clang_cl /nologo /TC /c /Fo..\\\\obj\\\\u1.obj /Fdvc.pdb /W4 /EHsc /MD /DNAME=\\"a b\\" /I..\\\\include ..\\\\src\\\\u1.c"},
  {"directory": "$project/build", "file": "../src/u2.c",
   "arguments": ["$clang_cl", "/nologo", "/c", "/Fo../obj/u2.obj", "/I../include", "../src/u2.c"]}
]
JSON
    local before
    before=$(snapshot)
    check --json "$BATS_TEST_TMPDIR/r.json" build
    [[ $status -eq 0 && -z $err ]] || { echo "status $status: $err"; return 1; }
    [[ $(snapshot) == "$before" ]]
    # The entries, against clang-cl's own /showIncludes of each unit.
    local expected
    expected=$(cd build && for i in 1 2; do "$clang_cl" /nologo /showIncludes /E /I../include ../src/u$i.c 2>&1 >/dev/null; done |
        sed -n 's/^Note: including file: *//p' | xargs -n1 basename | sort | uniq -c | awk '{print $2, $1}')
    [[ $(query "$BATS_TEST_TMPDIR/r.json" "'\n'.join(f\"{h['path'].split('/')[-1]} {h['entries']}\" for h in sorted(r['headers'], key=lambda h: h['path'].split('/')[-1]))") == "$expected" ]] ||
        { echo "$expected"; query "$BATS_TEST_TMPDIR/r.json" "r['headers']"; return 1; }
    [[ $(query "$BATS_TEST_TMPDIR/r.json" "[(h['reentries'], h['shape']) for h in r['headers'] if h['path'].endswith('/plain.h')]") == "[(1, 'no_guard')]" ]]
}

@test "a unit that fails: one line with the compiler's error, the rest reported, status 1" {
    printf '#include "missing.h"\n' >src/u2.c
    check build
    [[ $status -eq 1 ]]
    [[ $err == "check-guards: $project/src/u2.c: failed (1): "*"missing.h: No such file or directory" ]] ||
        { echo "$err"; return 1; }
    [[ $out == *"| include/bad.h | 2 | 2 |"* ]]
    [[ $out == *"Units: 3 (1 failed);"* ]]
}

@test "every unit failing for one reason: that reason said once, nothing said to be clean, status 1" {
    # (how the database is changed, whether the units include a header the build never made,
    # the one line said, how the units not audited are counted)
    local db="$project/build/c.json:"
    local cases=(
        "s|$project|/home/them/proj|g#no#$db 3 of 3 units refused: their files lie outside the tree ($project): give --tree with the directory that holds the sources#3 failed"
        "s/\"(gcc|cc) /\"gcc-77 /; s/\"gcc\"/\"gcc-77\"/#no#$db 3 of 3 units refused: their compiler 'gcc-77' is not found on the PATH (--compiler names one to use instead)#3 failed"
        "s|src/u[123][.]c|src/gone.c|g#no#$db 3 of 3 units refused: the database's paths do not exist here ($project/src/gone.c, for one): was it made on another machine?#3 failed"
        "#yes#$db 3 of 3 units failed (1): a header they include is not found: config.h (one the build makes? build it first)#3 failed"
        # Units of a program that lists no headers are skipped: nothing audited all the same.
        "s/\"(gcc|cc) /\"tcc /; s/\"gcc\"/\"tcc\"/#no#3 units skipped: tcc is not a C or C++ compiler that lists its headers (gcc, clang, cl or clang-cl)#3 skipped"
    )
    local entry change generated said apart i
    for entry in "${cases[@]}"; do
        IFS='#' read -r change generated said apart <<<"$entry"
        echo "case: $said"
        sed -E "$change" build/compile_commands.json >build/c.json
        for i in 1 2 3; do
            if [[ $generated == yes ]]; then printf '#include "config.h"\n' >src/u$i.c; fi
        done
        check --json "$BATS_TEST_TMPDIR/r.json" --patch "$BATS_TEST_TMPDIR/fix.diff" build/c.json
        [[ $status -eq 1 && $err == "check-guards: $said" ]] ||
            { echo "status $status: $err"; return 1; }
        [[ $out == "No unit was audited ($apart): nothing is known of the build's headers."* &&
           $out == *"No patch written: no unit was audited."* &&
           $out != *"entered more than once"* && $out != *"entered again"* ]] || { echo "$out"; return 1; }
        [[ ! -e $BATS_TEST_TMPDIR/fix.diff ]]
        [[ $(query "$BATS_TEST_TMPDIR/r.json" "len(r['failed'])") == "${apart%% *}" || $apart == *skipped ]]
    done
}

@test "a build apart from its sources: refused at once, the tree said; audited with --tree" {
    local apart="$BATS_TEST_TMPDIR/apart"
    mkdir "$apart"
    /usr/bin/python3 -c 'import json, sys; print(json.dumps([{"directory": sys.argv[2], "file": f"{sys.argv[1]}/src/u{i}.c", "arguments": ["gcc", f"-I{sys.argv[1]}/include", "-c", f"{sys.argv[1]}/src/u{i}.c"]} for i in (1, 2, 3)]))' \
        "$project" "$apart" >"$apart/compile_commands.json"
    check "$apart"
    [[ $status -eq 1 && $err == "check-guards: $apart/compile_commands.json: 3 of 3 units refused: their files lie outside the tree ($apart): give --tree with the directory that holds the sources" ]] ||
        { echo "status $status: $err"; return 1; }
    check --tree "$project" "$apart"
    [[ $status -eq 0 && -z $err && $out == *"| include/bad.h | 3 | 3 |"* ]] || { echo "status $status: $err $out"; return 1; }
}

@test "bad input: one line, status 1, no traceback" {
    local cases=(
        "nowhere|nowhere: no compilation database there"
        "src|src/compile_commands.json: no compilation database there (CMake writes one with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON, Meson in its build directory, any other build with bear -- make)"
        "build/empty.json|$project/build/empty.json: no entries, so no unit to audit (bear -- make records only what make compiles: run it after make clean)"
        "build/broken.json|$project/build/broken.json: not JSON: Expecting value at line 1"
        "build/object.json|$project/build/object.json: not a list of entries"
        "-j 0|argument -j: not a whole number above 0: '0' (see --help)"
        "--shard 3/2|argument --shard: not I/N with I from 1 to N: '3/2' (see --help)"
        "--merge build/object.json|build/object.json: not a record of check-guards"
        "--compiler cat build|--compiler 'cat' does not list the headers it enters"
        "build/nested.json|$project/build/nested.json: not JSON that can be read: nested too deeply"
        "--timeout inf build|--timeout must be a number of seconds above 0 and at most 1000000: inf"
        "--timeout 1e10 build|--timeout must be a number of seconds above 0"
        "--timeout nan build|--timeout must be a number of seconds above 0"
        "-j 100000 build|argument -j: at most 256 units run at once: '100000' (see --help)"
        "--merge build/hostile.json|build/hostile.json: not a record of check-guards"
    )
    echo "not json" >build/broken.json
    echo "[]" >build/empty.json
    echo '{"a": 1}' >build/object.json
    /usr/bin/python3 -c 'print("[" * 100000 + "]" * 100000)' >build/nested.json
    echo '{"directory": "/", "compiler": "gcc", "units": 1, "failed": [], "headers": [{"path": "/a.h", "reentries": "many"}]}' >build/hostile.json
    local entry args said
    for entry in "${cases[@]}"; do
        IFS='|' read -r args said <<<"$entry"
        echo "arguments: $args"
        # shellcheck disable=SC2086
        check $args
        [[ $status -eq 1 && -z $out ]]
        [[ $err == "check-guards: $said"* && $err != *$'\n'* ]] || { echo "stderr: $err"; return 1; }
    done
}

@test "shards merged give the report of one run over all; parts that are not are refused" {
    # u2, alone in the second shard, enters stddef.h once: there it is a system header that is
    # only measured; the others enter it again.
    printf '#include <stddef.h>\n' >src/u2.c
    check --all --json "$BATS_TEST_TMPDIR/all.json" build
    [[ $status -eq 0 ]]
    local whole=$out
    check --shard 1/2 --json "$BATS_TEST_TMPDIR/1.json" build
    [[ $status -eq 0 && $(query "$BATS_TEST_TMPDIR/1.json" "r['units']") == 2 ]]
    check --shard 2/2 --json "$BATS_TEST_TMPDIR/2.json" build
    [[ $status -eq 0 && $(query "$BATS_TEST_TMPDIR/2.json" "r['units']") == 1 ]]
    check --merge "$BATS_TEST_TMPDIR/2.json" "$BATS_TEST_TMPDIR/1.json" --all --json "$BATS_TEST_TMPDIR/merged.json"
    [[ $status -eq 0 && $out == "$whole" ]] || { diff <(echo "$whole") <(echo "$out"); echo "$err"; return 1; }
    [[ $(query "$BATS_TEST_TMPDIR/merged.json" "r['totals']") == "$(query "$BATS_TEST_TMPDIR/all.json" "r['totals']")" ]]
    # Parts of another database, a part given twice, failed units in a part, a part of an
    # earlier check-guards, which does not keep what orders a merge as one run.
    /usr/bin/python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); r["directory"] = "/elsewhere"; json.dump(r, open(sys.argv[2], "w")); r = json.load(open(sys.argv[1])); r["failed"] = [{"file": "x.c", "entry": 2, "status": 1, "message": "m"}]; json.dump(r, open(sys.argv[3], "w")); del r["compilers"], r["settings"]; json.dump(r, open(sys.argv[4], "w")); r = json.load(open(sys.argv[1])); r["headers"] = [{("reason" if k == "shape" else k): v for k, v in h.items()} for h in r["headers"]]; json.dump(r, open(sys.argv[5], "w"))' \
        "$BATS_TEST_TMPDIR/2.json" "$BATS_TEST_TMPDIR/other.json" "$BATS_TEST_TMPDIR/failed.json" "$BATS_TEST_TMPDIR/earlier.json" "$BATS_TEST_TMPDIR/reason.json"
    local cases=(
        "1.json other.json|1|other.json: a record of the database in /elsewhere, not of $project/build: refused"
        "1.json 1.json|1|1.json: the same part as $BATS_TEST_TMPDIR/1.json (1/2): refused"
        "all.json 1.json|1|1.json: the same part as $BATS_TEST_TMPDIR/all.json (1/2): refused"
        "1.json failed.json|1|"
        "1.json earlier.json|1|earlier.json: a record of an earlier check-guards (compilers: missing): it cannot be merged with other parts as one run would give them; audit its part again"
        "1.json reason.json|1|reason.json: a record of an earlier check-guards (headers[0].shape: missing): it cannot be merged with other parts as one run would give them; audit its part again"
    )
    local entry records expected said
    for entry in "${cases[@]}"; do
        IFS='|' read -r records expected said <<<"$entry"
        echo "merge: $records"
        # shellcheck disable=SC2086
        check --merge $(printf "$BATS_TEST_TMPDIR/%s " $records)
        [[ $status -eq $expected ]] || { echo "status $status: $err"; return 1; }
        if [[ -n $said ]]; then
            [[ -z $out && $err == *"$said"* && $err != *$'\n'* ]] || { echo "stderr: $err"; return 1; }
        else
            [[ $out == *"Units: 3 (1 failed);"* ]] || { echo "$out"; return 1; }
        fi
    done
    # A record that names a header's shape its reason, alone: shown as it is, its shape by the
    # name it has now.
    /usr/bin/python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); r["headers"] = [{("reason" if k == "shape" else k): v for k, v in h.items()} for h in r["headers"]]; json.dump(r, open(sys.argv[2], "w"))' \
        "$BATS_TEST_TMPDIR/all.json" "$BATS_TEST_TMPDIR/all-reason.json"
    check --merge "$BATS_TEST_TMPDIR/all-reason.json" --all --json "$BATS_TEST_TMPDIR/again.json"
    [[ $status -eq 0 && $out == "$whole" ]] || { diff <(echo "$whole") <(echo "$out"); echo "$err"; return 1; }
    [[ $(query "$BATS_TEST_TMPDIR/again.json" "r['headers']") == "$(query "$BATS_TEST_TMPDIR/all.json" "r['headers']")" ]]
    # A part missing: refused, naming it, unless --partial merges what is given.
    check --merge "$BATS_TEST_TMPDIR/1.json"
    [[ $status -eq 1 && -z $out && $err == "check-guards: the shards 2/2 of the build are missing: refused, as the report would count only some of its units (--partial merges those given)" ]] ||
        { echo "status $status: $err"; return 1; }
    check --merge "$BATS_TEST_TMPDIR/1.json" --partial
    [[ $status -eq 0 && $err == "check-guards: the shards 2/2 of the build are missing: merged without them" && $out == *"Units: 2;"* ]] ||
        { echo "status $status: $err $out"; return 1; }
}

@test "a compiler that does not end: stopped after --timeout, the unit counted as failed" {
    mkfifo include/fifo.h
    printf '#include "fifo.h"\n' >src/u3.c
    check --timeout 1 build
    [[ $status -eq 1 ]]
    [[ $err == "check-guards: $project/src/u3.c: failed (timeout): "*"did not end within 1 s: stopped it" ]] ||
        { echo "$err"; return 1; }
    [[ $out == *"Units: 3 (1 failed);"* ]]
    if pgrep -a -f "$project"; then return 1; fi
    # Off a terminal, where it stands is said every CHECK_GUARDS_PROGRESS seconds (30 unless
    # set), the same again too, so that a log shows the run is alive.
    CHECK_GUARDS_PROGRESS=0.5 check --timeout 5 build
    [[ $status -eq 1 && $(grep -c '^check-guards: 2 of 3 units$' <<<"$err") -ge 2 ]] || { echo "$err"; return 1; }
}

# Three units that block on a FIFO, named by absolute paths so that their compilers can be found.
blocking_units() {
    mkfifo include/fifo.h
    local i
    for i in 1 2 3; do printf '#include "fifo.h"\n' >src/u$i.c; done
    /usr/bin/python3 -c 'import json, sys; print(json.dumps([{"directory": sys.argv[1] + "/build", "file": f"{sys.argv[1]}/src/u{i}.c", "arguments": ["gcc", "-I../include", "-c", f"{sys.argv[1]}/src/u{i}.c"]} for i in (1, 2, 3)]))' \
        "$project" >build/compile_commands.json
}

@test "any end of the tool, SIGKILL too, stops every compiler, leaves nothing, ends by the signal" {
    blocking_units
    mkdir "$BATS_TEST_TMPDIR/tmp"
    local before signal tries
    before=$(snapshot)
    for signal in TERM HUP INT QUIT KILL; do
        echo "SIG$signal"
        rm -f "$BATS_TEST_TMPDIR/ended" "$BATS_TEST_TMPDIR/pid"
        TMPDIR="$BATS_TEST_TMPDIR/tmp" env --default-signal=INT,QUIT "$BATS_TEST_DIRNAME/record_end.py" \
            "$BATS_TEST_TMPDIR/ended" "$BATS_TEST_TMPDIR/pid" /dev/null "$BATS_TEST_TMPDIR/err" \
            "$script" -j 2 build &
        tries=0
        until [[ $(pgrep -c -f "$project/src/u") -ge 2 ]]; do
            ((tries++ < 2000)) || { echo "no compiler started"; return 1; }
            sleep 0.01
        done
        kill "-$signal" "$(cat "$BATS_TEST_TMPDIR/pid")"
        tries=0
        until [[ -s $BATS_TEST_TMPDIR/ended ]]; do
            ((tries++ < 2000)) || { echo "still running"; return 1; }
            sleep 0.01
        done
        [[ $(cat "$BATS_TEST_TMPDIR/ended") == "signal SIG$signal" ]] ||
            { echo "ended by $(cat "$BATS_TEST_TMPDIR/ended"): $(cat "$BATS_TEST_TMPDIR/err")"; return 1; }
        # A tool that is killed cannot wait for its keeper: give the keeper a moment.
        tries=0
        while pgrep -f "$project" >/dev/null || [[ -n $(ls -A "$BATS_TEST_TMPDIR/tmp") ]]; do
            ((tries++ < 500)) || { pgrep -a -f "$project"; ls -A "$BATS_TEST_TMPDIR/tmp"; return 1; }
            [[ $signal == KILL ]] || { pgrep -a -f "$project"; ls -A "$BATS_TEST_TMPDIR/tmp"; return 1; }
            sleep 0.01
        done
        [[ $(snapshot) == "$before" ]]
    done
}

@test "Ctrl-C during the proof of --patch leaves no scratch copy and no compiler" {
    /usr/bin/python3 -c 'print("".join(f"#define OPTION_{i} {i}\n" for i in range(50000)), end="")' >include/config.h
    local i
    for i in 1 2 3; do printf '#include "config.h"\n#include "config.h"\n' >src/u$i.c; done
    mkdir "$BATS_TEST_TMPDIR/tmp"
    local before tries
    before=$(snapshot)
    rm -f "$BATS_TEST_TMPDIR/ended"
    # The proof's scratch files are in the sandbox's own /tmp: where it stands is said often.
    CHECK_GUARDS_PROGRESS=0.1 TMPDIR="$BATS_TEST_TMPDIR/tmp" env --default-signal=INT \
        "$BATS_TEST_DIRNAME/record_end.py" \
        "$BATS_TEST_TMPDIR/ended" "$BATS_TEST_TMPDIR/pid" /dev/null "$BATS_TEST_TMPDIR/err" \
        "$script" --patch "$BATS_TEST_TMPDIR/fix.diff" --rounds 1000 build &
    tries=0
    until grep -q "check-guards: proof: " "$BATS_TEST_TMPDIR/err" 2>/dev/null; do
        ((tries++ < 3000)) || { echo "no proof started"; return 1; }
        sleep 0.01
    done
    sleep 0.5
    kill -INT "$(cat "$BATS_TEST_TMPDIR/pid")"
    tries=0
    until [[ -s $BATS_TEST_TMPDIR/ended ]]; do
        ((tries++ < 2000)) || { echo "still running"; return 1; }
        sleep 0.01
    done
    [[ $(cat "$BATS_TEST_TMPDIR/ended") == "signal SIGINT" ]] || { cat "$BATS_TEST_TMPDIR/err"; return 1; }
    [[ -z $(ls -A "$BATS_TEST_TMPDIR/tmp") ]] || { ls -A "$BATS_TEST_TMPDIR/tmp"; return 1; }
    [[ ! -e $BATS_TEST_TMPDIR/fix.diff ]]
    # Nor anything of its sandbox, which its compilers die with.
    if pgrep -a -f -- "--inside $project/"; then return 1; fi
    [[ $(snapshot) == "$before" ]]
}

@test "INT, TERM or HUP at any point of a run ends it within seconds, none left, tried many times" {
    blocking_units
    local try delay pid signal signals=(INT TERM HUP) sent ended
    for try in $(seq 30); do
        printf -v delay '0.%03d' $((RANDOM % 500))
        signal=${signals[try % 3]}
        # A long timeout: the run must end by the signal, never because its compilers time out.
        env --default-signal=INT "$script" -j 3 --timeout 60 build >/dev/null 2>&1 &
        pid=$!
        sleep "$delay"
        sent=$(date +%s%N)
        kill "-$signal" "$pid"
        wait "$pid" || true
        ended=$(date +%s%N)
        # The tool's relay ends it at the latest 2 s after the signal: 5 s leaves a loaded
        # machine its margin, far below the timeout.
        if ((ended - sent > 5000000000)); then
            echo "try $try, SIG$signal after $delay s: ended $(((ended - sent) / 1000000)) ms later"
            return 1
        fi
        # A sandbox the tool had just started is killed by the kernel as the tool ends
        # (--die-with-parent): that takes a moment, never more than a second.
        local wait
        for wait in $(seq 10); do pgrep -f "$project" >/dev/null || break; sleep 0.1; done
        if pgrep -a -f "$project"; then echo "try $try, SIG$signal after $delay s"; return 1; fi
    done
}

@test "a file of -include or -imacros, which -H does not list, is said not to be counted" {
    printf 'int ng_decl;\n' >include/ng.h
    printf '#include "ng.h"\n' >include/wrap.h
    # (the unit's flags, the line said on standard error; none without a forced include)
    local cases=(
        "-include wrap.h|check-guards: 3 units read files given by -include or -imacros, which the compiler's listing leaves out with all they include: what those files enter is not counted"
        "-imacros wrap.h|check-guards: 3 units read files given by -include or -imacros, which the compiler's listing leaves out with all they include: what those files enter is not counted"
        "|"
    )
    local entry flags said i
    for i in 1 2 3; do printf '#include "ng.h"\n' >src/u$i.c; done
    for entry in "${cases[@]}"; do
        IFS='|' read -r flags said <<<"$entry"
        echo "flags: $flags"
        /usr/bin/python3 -c 'import json, sys; print(json.dumps([{"directory": sys.argv[1] + "/build", "file": f"../src/u{i}.c", "command": f"gcc -I../include {sys.argv[2]} -c ../src/u{i}.c"} for i in (1, 2, 3)]))' \
            "$project" "$flags" >build/compile_commands.json
        check build
        [[ $err == "$said" ]] || { echo "stderr: $err"; return 1; }
    done
}
