#!/usr/bin/env bats
# check-guards against hostile databases and a compromised compiler: each case asserts what ran
# (no program of the tree's: they would leave a mark), what was written (nothing in the tree or
# in HOME), what is left running (nothing), what was shown (no byte of a secret outside the tree)
# and that standard error holds one line at most; in the sandbox, and with --no-sandbox where
# that still holds. Without bubblewrap the tool refuses to run a database's compilers.

setup() {
    script="$BATS_TEST_DIRNAME/../tools/check-guards"
    command -v gcc >/dev/null || skip "gcc is not installed"
    project="$BATS_TEST_TMPDIR/hostile-tree"
    system="$BATS_TEST_TMPDIR/installed"  # programs installed apart from the tree
    marks="$BATS_TEST_TMPDIR/marks"
    home="$BATS_TEST_TMPDIR/home"
    # The tree's top is a work tree's (its .git): the sources beside the build are in its tree.
    mkdir -p "$project"/{.git,include,src,build,tools,vendor/tools,vendor/sub/build} "$system/bin" "$system/evil" "$marks" "$home"
    cd "$project"
    printf 'int a;\n' >include/a.h
    printf '#include "a.h"\n#include "a.h"\n' >src/u.c
    cp src/u.c src/u.m
    cp src/u.c build/w.c
    cp src/u.c vendor/sub/u.c
    echo "hunter2-in-a-file" >"$home/secret.txt"
    # A script that leaves a mark if it runs; the tree's programs are copies of it.
    printf '#!/bin/sh\ntouch %s/ran-script\nexec /usr/bin/gcc "$@"\n' "$marks" >"$system/bin/c99-gcc"
    chmod +x "$system/bin/c99-gcc"
    for tool in build/gcc build/cc1obj; do cp "$system/bin/c99-gcc" "$tool"; done
    # A compiled program that answers as gcc, for it runs gcc, after it tried to write, to
    # connect, to read the environment and a file of HOME, and to leave a child behind.
    cat >"$BATS_TEST_TMPDIR/evil.c" <<'C'
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
static void wrote(const char *where) {
    char path[4096];
    snprintf(path, sizeof path, "%s/wrote", where);
    close(open(path, O_WRONLY | O_CREAT, 0644));
}
int main(int argc, char **argv) {
    (void)argc;
    wrote(MARKS); wrote(TREE); wrote(HOMEDIR);
    FILE *port = fopen(MARKS "/port", "r");
    int number = 0;
    if (port) { if (fscanf(port, "%d", &number) != 1) number = 0; fclose(port); }
    if (number) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons(number)};
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, (struct sockaddr *)&to, sizeof to) == 0) write(s, "sent\n", 5);
        close(s);
    }
    char seen[256] = "";
    FILE *secret = fopen(HOMEDIR "/secret.txt", "r");
    if (secret) { if (!fgets(seen, sizeof seen, secret)) seen[0] = 0; fclose(secret); }
    if (getenv("SECRET") || seen[0]) {
        fprintf(stderr, "error: %s %s\n", getenv("SECRET") ? getenv("SECRET") : "", seen);
        return 1;
    }
    if (fork() == 0) {
        setsid();
        execl("/bin/sleep", "sleep", "57.25", (char *)0);
        _exit(0);
    }
    argv[0] = "/usr/bin/gcc";
    execv("/usr/bin/gcc", argv);
    return 1;
}
C
    gcc -DMARKS="\"$marks\"" -DTREE="\"$project\"" -DHOMEDIR="\"$home\"" \
        -o "$system/evil/gcc" "$BATS_TEST_TMPDIR/evil.c"
    cp "$system/evil/gcc" tools/gcc
    cp "$system/evil/gcc" vendor/tools/gcc
    # A submodule: its .git is a file, the superproject's a directory.
    mkdir -p vendor/.git
    echo "gitdir: ../.git/modules/sub" >vendor/sub/.git
}

teardown() {
    if [[ -n ${listener:-} ]]; then kill "$listener" 2>/dev/null || true; fi
    pkill -f "sleep 57.25" 2>/dev/null || true
}

# Listens on a port of the loopback, named in $marks/port; a connection leaves a mark.
listen() {
    /usr/bin/python3 -c '
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
open(sys.argv[1] + "/port", "w").write(str(s.getsockname()[1]))
while True:
    s.accept(); open(sys.argv[1] + "/connected", "w").close()' "$marks" &
    listener=$!
    local tries=0
    until [[ -s $marks/port ]]; do ((tries++ < 500)) || return 1; sleep 0.01; done
}

# The tree's and HOME's files, with their sizes and checksums.
snapshot() {
    find "$project" "$home" -printf '%p %s %y\n' | sort
    find "$project" "$home" -type f -exec md5sum {} + | sort
}

