#!/usr/bin/python3
"""A small C preprocessor for the tests, written as some real ones are: it opens each file once
and keeps it, split into lines and tokens, expanding an include from that copy however often it
comes, so the files it opens say nothing of the headers it enters. It honours #pragma once, and
passes over a branch not taken without reading it, so a guarded body costs nothing on a later
include; with --rescan it reads every line of the file again on each include, and a branch not
taken as fully as one taken, writing it out as a comment (which declares nothing). It writes its
output as spaced tokens, seven to a line (so a declaration may span two), with a #line marker
where it first enters each file. Enough of C for the comparison's files: #include "..." and
<...>, #define and #undef of names, #ifdef, #ifndef, #if with 0, 1 or [!]defined, #else,
#endif; no macro is expanded.

    cached_preprocessor.py [--rescan] [-I DIR]... [-D NAME[=VALUE]]... [-o FILE] FILE"""

import os
import re
import sys

TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'|[A-Za-z_]\w*|\d\w*|\S')
COMMENT = re.compile(r"/\*.*?\*/|//[^\n]*", re.DOTALL)
DIRECTIVE = re.compile(r"^\s*#\s*(\w*)\s*(.*?)\s*$")
DEFINED = re.compile(r"^(!?)\s*defined\s*\(?\s*(\w+)\s*\)?$")
PER_LINE = 7

files = {}  # path -> its lines and the ends of its branches, read once
once = set()
tokens = []  # the tokens not yet written
marked = set()
rescan = False


def lines_of(path):
    """The file's lines, each (directive, the rest) or (None, (its text, its tokens)); and for
    each conditional and #else, the line of the #else or #endif that ends its branch."""
    if path not in files:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = COMMENT.sub(" ", f.read().replace("\\\n", ""))
        lines, ends, opened = [], {}, []
        for number, line in enumerate(text.splitlines()):
            directive = DIRECTIVE.match(line)
            if not directive:
                lines.append((None, (line, TOKEN.findall(line))))
                continue
            name = directive[1]
            lines.append((name, directive[2]))
            if name in ("else", "endif") and opened:
                ends[opened.pop()] = number
            if name in ("if", "ifdef", "ifndef", "else"):
                opened.append(number)
        files[path] = lines, ends
    return files[path]


def find(name, quoted, here, directories):
    for directory in ([here] if quoted else []) + directories:
        path = os.path.realpath(os.path.join(directory, name))
        if os.path.isfile(path):
            return path
    raise SystemExit(f"cached_preprocessor: {name}: no such file")


def condition(text, macros):
    match = DEFINED.match(text)
    if match:
        return (match[2] in macros) != bool(match[1])
    return text.strip() not in ("0", "")


def expand(path, macros, directories, out):
    if path in once:
        return
    if path not in marked:
        marked.add(path)
        write(out)
        out.append(f'#line 1 "{path}"')
    here = os.path.dirname(path)
    lines, ends = lines_of(path)
    active = [True]  # whether each open conditional's current branch is taken
    number = 0
    while number < len(lines):
        name, rest = lines[number]
        number += 1
        if name is None:
            found = TOKEN.findall(rest[0]) if rescan else rest[1]
            if all(active):
                tokens.extend(found)
            elif rescan:
                tokens.extend(["/*", *found, "*/"])
            continue
        if name in ("if", "ifdef", "ifndef"):
            taken = {"if": lambda: condition(rest, macros), "ifdef": lambda: rest in macros,
                     "ifndef": lambda: rest not in macros}[name]()
            active.append(taken)
        elif name == "else":
            active[-1] = not active[-1]
        elif name == "endif":
            active.pop()
        elif not all(active):
            continue
        elif name == "define":
            macros.add(rest.split()[0].split("(")[0])
        elif name == "undef":
            macros.discard(rest)
        elif name == "pragma" and rest == "once":
            once.add(path)
        elif name == "include":
            expand(find(rest[1:-1], rest[0] == '"', here, directories), macros, directories, out)
        if not rescan and not active[-1]:
            number = ends[number - 1]  # on to the #else or #endif that ends the branch


def write(out):
    for start in range(0, len(tokens), PER_LINE):
        out.append(" ".join(tokens[start:start + PER_LINE]))
    tokens.clear()


def main(argv):
    if argv[:1] == ["--version"]:
        print("cached_preprocessor 1.0")
        return 0
    global rescan
    directories, macros, output, source = [], set(), None, None
    words = iter(argv)
    for word in words:
        if word == "--rescan":
            rescan = True
            continue
        if word in ("-I", "-D", "-o"):
            value = next(words)
        elif word[:2] in ("-I", "-D", "-o"):
            word, value = word[:2], word[2:]
        else:
            source = word
            continue
        if word == "-I":
            directories.append(value)
        elif word == "-D":
            macros.add(value.split("=")[0])
        else:
            output = value
    out = []
    expand(os.path.realpath(source), macros, directories, out)
    write(out)
    text = "\n".join(out) + "\n"
    if output:
        with open(output, "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
