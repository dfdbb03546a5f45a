#!/usr/bin/env bats
# The generated files on real preprocessors: the guarded styles declare once, the unguarded one
# once per include, and every source is valid C99. A compiler that is not installed is skipped.
#
# GUARDGEN: the program to test (required).

setup_file() {
    : "${GUARDGEN:?set GUARDGEN to the program to test}"
    export FILES="$BATS_FILE_TMPDIR/files"
    mkdir "$FILES"
    (cd "$FILES" && "$GUARDGEN" 1 1000 >/dev/null)
}

setup() {
    cd "$FILES"
}

need() {
    command -v "$1" >/dev/null || skip "$1 is not installed"
}

# The number of declarations that preprocessing the file with the compiler yields.
declarations() {
    "$1" -E "$2" | grep -c '^extern int i;$' || true
}

expect_declarations() {
    local cc=$1 n
    for n in 1 1000; do
        [[ $(declarations "$cc" "eg$n.c") -eq 1 ]] || { echo "$cc eg$n.c"; return 1; }
        [[ $(declarations "$cc" "ig$n.c") -eq 1 ]] || { echo "$cc ig$n.c"; return 1; }
        [[ $(declarations "$cc" "ng$n.c") -eq $n ]] || { echo "$cc ng$n.c"; return 1; }
    done
}

expect_valid_c99() {
    local file
    for file in *.c; do
        "$1" -std=c99 -pedantic-errors -fsyntax-only "$file" || { echo "$1 $file"; return 1; }
    done
}

@test "gcc -E: eg and ig declare once, ng once per include" {
    need gcc
    expect_declarations gcc
}

@test "clang -E: eg and ig declare once, ng once per include" {
    need clang
    expect_declarations clang
}

@test "gcc: every generated source is valid C99" {
    need gcc
    expect_valid_c99 gcc
}

@test "clang: every generated source is valid C99" {
    need clang
    expect_valid_c99 clang
}
