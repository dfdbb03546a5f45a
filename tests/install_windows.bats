#!/usr/bin/env bats
# What users install on Windows: the install rule and the .zip, each unpacked into a temporary
# directory and guardgen.exe run from there (under wine, through GUARDGEN_RUNNER), for the 32-bit
# and the 64-bit build alike (GUARDGEN_PACKAGE_SYSTEM: win32 or win64, as the .zip is named).

load install_helpers

# The program, the companions with their modules, the README and the licence.
CONTENTS="LICENSE README.md check-guards check_guards compare-preprocessors compare_preprocessors guardgen.exe guardgen_common "

@test "cmake --install puts guardgen.exe, the companion, the README and the licence under the prefix" {
    local prefix="$BATS_TEST_TMPDIR/prefix"
    cmake --install "$GUARDGEN_BUILD_DIR" --prefix "$prefix" >/dev/null
    [[ $(ls "$prefix" | tr '\n' ' ') == "$CONTENTS" ]]
    [[ -f "$prefix/compare_preprocessors/cli.py" && -f "$prefix/check_guards/cli.py" ]]
    expect_working_program "$prefix/guardgen.exe"
}

@test "the .zip holds guardgen.exe, the companion, the README and the licence, and runs when unpacked" {
    command -v unzip >/dev/null || skip "unzip is not installed"
    local packages="$BATS_TEST_TMPDIR/packages" top="guardgen-$GUARDGEN_VERSION-$GUARDGEN_PACKAGE_SYSTEM"
    cpack --config "$GUARDGEN_BUILD_DIR/CPackConfig.cmake" -G ZIP -B "$packages" >/dev/null
    unzip -q "$packages/$top.zip" -d "$BATS_TEST_TMPDIR/unpacked"
    [[ $(ls "$BATS_TEST_TMPDIR/unpacked/$top" | tr '\n' ' ') == "$CONTENTS" ]]
    [[ -f "$BATS_TEST_TMPDIR/unpacked/$top/compare_preprocessors/cli.py" ]]
    [[ -f "$BATS_TEST_TMPDIR/unpacked/$top/check_guards/cli.py" ]]
    expect_working_program "$BATS_TEST_TMPDIR/unpacked/$top/guardgen.exe"
}
