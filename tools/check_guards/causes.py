"""Why a unit entered a header again, from the listing's tree (which header was open when it was
entered again, and which were entered in between) and from the text of the files involved:

    cycle            entered again while it was still open: a header it includes includes it back
    shape            its shape lets it be read again (no guard, a line before the guard, ...)
    macro_undefined  its guard's macro was #undef'd in a file entered in between
    other_name       entered again after it was closed, its guard sound, by another route than
                     before (gcc keeps what it knows of a guard per route, clang does not)
    unknown          none of these

Each comes with the lines behind it: the #include that entered it again (for other_name, the
first route's too), and the #undef."""

import functools
import os
import re

from guardgen_common import shapes

INCLUDE = re.compile(r'^\s*#\s*include(?:_next)?\s*([<"])([^>"]+)[>"]')
UNDEF = re.compile(r"^\s*#\s*undef\s+([A-Za-z_]\w*)")
SOUND = ("guard", "pragma_once")
CAUSES = ("cycle", "shape", "macro_undefined", "other_name", "unknown")
# Re-read by the compiler in full (or the part outside the guard), rather than opened and
# scanned to the guard's #endif.
PROCESSED = ("shape", "macro_undefined")


def directives(path, readable=None):
    """The #include lines of the file at `path` as (line, target, text), and its #undefs as
    {macro: (line, text)}; the first of each macro. Its text is read only where it is a regular
    file inside `readable` (see files.read_text); else it has none."""
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
            includes.append((number, match[2], row.strip()))
            continue
        match = UNDEF.match(row)
        if match and match[1] not in undefs:
            undefs[match[1]] = (number, row.strip())
    return includes, undefs


def include_line(parent, header, occurrence=0, readable=None):
    """(parent, line, text) of the #include in `parent` that names `header`, or None: the
    `occurrence`-th (from 0) whose target is the header's path's tail, else of the same file
    name, else the last of them."""
    name = os.path.basename(header)
    exact, named = [], []
    for number, target, text in directives(parent, readable)[0]:
        if os.path.basename(target) != name:
            continue
        named.append((parent, number, text))
        if header.endswith(os.sep + os.path.normpath(target).lstrip("." + os.sep)):
            exact.append((parent, number, text))
    found = exact or named
    return found[min(occurrence, len(found) - 1)] if found else None


def explain(source, walked, shape_of, readable=None):
    """(header, cause, lines) for each re-entry in one unit whose file is `source`: `walked` is
    its listing as (depth, path), `shape_of(path)` gives a header's (reason, macro); the text of
    the files is read only inside `readable`."""
    stack, first, order, found, times = [source], {}, [], [], {}
    for depth, path in walked:
        del stack[depth:]
        parent = stack[-1]
        # How many times this parent has included this header before: which #include it is.
        occurrence = times[parent, path] = times.get((parent, path), -1) + 1
        if path in first:
            found.append(_reentry(path, parent, stack, first[path], order, shape_of, occurrence,
                                  readable))
        else:
            first[path] = (parent, len(order))
        order.append(path)
        stack.append(path)
    return found


def _reentry(path, parent, stack, first, order, shape_of, occurrence, readable):
    again = include_line(parent, path, occurrence, readable)
    if path in stack:
        return path, "cycle", [again]
    reason, macro = shape_of(path)
    if reason not in SOUND:
        return path, "shape", [again]
    first_parent, since = first
    if macro:
        for entered in dict.fromkeys([*order[since + 1:], *stack]):
            undef = directives(entered, readable)[1].get(macro)
            if undef:
                return path, "macro_undefined", [again, (entered, *undef)]
    before = include_line(first_parent, path, readable=readable)
    if (first_parent, before) != (parent, again):
        return path, "other_name", [before, again]
    return path, "unknown", [again]
