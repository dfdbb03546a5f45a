#!/usr/bin/env bats
# What users install on Linux: the man pages, the install rule and the .deb, each unpacked into a
# temporary directory and the programs run from there. (install_windows.bats does the same for the
# Windows build.)

load install_helpers

# Runs the companions installed in directory $1: compare-preprocessors, which finds the guardgen
# beside it, on gcc at a small count, and check-guards on a unit that includes an unguarded header
# twice.
expect_working_companions() {
    local name
    for name in compare-preprocessors check-guards; do
        [[ -f "$1/../share/man/man1/$name.1.gz" ]]
    done
    command -v gcc >/dev/null || return 0
    cd "$BATS_TEST_TMPDIR/run"
    env -u GUARDGEN -u PYTHONDONTWRITEBYTECODE PATH=/usr/bin:/bin "$1/compare-preprocessors" -p gcc --runs 1 3 >table.txt
    [[ $(sed -n 3p table.txt) == "| gcc | "* ]]
    mkdir unit
    printf 'int a;\n' >unit/a.h
    printf '#include "a.h"\n#include "a.h"\n' >unit/a.c
    printf '[{"directory": "%s", "file": "a.c", "command": "gcc -c a.c"}]\n' "$PWD/unit" \
        >unit/compile_commands.json
    env -u PYTHONDONTWRITEBYTECODE PATH=/usr/bin:/bin "$1/check-guards" unit >table.txt
    # Its paths relative to the current directory, below which they lie.
    [[ $(sed -n 3p table.txt) == "| unit/a.h | 1 | 1 | processed | 7 | no_guard, line 1: \`int a;\` | "* ]] ||
        { cat table.txt; return 1; }
    rm -r table.txt unit
    # They wrote nothing where they are installed, which would stay when the package is removed.
    [[ -z $(find "$1/.." -name __pycache__) ]] || { find "$1/.." -name __pycache__; return 1; }
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
    local name
    for name in guardgen compare-preprocessors check-guards; do
        lint_man_page "$source_dir/doc/$name.1"
        lint_man_page "$GUARDGEN_BUILD_DIR/$name.1"
        grep -q "^\.TH ${name^^} 1 .* \"guardgen $GUARDGEN_VERSION\" " "$GUARDGEN_BUILD_DIR/$name.1"
    done
}

@test "cmake --install puts the program and its man page under the prefix" {
    local prefix="$BATS_TEST_TMPDIR/prefix"
    cmake --install "$GUARDGEN_BUILD_DIR" --prefix "$prefix" >/dev/null
    [[ -f "$prefix/share/man/man1/guardgen.1.gz" ]]
    [[ -f "$prefix/share/doc/guardgen/copyright" ]]
    [[ $(zcat "$prefix/share/doc/guardgen/changelog.gz" | head -n 1) == \
        "guardgen ($GUARDGEN_VERSION) stable; urgency=medium" ]]
    MANWIDTH=80 man -l "$prefix/share/man/man1/guardgen.1.gz" 2>/dev/null | grep -q "guardgen $GUARDGEN_VERSION"
    expect_working_program "$prefix/bin/guardgen"
    expect_working_companions "$prefix/bin"
}

@test "the .deb says what it is and runs when unpacked" {
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
    [[ -f "$BATS_TEST_TMPDIR/root/usr/share/man/man1/guardgen.1.gz" ]]
    expect_working_program "$BATS_TEST_TMPDIR/root/usr/bin/guardgen"
    expect_working_companions "$BATS_TEST_TMPDIR/root/usr/bin"
}

@test "the .deb is lintian-clean, pedantic and informational tags included: hardened, stripped" {
    command -v lintian >/dev/null || skip "lintian is not installed"
    local packages="$BATS_TEST_TMPDIR/packages" report
    cpack --config "$GUARDGEN_BUILD_DIR/CPackConfig.cmake" -G DEB -B "$packages" >/dev/null
    report=$(lintian -EvIL +pedantic "$packages"/guardgen_*.deb 2>/dev/null) ||
        { echo "$report"; return 1; }
    echo "$report"
    if grep '^[EWIPX]: ' <<<"$report"; then return 1; fi
}
