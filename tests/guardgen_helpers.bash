# What the suites that run guardgen share: the blocks its files are made of, and checks on the
# current directory and on how a run ended ($status, and $err, the file its standard error went
# to).

EG=$'#ifndef GUARD_H\n#include "guard.h"\n#endif\n'
IG=$'#include "guard.h"\n'
NG=$'#include "noguard.h"\n'
GUARD=$'#ifndef GUARD_H\n#define GUARD_H\nextern int i;\n#endif\n'
NOGUARD=$'extern int i;\n'

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