@test "a hostile database or a compromised compiler: nothing but the compiler runs, nothing is written, sent, shown or left" {
    command -v bwrap >/dev/null || skip "bubblewrap is not installed (apt-get install bubblewrap)"
    listen
    # (the database's directory; the unit's directory, file and command; the PATH in front; the
    # options; the status; what the one line on standard error says (- for no line); whether
    # the case holds with --no-sandbox too)
    local cases=(
        "build|build|../src/u.c|c99-gcc -I../include -c ../src/u.c|$system/bin:||1|its compiler 'c99-gcc' ($system/bin/c99-gcc) is a script|yes"
        "build|build|../src/u.c|gcc -I../include -c ../src/u.c|:||0|-|yes"
        "build|build|../src/u.m|gcc -I../include -c ../src/u.m|.:||1|cc1obj|yes"
        "vendor/sub/build|vendor/sub|u.c|$project/vendor/tools/gcc -I$project/include -c u.c|||1|lies in the database's tree|yes"
        "build|build|w.c|/proc/self/cwd/tools/gcc -I../include -c w.c|||1|is a path through /proc|yes"
        "build|build|w.c|/proc/self/root$system/evil/gcc -I../include -c w.c|||1|is a path through /proc|yes"
        "build|build|../src/u.c|gcc -I../include -c ../src/u.c|$system/evil:||0|-|no"
        "build|build|../src/u.c|gcc -I../include -c ../src/u.c|$system/evil:|--patch $BATS_TEST_TMPDIR/fix.diff --rounds 1|0|-|no"
        "build|build|../src/u.c|gcc -I../include -c ../src/u.c||--compiler $system/evil/gcc|0|-|no"
    )
    local entry where directory file command front options expected said both mode before
    for entry in "${cases[@]}"; do
        IFS='|' read -r where directory file command front options expected said both <<<"$entry"
        for mode in "" --no-sandbox; do
            [[ -z $mode || $both == yes ]] || continue
            echo "command: $command; PATH in front: ${front:-none}; ${options:-no options} ${mode}"
            /usr/bin/python3 -c 'import json, sys; print(json.dumps([{"directory": sys.argv[1], "file": sys.argv[2], "command": sys.argv[3]}]))' \
                "$project/$directory" "$file" "$command" >"$where/compile_commands.json"
            rm -f "$marks"/{wrote,ran-script,connected} "$BATS_TEST_TMPDIR/fix.diff"
            before=$(snapshot)
            status=0
            # shellcheck disable=SC2086
            SECRET=hunter2-in-the-environment HOME="$home" PATH="$front$PATH" \
                timeout 30 "$script" $mode $options "$where" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
            err=$(cat "$BATS_TEST_TMPDIR/err")
            # --no-sandbox says so in a line of its own before it runs a compiler.
            if [[ -n $mode && $err == "check-guards: --no-sandbox: "* ]]; then
                err=$(tail -n +2 "$BATS_TEST_TMPDIR/err")
            fi
            # A compiler that cannot say where its headers are (gcc without cc1obj) is said in a
            # line of its own, before the unit's failure.
            err=$(grep -v "^check-guards: '[^']*' did not say where its own headers are (gcc: fatal error: cannot execute .cc1obj." <<<"$err" || true)
            [[ $status -eq $expected ]] || { echo "status $status: $err"; return 1; }
            if [[ $said == - ]]; then
                [[ -z $err ]] || { echo "stderr: $err"; return 1; }
            else
                [[ $err == *"$said"* && $err != *$'\n'* ]] || { echo "stderr: $err"; return 1; }
            fi
            ! grep -r -q hunter2 "$BATS_TEST_TMPDIR/out" "$BATS_TEST_TMPDIR/err" ||
                { echo "a secret was shown"; return 1; }
            [[ ! -e $marks/ran-script ]] || { echo "a script of the tree's ran"; return 1; }
            [[ ! -e $marks/wrote && ! -e $marks/connected ]] || { ls "$marks"; return 1; }
            [[ $(snapshot) == "$before" ]] || { diff <(echo "$before") <(snapshot); return 1; }
            if pgrep -a -f "sleep 57.25|$project"; then return 1; fi
        done
    done
}

@test "without bubblewrap, or where it cannot start, no compiler runs: one line says how to install it" {
    mkdir -p "$BATS_TEST_TMPDIR/path" "$BATS_TEST_TMPDIR/broken"
    ln -s "$(command -v gcc)" "$BATS_TEST_TMPDIR/path/gcc"
    printf '#!/bin/sh\necho "bwrap: No permissions to create a new namespace" >&2\nexit 1\n' \
        >"$BATS_TEST_TMPDIR/broken/bwrap"
    chmod +x "$BATS_TEST_TMPDIR/broken/bwrap"
    printf '[{"directory": "%s/build", "file": "../src/u.c", "command": "gcc -I../include -c ../src/u.c"}]\n' \
        "$project" >build/compile_commands.json
    # (the PATH, the options, the status, what standard error says)
    local cases=(
        "$BATS_TEST_TMPDIR/path||1|check-guards: bubblewrap (bwrap) is not installed: it keeps the database's compilers in a sandbox; install it (apt-get install bubblewrap), or give --no-sandbox to run them without"
        "$BATS_TEST_TMPDIR/broken:$BATS_TEST_TMPDIR/path||1|check-guards: bubblewrap ($BATS_TEST_TMPDIR/broken/bwrap) cannot start a sandbox here (bwrap: No permissions to create a new namespace): "
        "$BATS_TEST_TMPDIR/path|--no-sandbox|0|check-guards: --no-sandbox: the compilers run without the sandbox"
    )
    local entry path options expected said
    for entry in "${cases[@]}"; do
        IFS='|' read -r path options expected said <<<"$entry"
        echo "PATH=$path $options"
        status=0
        # shellcheck disable=SC2086
        PATH="$path" "$script" $options build >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
        err=$(cat "$BATS_TEST_TMPDIR/err")
        [[ $status -eq $expected && $err == "$said"* && $err != *$'\n'* ]] ||
            { echo "status $status: $err"; return 1; }
        if ((expected)); then [[ ! -s $BATS_TEST_TMPDIR/out ]]; else grep -q "^| include/a.h | 1 |" "$BATS_TEST_TMPDIR/out"; fi
    done
}
