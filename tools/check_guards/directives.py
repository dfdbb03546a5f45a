"""The directives of a file that explain a re-entry: its #include lines, its #undefs, and which
#include of a file names a given header."""

import functools
import os
import re

from guardgen_common import shapes

INCLUDE = re.compile(r'^\s*#\s*include(_next)?\s*([<"])([^>"]+)[>"]')
UNDEF = re.compile(r"^\s*#\s*undef\s+([A-Za-z_]\w*)")


def directives(path, readable=None):
    """The #include lines of the file at `path` as (line, target, text, whether the compiler
    looks beside the file first: a quoted #include), and its #undefs as {macro: (line, text)};
    the first of each macro. Its text is read only where it is a regular file inside `readable`
    (see files.read_text); else it has none."""
    return _directives(path, None if readable is None else tuple(readable))


@functools.lru_cache(maxsize=4096)
def _directives(path, readable):
    text = shapes.read(path, readable)
    includes, undefs = [], {}
    for number, row in enumerate((text or "").splitlines(), 1):
        if "#" not in row:
            continue
        match = INCLUDE.match(row)
        if match:
            includes.append((number, match[3], row.strip(), match[2] == '"' and not match[1]))
            continue
        match = UNDEF.match(row)
        if match and match[1] not in undefs:
            undefs[match[1]] = (number, row.strip())
    return includes, undefs


def include_line(parent, header, occurrence=0, readable=None, after=0):
    """(parent, line, text) of the #include in `parent` that names `header`, or None: of those
    whose target is the header's path's tail, else of the same file name, the first below line
    `after` (where the entry before it in the listing was included), else the
    `occurrence`-th (from 0), else the last. A quoted one whose target is another file beside
    `parent` names that file (the compiler looks there first), not the header."""
    name = os.path.basename(header)
    exact, named = [], []
    for number, target, text, quoted in directives(parent, readable)[0]:
        if os.path.basename(target) != name or quoted and _beside(parent, target) not in (
                None, header):
            continue
        named.append((parent, number, text))
        if header.endswith(os.sep + os.path.normpath(target).lstrip("." + os.sep)):
            exact.append((parent, number, text))
    found = exact or named
    if not found:
        return None
    below = next((f for f in found if f[1] > after), None) if after else None
    return below or found[min(occurrence, len(found) - 1)]


@functools.lru_cache(maxsize=4096)
def _beside(parent, target):
    """The real path of the file `target` names in the directory of `parent`, or None."""
    path = os.path.join(os.path.dirname(parent), target)
    return os.path.realpath(path) if os.path.isfile(path) else None


def lookup(line):
    """How the compiler looks up the header an #include line (path, line, text) names: from the
    file's directory by that name (a quoted #include), or by the name alone; None where the
    line is not known. Two lookups the same find the same file as one, its guard known."""
    match = line and INCLUDE.match(line[2])
    if not match:
        return None
    quoted = match[2] == '"' and not match[1]
    return (os.path.dirname(line[0]) if quoted else None, match[1], match[3])


def route(frame, readable=None):
    """The #include lines from the unit down to the entry `frame` of the listing's tree (a
    causes.Frame), as (path, line, text); a line not found in its file's text (a computed
    #include) as (path, None, "")."""
    chain = []
    while frame.up is not None:
        chain.append(frame.included_at(readable) or (frame.up.path, None, ""))
        frame = frame.up
    return chain[::-1]


def undef_of(macro, paths, readable=None):
    """(path, line, text) of the first #undef of `macro` in the files at `paths`, or None."""
    for path in paths:
        undef = directives(path, readable)[1].get(macro)
        if undef:
            return (path, *undef)
    return None


def is_undef(include):
    """Whether a line named in a record (a dict of path, line, text) is an #undef."""
    return include["text"].lstrip("# \t").startswith("undef")
