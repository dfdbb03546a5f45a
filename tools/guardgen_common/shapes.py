"""The shape of a header's include guard, read as a preprocessor reads it (its logical lines:
see source_lines). Each shape comes with the line that decides it:

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

import re
from dataclasses import dataclass

from .source_lines import logical_lines, physical_lines

OPENERS = ("if", "ifdef", "ifndef")
BRANCHES = ("else", "elif", "elifdef", "elifndef")
IFNDEF = re.compile(r"([A-Za-z_]\w*)$")
IF_NOT_DEFINED = re.compile(r"!\s*defined\s*(?:\(\s*([A-Za-z_]\w*)\s*\)|\s([A-Za-z_]\w*))$")
IDENTIFIER = re.compile(r"[A-Za-z_]\w*")
PRAGMA_ONCE = re.compile(r'_Pragma\s*\(\s*"\s*once\s*"\s*\)\s*;?$')


@dataclass
class Reading:
    """A header's shape as it is read (catalogue.Shape says what each shape means): its name,
    the line that decides it and the guard's macro."""

    reason: str
    line: int = None  # the line that decides it, from 1; None for an empty file
    text: str = ""  # that line as written
    macro: str = None  # the guard's macro, where there is one


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


def without_pragma_once(source):
    """`source` without its #pragma once lines (and _Pragma("once")), each recognised as shape
    recognises it, wherever it stands."""
    rows = physical_lines(source, keepends=True)
    for line in logical_lines(source):
        if is_pragma_once(line):
            rows[line.number - 1] = "\n"
    return "".join(rows)
