# What the suites that run guardgen share: how to run it, the blocks its files are made of, and
# checks on the current directory and on how a run ended ($status, and $err, the file its standard
# error went to).
#
# Set from outside:
#   GUARDGEN         the program to run (required)
#   GUARDGEN_RUNNER  a command to run it with, such as "wine" (default: none, run it directly)
#   GUARDGEN_EOL     the line end it writes: lf (default) or crlf

EG=$'#ifndef GUARD_H\n#include "guard.h"\n#endif\n'
IG=$'#include "guard.h"\n'
NG=$'#include "noguard.h"\n'
GUARD=$'#ifndef GUARD_H\n#define GUARD_H\nextern int i;\n#endif\n'
NOGUARD=$'extern int i;\n'

# Reads the settings above into $runner and $eol, and enters a fresh, empty directory.
setup_guardgen() {
    : "${GUARDGEN:?set GUARDGEN to the program to test}"
    read -ra runner <<<"${GUARDGEN_RUNNER:-}"
    case "${GUARDGEN_EOL:-lf}" in
        lf) eol=$'\n' ;;
        crlf) eol=$'\r\n' ;;
        *) echo "GUARDGEN_EOL must be lf or crlf" >&2; return 1 ;;
    esac
    out="$BATS_TEST_TMPDIR/stdout"
    err="$BATS_TEST_TMPDIR/stderr"
    mkdir "$BATS_TEST_TMPDIR/work"
    cd "$BATS_TEST_TMPDIR/work"
}

# Skips the case where guardgen runs under a runner (the Windows program under wine), giving $1
# as the reason.
native_only() {
    [[ ${#runner[@]} -eq 0 ]] || skip "$1"
}

# Fails unless the current directory holds exactly the named entries.
expect_files() {
    local expected actual
    expected=$(printf '%s\n' "$@" | sort)
    actual=$(ls -A | sort)
    if [[ "$expected" != "$actual" ]]; then
        printf 'files expected:\n%s\nfiles found:\n%s\n' "$expected" "$actual"
        return 1
    fi
}

expect_status() {
    if [[ $status -ne $1 ]]; then
        echo "exit status $status, expected $1; stderr:"; cat "$err"
        return 1
    fi
}
