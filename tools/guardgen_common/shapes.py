"""The shape of a header's include guard, read as a preprocessor reads it: lines joined where
they end in a backslash, comments taken out (a comment that spans lines keeps the directive it
is in going), blank lines passed over. Each shape comes with the line that decides it:

    guard              a whole-file #ifndef X, #if !defined(X) or #if !defined X, with #define X
    pragma_once        #pragma once (or _Pragma("once")) where it is read on the first include
    no_guard           no guard at all (the line: the first of the file)
    before_guard       a guard, but a line of code or a directive before it (that line)
    after_guard        a guard, but a line after its #endif (the first such line)
    else_branch        a guard with an #else or #elif of its own (that line)
    not_a_guard_form   the whole file in some other condition: #ifdef X, #if X != 1, #if !X
    guard_not_defined  the #ifndef X is there, its #define X is not
    conditional_guard  a guard whose #define X stands in a condition of its own (the __need_
                       pattern of stddef.h): read again while that condition kept X undefined
    sections           a guard with a section outside it under a macro that a unit may set
                       between two includes (#if defined(X), #ifdef X, an #undef or #define of
                       a name tested): read again on purpose (that line)
    settings           only where the caller names the settings: settings' defaults, #ifndef X /
                       #define X value / #endif, and no guard (the first such #ifndef)

Only a whole file inside #ifndef X ... #endif, with nothing outside, lets gcc and clang skip it
when it is included again. Where the caller names the settings a build may give from outside
(knobs: a unit's -D, a name tested for its value in an #if), and asks that a macro #define'd with
a value count as one too, such a macro is never taken for a guard: `#ifndef PLATFORM_X` /
`#define PLATFORM_X 1` / `#endif` is a default, and the header around it has no guard."""

import contextlib
import functools
import re
from dataclasses import dataclass

from . import files

# What is worked out from the texts (see per_run), forgotten with them.
_worked_out = []


def per_run(maxsize):
    """A function of the texts of a run cached, `maxsize` answers at the most, as long as the run
    that reads each file once (see read_once) keeps its texts: a file's lines, directives and
    shape worked out once."""
    def cached(function):
        function = functools.lru_cache(maxsize=maxsize)(function)
        _worked_out.append(function)
        return function
    return cached

# Python's splitlines also ends a line at these, which no compiler does: a form feed or a
# vertical tab is a blank inside a line. A compiler ends one at LF, CR LF or CR.
NOT_LINE_ENDS = re.compile("[\v\f\x1c-\x1e\x85\u2028\u2029]")
PHYSICAL_LINE = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+")


def physical_lines(text, keepends=False):
    """The lines of `text` as a compiler reads and numbers them: each ends at LF, CR LF or CR."""
    if not NOT_LINE_ENDS.search(text):
        return text.splitlines(keepends)
    found = PHYSICAL_LINE.findall(text)
    return found if keepends else [row.rstrip("\r\n") for row in found]


OPENERS = ("if", "ifdef", "ifndef")
BRANCHES = ("else", "elif", "elifdef", "elifndef")
DIRECTIVE = re.compile(r"#\s*([A-Za-z_]\w*)?\s*(.*)$", re.DOTALL)
IFNDEF = re.compile(r"([A-Za-z_]\w*)$")
IF_NOT_DEFINED = re.compile(r"!\s*defined\s*(?:\(\s*([A-Za-z_]\w*)\s*\)|\s([A-Za-z_]\w*))$")
IDENTIFIER = re.compile(r"[A-Za-z_]\w*")
PRAGMA_ONCE = re.compile(r'_Pragma\s*\(\s*"\s*once\s*"\s*\)\s*;?$')


class Line:
    """A logical line: its text with comments taken out and continuations joined, the number of
    the physical line it starts on, and that physical line as written (stripped when asked)."""

    __slots__ = ("text", "number", "row", "_directive")

    def __init__(self, text, number, row):
        self.text, self.number, self.row, self._directive = text, number, row, False

    @property
    def written(self):
        return self.row.strip()

    @property
    def directive(self):
        """(name, rest) of a directive, or None for a line of code; found once."""
        if self._directive is False:
            match = DIRECTIVE.match(self.text)
            self._directive = (match[1] or "", match[2].strip()) if match else None
        return self._directive


