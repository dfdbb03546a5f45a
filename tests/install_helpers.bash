# What the install suites share: where things are, and running an installed program.
#
# Set from outside (CTest does):
#   GUARDGEN_BUILD_DIR  the build tree, complete
#   GUARDGEN_VERSION    the project's version
#   GUARDGEN_RUNNER     a command to run the program with, such as wine (default: none)

setup() {
    : "${GUARDGEN_BUILD_DIR:?}" "${GUARDGEN_VERSION:?}"
    read -ra runner <<<"${GUARDGEN_RUNNER:-}"
    source_dir="$BATS_TEST_DIRNAME/.."
    mkdir "$BATS_TEST_TMPDIR/run"
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
