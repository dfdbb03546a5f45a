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

from . import files
from .failure import Failure
from .names import printable

LISTED = re.compile(r"^\.+ (.+)$")
# gcc ends its listing with the headers that have no guard, one raw path a line.
GUARDS_SECTION = "Multiple include guards may be useful for:"


class Unclear(Failure):
    """A listing that cannot be read one way only: the unit's answer is unclear, never a guess."""


@functools.lru_cache(maxsize=65536)
def resolved(directory, path):
    """`path`, relative to `directory` where it is not absolute, with its links resolved: asked
    again and again for the same headers, so kept."""
    return os.path.realpath(os.path.join(directory, path))


@functools.lru_cache(maxsize=65536)
def _taken(directory, path, roots):
    """(real path, None) of a header a listing names as `path`, or (None, why it is not taken):
    it must exist as written, and be a regular file inside `roots` (where given)."""
    if LISTED.match(path):
        return None, f"the listing's line for '{printable(path)}' reads two ways (a name that " \
                     "begins with dots and a space)"
    joined = os.path.join(directory, path)
    if not os.path.lexists(joined):
        return None, f"the listing names '{printable(path)}', which does not exist as written " \
                     "(a name with a line break, perhaps)"
    real = files.regular(joined, roots)
    if real is None:
        return None, f"the listing names '{printable(path)}', which is not a regular file" + \
            (" inside the tree or the compiler's own directories" if roots is not None else "")
    return real, None


def taken(directory, path, roots=None):
    """The real path of the header a listing names as `path` (relative to `directory`), or
    Unclear: only a regular file that exists as written (inside `roots`, where given) is
    taken."""
    real, why = _taken(directory, path, None if roots is None else tuple(roots))
    if real is None:
        raise Unclear(why)
    return real


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


def walk(lines, directory, roots=None):
    """(depth, path) of each header entered, in order, from the lines (bytes) of a listing read
    as they come: the path absolute with its links resolved. Only lines that go on the listing's
    tree count: the first header one dot deep, each next at most one deeper than the one before;
    a line of a message that only looks like an entry is passed over. A path is taken only as
    `taken` takes it, else the listing is Unclear; so is a line of gcc's closing list of headers
    without a guard that also reads as an entry."""
    depth, closing = 0, False
    roots = None if roots is None else tuple(roots)
    for raw in lines:
        line = os.fsdecode(raw).rstrip("\r\n")
        if "\0" in line:
            raise Unclear("the listing holds a NUL byte")
        if line == GUARDS_SECTION:
            closing = True
            continue
        match = LISTED.match(line)
        if not match:
            continue
        if closing:
            raise Unclear(f"'{printable(line)}' in gcc's list of headers without a guard reads "
                          "as a header entered too")
        dots = len(line) - len(line.lstrip("."))
        if dots > depth + 1:
            continue
        depth = dots
        real, why = _taken(directory, match[1], roots)
        if real is None:
            raise Unclear(why)
        yield dots, real


# A line of cl's /showIncludes: its note (two words and a colon: "Note: including file:" in
# English, "Hinweis: Einlesen der Datei:" in German), one space for each level, the path.
SHOWN_LINE = re.compile(r"^([^:]*:[^:]*):( +)(\S.*?)\s*$")
ENGLISH_NOTE = "Note: including file"


def walk_shown(lines, directory, roots=None):
    """The same as walk, from the lines of cl's or clang-cl's /showIncludes. The note is told
    apart from the compiler's other messages by its text: the English one, or, in a compiler
    that speaks another language, the note of the first such line that names a file there is."""
    note, depth = ENGLISH_NOTE, 0
    for raw in lines:
        line = os.fsdecode(raw).rstrip("\r\n")
        if "\0" in line:
            raise Unclear("the listing holds a NUL byte")
        match = SHOWN_LINE.match(line)
        if not match:
            continue
        if match[1] != note:
            if note != ENGLISH_NOTE or not files.regular(os.path.join(directory, match[3]), roots):
                continue
            note = match[1]
        level = len(match[2])
        if level > depth + 1:
            continue
        depth = level
        yield level, taken(directory, match[3], roots)


def walk_of(style):
    """How to read the listing of a compiler that lists as `style` ("-H" or "/showIncludes", as
    programs.listing_of names it)."""
    return walk_shown if style == "/showIncludes" else walk


def entered_from(lines, directory):
    """How many times each header was entered, from the lines of a listing (see walk)."""
    return Counter(path for _, path in walk(lines, directory))


def _lines(listing):
    return (listing if isinstance(listing, bytes) else os.fsencode(listing)).splitlines()


def entered(listing, directory):
    """The same from the standard error `listing` (bytes, or text) of a compiler that ran in
    `directory`."""
    return entered_from(_lines(listing), directory)


def messages(listing):
    """The lines of `listing` that are the compiler's own messages, not the headers it entered."""
    return [line.strip() for line in listing.splitlines()
            if line.strip() and not LISTED.match(line)]


def first_error(listing):
    """The message that says best why the compiler failed: the first that says "error:" as a
    compiler's diagnostics do, else the first (a line that merely has the word in it, such as
    gcc's "Configured with: ... --disable-werror", says nothing of the failure)."""
    said = messages(listing)
    return next((line for line in said if ERROR.search(line)), said[0] if said else "")


ERROR = re.compile(r"\berror\b\s*(?:C\d+\s*)?:", re.IGNORECASE)


# A successful open in strace's record: [pid] open("path", ...) = fd, or openat(dirfd, "path", ...).
OPENED = re.compile(r'^(?:\d+\s+)?open(?:at2?)?\((?:[^,]+, )?"((?:[^"\\]|\\.)*)", [^)]*\)\s+=\s+(\d+)')


def opened(trace, directory):
    """How many times each file was opened, from the record of `strace -f -e
    trace=open,openat,openat2` of a program that ran in `directory`: for a preprocessor with no
    listing of its own, each open of a header is an entry."""
    return counted(trace, OPENED, directory)


def shown_includes(listing, directory):
    """The same from cl's (and clang-cl's) /showIncludes (bytes, or text; see walk_shown)."""
    return Counter(path for _, path in walk_shown(_lines(listing), directory))