@dataclass
class Reading:
    """A header's shape as it is read (catalogue.Shape says what each shape means): its name,
    the line that decides it and the guard's macro."""

    reason: str
    line: int = None  # the line that decides it, from 1; None for an empty file
    text: str = ""  # that line as written
    macro: str = None  # the guard's macro, where there is one


def spliced(rows):
    """(number of the first physical line, text) of each line once those that end in a backslash
    are joined to the next."""
    joined, pieces, start = [], [], None
    for number, row in enumerate(rows, 1):
        if row.endswith("\\"):
            start = start or number
            pieces.append(row[:-1])
            continue
        if start is None:
            joined.append((number, row))
            continue
        pieces.append(row)
        joined.append((start, "".join(pieces)))
        pieces, start = [], None
    if start is not None:
        joined.append((start, "".join(pieces)))
    return joined


# What ends a run of plain text in a line: a comment's start, or a quote's.
SPECIAL = re.compile(r"/[*/]|[\"']")
# The rest of a quoted run, to its closing quote or the line's end: nothing after a repeat can
# fail, so each is matched in one pass.
QUOTED = {q: re.compile(rf"[^{q}\\]*(?:\\[\s\S]?[^{q}\\]*)*{q}?") for q in "\"'"}


def _uncommented(row, at, text):
    """Appends to `text` what `row` holds from `at` on, its comments taken out (a /* ... */ as
    one blank); the place in `row` where a comment that goes on past it starts, else None."""
    while True:
        special = SPECIAL.search(row, at)
        if special is None:
            text.append(row[at:])
            return None
        text.append(row[at:special.start()])
        found = special[0]
        if found == "//":
            return None
        if found == "/*":
            end = row.find("*/", special.end())
            if end < 0:
                return special.end()
            text.append(" ")
            at = end + 2
            continue
        quoted = QUOTED[found].match(row, special.end())
        text.append(row[special.start():quoted.end()])
        at = quoted.end()


def _plain(text):
    """Whether a line's text is code that says nothing of the shape: no directive, no _Pragma."""
    return not text.startswith("#") and "_Pragma" not in text


def _add(lines, text, number, row):
    """Adds the line, unless it is plain code after plain code: of a run of such lines only the
    first tells the shape anything (that code stands there)."""
    if not (lines and _plain(text) and _plain(lines[-1].text)):
        lines.append(Line(text, number, row))


def logical_lines(source):
    """The lines of `source` that are not blank, as a preprocessor reads them, but of each run
    of lines of plain code (no directive, no _Pragma) the first alone."""
    return _logical_lines(source)


# The shape, the settings' shape and the tests of values of one text read its lines once.
@per_run(maxsize=1024)
def _logical_lines(source):
    rows = physical_lines(source)
    lines, text, start, in_comment = [], [], None, False
    for number, row in spliced(rows):
        if not in_comment and not text and "/" not in row and '"' not in row and "'" not in row:
            stripped = row.strip()  # no comment and no quote: the line as it is
            if stripped:
                _add(lines, stripped, number, rows[number - 1])
            continue
        start = start or number
        at = 0
        if in_comment:
            end = row.find("*/")
            if end < 0:
                continue  # the comment goes on, and the line it is in with it
            text.append(" ")
            at = end + 2
        in_comment = _uncommented(row, at, text) is not None
        if in_comment:
            continue
        joined = "".join(text).strip()
        if joined:
            _add(lines, joined, start, rows[start - 1])
        text, start = [], None
    return tuple(lines)


def guard_macro(line):
    """X where `line` is #ifndef X, #if !defined(X) or #if !defined X, else None."""
    directive = line.directive
    if directive is None:
        return None
    name, rest = directive
    if name == "ifndef":
        match = IFNDEF.match(rest)
        return match[1] if match else None
    if name == "if":
        match = IF_NOT_DEFINED.match(rest)
        return (match[1] or match[2]) if match else None
    return None


def is_pragma_once(line):
    directive = line.directive
    if directive is None:
        return bool(PRAGMA_ONCE.match(line.text))
    return directive[0] == "pragma" and directive[1] == "once"


