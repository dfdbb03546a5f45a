#!/usr/bin/env bats
# What users install: the man page, the install rule and the packages, each unpacked into a
# temporary directory and the program run from there.
#
# Set from outside (CTest does):
#   GUARDGEN_BUILD_DIR  the build tree, complete
#   GUARDGEN_VERSION    the project's version
#   GUARDGEN_TARGET     linux or win32
#   GUARDGEN_RUNNER     a command to run the program with, such as wine (default: none)

setup() {
    : "${GUARDGEN_BUILD_DIR:?}" "${GUARDGEN_VERSION:?}" "${GUARDGEN_TARGET:?}"
    read -ra runner <<<"${GUARDGEN_RUNNER:-}"
    source_dir="$BATS_TEST_DIRNAME/.."
    mkdir "$BATS_TEST_TMPDIR/run"
}

only_on() {
    [[ $GUARDGEN_TARGET == "$1" ]] || skip "for the $1 build"
}

# Runs the program at $1 with the count 3 in an empty directory; fails unless it wrote the
# five files and announced the three sources.
expect_working_program() {
    cd "$BATS_TEST_TMPDIR/run"
    "${runner[@]}" "$1" 3 >stdout.txt
    [[ $(tr -d '\r' <stdout.txt) == $'Writing eg3.c\nWriting ig3.c\nWriting ng3.c' ]]
    rm stdout.txt
    [[ $(ls | tr '\n' ' ') == "eg3.c guard.h ig3.c ng3.c noguard.h " ]]
    [[ $(tr -d '\r' <ig3.c) == $'#include "guard.h"\n#include "guard.h"\n#include "guard.h"' ]]
}

# Runs the compare-preprocessors installed in directory $1, which finds the guardgen beside it,
# on gcc at a small count.
expect_working_companion() {
    [[ -f "$1/../share/man/man1/compare-preprocessors.1" ]]
    command -v gcc >/dev/null || return 0
    cd "$BATS_TEST_TMPDIR/run"
    env -u GUARDGEN PATH=/usr/bin:/bin "$1/compare-preprocessors" -p gcc --runs 1 3 >table.txt
    [[ $(sed -n 3p table.txt) == "| gcc | "* ]]
    rm table.txt
}

lint_man_page() {
    if command -v mandoc >/dev/null; then
        mandoc -Tlint -Wwarning "$1"
    elif command -v groff >/dev/null; then
        local warnings
        warnings=$(groff -man -ww -z "$1" 2>&1)
        [[ -z $warnings ]] || { echo "$warnings"; return 1; }
    else
        skip "neither mandoc nor groff is installed"
    fi
}

@test "the man pages have no lint warnings, as written and as installed" {
    only_on linux
    local name
    for name in guardgen compare-preprocessors; do
        lint_man_page "$source_dir/doc/$name.1"
        lint_man_page "$GUARDGEN_BUILD_DIR/$name.1"
        grep -q "^\.TH ${name^^} 1 .* \"guardgen $GUARDGEN_VERSION\" " "$GUARDGEN_BUILD_DIR/$name.1"
    done
}

@test "cmake --install puts the program and its man page under the prefix" {
    only_on linux
    local prefix="$BATS_TEST_TMPDIR/prefix"
    cmake --install "$GUARDGEN_BUILD_DIR" --prefix "$prefix" >/dev/null
    [[ -f "$prefix/share/man/man1/guardgen.1" ]]
    [[ -f "$prefix/share/doc/guardgen/copyright" ]]
    MANWIDTH=80 man -l "$prefix/share/man/man1/guardgen.1" 2>/dev/null | grep -q "guardgen $GUARDGEN_VERSION"
    expect_working_program "$prefix/bin/guardgen"
    expect_working_companion "$prefix/bin"
}

@test "the .deb says what it is and runs when unpacked" {
    only_on linux
    command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
    local packages="$BATS_TEST_TMPDIR/packages" deb info
    cpack --config "$GUARDGEN_BUILD_DIR/CPackConfig.cmake" -G DEB -B "$packages" >/dev/null
    deb="$packages/guardgen_${GUARDGEN_VERSION}_$(dpkg --print-architecture).deb"
    info=$(dpkg-deb --info "$deb")
    echo "$info"
    grep -q "^ Package: guardgen$" <<<"$info"
    grep -q "^ Version: $GUARDGEN_VERSION$" <<<"$info"
    grep -q "^ Maintainer: .*<.*@.*>$" <<<"$info"
    grep -q "^ Depends: python3 (>= 3.10), .*libc6" <<<"$info"
    grep -q "^ Recommends: python3-matplotlib, gcc | clang | tcc | mcpp$" <<<"$info"
    grep -q "^ Description: Writes C sources that include one header many times" <<<"$info"
    grep -q "^  guardgen writes a pair of headers" <<<"$info"
    dpkg-deb -x "$deb" "$BATS_TEST_TMPDIR/root"
    [[ -f "$BATS_TEST_TMPDIR/root/usr/share/man/man1/guardgen.1" ]]
    expect_working_program "$BATS_TEST_TMPDIR/root/usr/bin/guardgen"
    expect_working_companion "$BATS_TEST_TMPDIR/root/usr/bin"
}

@test "cmake --install puts guardgen.exe, the README and the licence under the prefix" {
    only_on win32
    local prefix="$BATS_TEST_TMPDIR/prefix"
    cmake --install "$GUARDGEN_BUILD_DIR" --prefix "$prefix" >/dev/null
    [[ $(ls "$prefix" | tr '\n' ' ') == "LICENSE README.md guardgen.exe " ]]
    expect_working_program "$prefix/guardgen.exe"
}

@test "the .zip holds guardgen.exe, the README and the licence, and runs when unpacked" {
    only_on win32
    command -v unzip >/dev/null || skip "unzip is not installed"
    local packages="$BATS_TEST_TMPDIR/packages" top="guardgen-$GUARDGEN_VERSION-win32"
    cpack --config "$GUARDGEN_BUILD_DIR/CPackConfig.cmake" -G ZIP -B "$packages" >/dev/null
    unzip -q "$packages/$top.zip" -d "$BATS_TEST_TMPDIR/unpacked"
    [[ $(ls "$BATS_TEST_TMPDIR/unpacked/$top" | tr '\n' ' ') == "LICENSE README.md guardgen.exe " ]]
    expect_working_program "$BATS_TEST_TMPDIR/unpacked/$top/guardgen.exe"
}
