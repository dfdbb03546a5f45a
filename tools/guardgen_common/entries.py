"""The headers a compiler entered while it preprocessed a file, from its own listing: gcc and
clang with -H write one line to standard error for every header they enter, each time they
enter it, as dots (how deep it is included) and the path as they opened it:

    . include/config.h
    .. /usr/include/stdio.h

A header listed twice was read twice; one that a guard let the compiler skip is not listed
again. cl's /showIncludes lists them in its own way; for a preprocessor with no listing, the
files it opened (from strace) tell the same."""

import functools
import os
import re
from collections import Counter

LISTED = re.compile(r"^\.+ (.+)$")

from .programs import listing_of  # noqa: F401  (the listing is told by the program's name)


@functools.lru_cache(maxsize=65536)
def resolved(directory, path):
    """`path`, relative to `directory` where it is not absolute, with its links resolved: asked
    again and again for the same headers, so kept."""
    return os.path.realpath(os.path.join(directory, path))


def counted(text, pattern, directory):
    """How many lines of `text` name each file, by the first group of `pattern`: a Counter of
    absolute paths with links resolved, relative ones taken from `directory`."""
    named = Counter()
    for line in text.splitlines():
        match = pattern.match(line)
        if match:
            named[match[1]] += 1
    counts = Counter()
    for path, count in named.items():
        counts[resolved(directory, path)] += count
    return counts


def walk(lines, directory):
    """(depth, path) of each header entered, in order, from the lines (bytes) of a listing read
    as they come: the path absolute with its links resolved. Only lines that go on the listing's
    tree count: the first header one dot deep, each next at most one deeper than the one before;
    a line of a message that only looks like an entry is passed over."""
    depth = 0
    for raw in lines:
        line = raw.decode(errors="replace").rstrip("\r\n")
        match = LISTED.match(line)
        if not match or "\0" in line:
            continue
        dots = len(line) - len(line.lstrip("."))
        if dots > depth + 1:
            continue
        depth = dots
        yield dots, resolved(directory, match[1])


# A line of cl's /showIncludes: its note (two words and a colon: "Note: including file:" in
# English, "Hinweis: Einlesen der Datei:" in German), one space for each level, the path.
SHOWN_LINE = re.compile(r"^([^:]*:[^:]*):( +)(\S.*?)\s*$")
ENGLISH_NOTE = "Note: including file"


def walk_shown(lines, directory):
    """The same as walk, from the lines of cl's or clang-cl's /showIncludes. The note is told
    apart from the compiler's other messages by its text: the English one, or, in a compiler
    that speaks another language, the note of the first such line that names a file there is."""
    note, depth = ENGLISH_NOTE, 0
    for raw in lines:
        line = raw.decode(errors="replace").rstrip("\r\n")
        match = SHOWN_LINE.match(line)
        if not match or "\0" in line:
            continue
        if match[1] != note:
            if note != ENGLISH_NOTE or not os.path.isfile(os.path.join(directory, match[3])):
                continue
            note = match[1]
        level = len(match[2])
        if level > depth + 1:
            continue
        depth = level
        yield level, resolved(directory, match[3])


def walker(argv):
    """How to read the listing of a compiler run as `argv`."""
    return walk_shown if "/showIncludes" in argv else walk


def entered_from(lines, directory):
    """How many times each header was entered, from the lines of a listing (see walk)."""
    return Counter(path for _, path in walk(lines, directory))


def entered(listing, directory):
    """The same from the standard error `listing` (text) of a compiler that ran in
    `directory`."""
    return entered_from(listing.encode().splitlines(), directory)


def messages(listing):
    """The lines of `listing` that are the compiler's own messages, not the headers it entered."""
    return [line.strip() for line in listing.splitlines()
            if line.strip() and not LISTED.match(line)]


def first_error(listing):
    """The message that says best why the compiler failed: the first that speaks of an error,
    else the first."""
    said = messages(listing)
    return next((line for line in said if "error" in line.lower()), said[0] if said else "")


# A successful open in strace's record: [pid] open("path", ...) = fd, or openat(dirfd, "path", ...).
OPENED = re.compile(r'^(?:\d+\s+)?open(?:at2?)?\((?:[^,]+, )?"((?:[^"\\]|\\.)*)", [^)]*\)\s+=\s+(\d+)')


def opened(trace, directory):
    """How many times each file was opened, from the record of `strace -f -e
    trace=open,openat,openat2` of a program that ran in `directory`: for a preprocessor with no
    listing of its own, each open of a header is an entry."""
    return counted(trace, OPENED, directory)


def shown_includes(listing, directory):
    """The same from cl's (and clang-cl's) /showIncludes (text; see walk_shown)."""
    return Counter(path for _, path in walk_shown(listing.encode().splitlines(), directory))