def structure(lines):
    """For each line, how deep in conditionals it stands (an opener and its #endif at the depth
    outside them), and for the first line, if it opens one, the index of its #endif and of its
    first #else or #elif."""
    depths, depth, end, branch = [], 0, None, None
    for index, line in enumerate(lines):
        name = (line.directive or ("",))[0]
        if name == "endif":
            depth -= 1
        depths.append(depth)
        if name in OPENERS:
            depth += 1
        elif name == "endif" and depth == 0 and end is None and index > 0:
            end = index
        elif name in BRANCHES and depth == 1 and end is None and branch is None:
            branch = index
    return depths, end, branch


DEFINED = re.compile(r"([A-Za-z_]\w*)(\(?)\s*(.*)$", re.DOTALL)


def defined(lines):
    """The names that the lines #define, found once for all the guards that ask, each with
    whether its first #define gives it a value."""
    names = {}
    for line in lines:
        directive = line.directive
        if directive and directive[0] == "define":
            match = DEFINED.match(directive[1])
            if match and match[1] not in names:
                names[match[1]] = bool(match[2] or match[3].strip())
    return names


# Names that no unit sets between two includes: the compiler's own, and those of the language.
RESERVED = re.compile(r"__|_[A-Z]|defined$|__has_|true$|false$")
TESTS = ("if", "elif", "ifdef", "ifndef", "elifdef", "elifndef")


def _tested(line):
    """The names a conditional directive tests, defined(...) and values alike."""
    directive = line.directive
    if not directive or directive[0] not in TESTS:
        return set()
    return set(IDENTIFIER.findall(directive[1]))


def _end_of(lines, depths, index):
    """The index of the #endif of the conditional opened at `index`."""
    return next((k for k in range(index + 1, len(lines)) if depths[k] == depths[index]
                 and (lines[k].directive or ("",))[0] == "endif"), len(lines) - 1)


def _section(lines, opener, end):
    """The first line outside the guard (opened at `opener`, closed at `end`) that makes a
    section of its own read under a macro a unit may set before it includes the header again:
    a test of such a macro, or an #undef or #define of a name the header tests. A default,
    #ifndef X / #define X, is none: read again, it does nothing. None where there is none."""
    tested = set().union(*(_tested(line) for line in lines))
    outside = [*lines[:opener], *lines[end + 1:]]
    skip = set()
    for index, line in enumerate(outside):
        default = guard_macro(line)
        after = outside[index + 1].directive if index + 1 < len(outside) else None
        if default and after and after[0] == "define" and IDENTIFIER.match(after[1]) \
                and IDENTIFIER.match(after[1])[0] == default:
            skip.update((index, index + 1))
    for index, line in enumerate(outside):
        directive = line.directive
        names = set() if index in skip else _tested(line)
        if directive and directive[0] in ("undef", "define") and index not in skip:
            match = IDENTIFIER.match(directive[1])
            names = {match[0]} & tested if match else set()
        if any(not RESERVED.match(name) for name in names):
            return line
    return None


def _outside(shape, lines, opener, end):
    """`shape` (a guard's, with lines outside it), or the sections shape where one of those lines
    opens a section read again on purpose."""
    line = _section(lines, opener, end)
    return Reading("sections", line.number, line.written, shape.macro) if line else shape


def guard_shape(lines, knobs=frozenset(), valued=False):
    """The shape of the guard alone, #pragma once aside. A macro in `knobs` (one the build may set
    from outside), and with `valued` one #define'd with a value, is never taken for a guard: a
    header of such defaults alone is of the settings shape."""
    if not lines:
        return Reading("no_guard")
    first = lines[0]
    depths, end, branch = structure(lines)
    macro = guard_macro(first)
    opens = (first.directive or ("",))[0] in OPENERS
    wraps = end == len(lines) - 1
    every = defined(lines)
    names = {name: value for name, value in every.items()
             if name not in knobs and not (valued and value)}
    setting = None  # the first macro not taken for a guard as it is a setting, and its line
    if macro in knobs or (valued and every.get(macro)):
        # A setting the build may give, with its default: no guard of the file.
        setting, macro, opens = (macro, first), None, False
    if opens and end is not None and macro is not None:
        if macro in names:
            define = next(k for k, line in enumerate(lines) if (line.directive or ("",))[0]
                          == "define" and DEFINED.match(line.directive[1])[1] == macro)
            if depths[define] > 1:
                line = lines[define]
                return Reading("conditional_guard", line.number, line.written, macro)
            if branch is not None:
                line = lines[branch]
                return Reading("else_branch", line.number, line.written, macro)
            if not wraps:
                line = lines[end + 1]
                return _outside(Reading("after_guard", line.number, line.written, macro), lines,
                                0, end)
            return Reading("guard", first.number, first.written, macro)
        if wraps:
            return Reading("guard_not_defined", first.number, first.written, macro)
        # A test of a macro that is never defined, not around the file: no guard of it.
    elif opens and wraps:
        return Reading("not_a_guard_form", first.number, first.written)
    # A guard further down, at the top level, with its #define: what stands before it is in the way.
    for index, (line, depth) in enumerate(zip(lines[1:], depths[1:]), 1):
        later = guard_macro(line) if depth == 0 else None
        if later and later in names:
            return _outside(Reading("before_guard", first.number, first.written, later), lines,
                            index, _end_of(lines, depths, index))
        if later and later in every and setting is None:
            setting = (later, line)
    if setting:
        return Reading("settings", setting[1].number, setting[1].written, setting[0])
    return Reading("no_guard", first.number, first.written)


def shape(source, knobs=frozenset(), valued=False):
    """The Reading of the header whose text is `source` (a byte order mark in front is nothing);
    `knobs` and `valued` as guard_shape takes them."""
    lines = logical_lines(source.removeprefix("\ufeff"))
    found = guard_shape(lines, knobs, valued)
    if found.reason == "guard":
        return found
    # #pragma once at the top, or just inside the condition that wraps the file.
    depths, end, _ = structure(lines)
    wrapped = end == len(lines) - 1
    for line, depth in zip(lines, depths):
        if is_pragma_once(line) and (depth == 0 or (depth == 1 and wrapped)):
            return Reading("pragma_once", line.number, line.written)
    return found


# defined(X) or defined X: each blank run is matched by one repeat alone (\s* then a name or
# a parenthesis, never \s* then \s+), so that no run is tried two ways.
DEFINED_TEST = re.compile(r"\bdefined\s*(?:\(\s*[A-Za-z_]\w*\s*\)|(?<=\s)[A-Za-z_]\w*)")


def value_tests(source):
    """The names that `source` tests for a value in an #if or #elif (outside defined(...)): the
    settings a build may give from outside, which no guard is taken for."""
    names = set()
    for line in logical_lines(source):
        directive = line.directive
        if directive and directive[0] in ("if", "elif"):
            names.update(IDENTIFIER.findall(DEFINED_TEST.sub(" ", directive[1])))
    return names - {"defined", "__has_include", "__has_include_next", "__has_attribute",
                    "__has_builtin", "__has_feature", "__has_cpp_attribute", "true", "false"}


# A header's text read for its shape, at the most: as much as any file of a build is read.
TEXT_LIMIT = files.LIMIT


# The texts read during a run that reads each file once (see read_once), by what was asked.
_texts = None


def read(path, roots=None, limit=TEXT_LIMIT):
    """The text of the header at `path` (at most `limit` bytes), or None where it is no regular
    file (inside `roots`, where given) that can be read: see files.read_text. Within read_once,
    read once, and the same text given again."""
    if _texts is None:
        return files.read_text(path, roots, limit)
    key = (path, None if roots is None else tuple(roots), limit)
    if key not in _texts:
        _texts[key] = files.read_text(path, roots, limit)
    return _texts[key]


@contextlib.contextmanager
def read_once():
    """A run in which each file is read once: the audit, the settings and the proof see the same
    text, and no file is read again."""
    global _texts
    _texts = {}
    for cache in _worked_out:
        cache.cache_clear()
    try:
        yield
    finally:
        _texts = None
        for cache in _worked_out:
            cache.cache_clear()


def without_pragma_once(source):
    """`source` without its #pragma once lines (and _Pragma("once")), each recognised as shape
    recognises it, wherever it stands."""
    rows = physical_lines(source, keepends=True)
    for line in logical_lines(source):
        if is_pragma_once(line):
            rows[line.number - 1] = "\n"
    return "".join(rows)
