"""The directives of a file that explain a re-entry: its #include lines, its #undefs, and which
#include of a file names a given header."""

import bisect
import os
import re

from guardgen_common import files, run_texts, source_lines

INCLUDE = re.compile(r'^\s*#\s*include(_next)?\s*([<"])([^>"]+)[>"]')
# An #include of a macro's value (#include NAME, FreeType's form), which names no file here.
COMPUTED = re.compile(r"^\s*#\s*include(_next)?\s*[A-Za-z_]")
UNDEF = re.compile(r"^\s*#\s*undef\s+([A-Za-z_]\w*)")
CONDITION = re.compile(r"^\s*#\s*(ifndef|ifdef|if|elif|else|endif)\b(.*)")
# Each blank run has one place in it: a line that is no guard's opening fails at once, whatever
# its blanks (two runs on either side of an optional parenthesis split a long one every way).
GUARD_OPENING = re.compile(r"^(ifndef\s+\w+|if\s*!\s*defined\s*(?:\(\s*\w+\s*\)|\w+))"
                           r"\s*(/[*/].*)?$")


def directives(path, readable=None):
    """The #include lines of the file at `path` as (line, target, text, whether the compiler
    looks beside the file first: a quoted #include, whether it is read whenever the file is: in
    no condition but its guard), and its #undefs as {macro: (line, text)}; the first of each
    macro; the #include lines by the file name of their target; and whether it has an #include
    of a macro's value. Its text is read only where it is a regular file inside `readable` (see
    files.read_text); else it has none."""
    return _directives(path, _key(readable))


def _key(readable):
    """`readable` as the caches of a run take it: a tuple, or None."""
    return None if readable is None else tuple(readable)


# A line whose first character but blanks is a #, as \s* then # matches it.
HASHED = re.compile(r"^[^\S\n]*#.*", re.MULTILINE)


def _hashed_rows(text):
    """(number, row) of each line of `text` that may hold a directive, numbered as the compiler
    numbers them (see source_lines.physical_lines): where no line ends at a CR alone, by one pass
    over the text that looks only at lines that begin with a #."""
    lf = text.replace("\r\n", "\n") if "\r" in text else text
    if "\r" in lf:
        yield from ((n, row) for n, row in enumerate(source_lines.physical_lines(text), 1)
                    if "#" in row)
        return
    number, at = 1, 0
    for match in HASHED.finditer(lf):
        number += lf.count("\n", at, match.start())
        at = match.start()
        yield number, match[0]


@run_texts.per_run(maxsize=4096)
def _directives(path, readable):
    text = run_texts.read(path, readable)
    found, undefs, computed = [], {}, False
    # The conditions open at each #include, and which of the file's blocks it lies in: the
    # first, where it is the only one and a guard's (#ifndef X or #if !defined(X), no #else),
    # is no condition of its lines.
    depth, blocks, guard = 0, 0, False
    for number, row in _hashed_rows(text or ""):
        match = INCLUDE.match(row)
        if match:
            found.append((number, match[3], row.strip(), match[2] == '"' and not match[1],
                          depth))
            continue
        if COMPUTED.match(row):
            computed = True
            continue
        match = CONDITION.match(row)
        if match:
            if match[1].startswith("if"):
                if depth == 0:
                    blocks += 1
                    guard = blocks == 1 and bool(GUARD_OPENING.match(
                        f"{match[1]} {match[2].strip()}"))
                depth += 1
            elif match[1] == "endif":
                depth = max(depth - 1, 0)
            elif depth == 1:
                guard = False  # an #else or #elif of a block of the file's own
            continue
        match = UNDEF.match(row)
        if match and match[1] not in undefs:
            undefs[match[1]] = (number, row.strip())
    guard = guard and blocks == 1
    includes = [(number, target, text, quoted, depth == 0 or (depth == 1 and guard))
                for number, target, text, quoted, depth in found]
    by_name = {}
    for include in includes:
        by_name.setdefault(os.path.basename(include[1]), []).append(include)
    return includes, undefs, by_name, computed


def candidates(parent, header, readable=None):
    """The #include lines of `parent` that may name `header`, as (line, text, read whenever the
    file is): those whose target is the header's path's tail, else those of the same file name.
    A quoted one whose target is another file beside `parent` names that file (the compiler
    looks there first), not the header."""
    return _candidates(parent, header, _key(readable))


@run_texts.per_run(maxsize=1 << 14)
def _candidates(parent, header, readable):
    exact, named = [], []
    for number, target, text, quoted, sure in directives(parent, readable)[2].get(
            os.path.basename(header), ()):
        if quoted and _beside(parent, target) not in (None, header):
            continue
        named.append((number, text, sure))
        if header.endswith(os.sep + os.path.normpath(target).lstrip("." + os.sep)):
            exact.append((number, text, sure))
    return exact or named


# Beyond this many ways of placing the entries of one file's entry, each is placed at the first
# #include below the one before it (a file of thousands of #include lines of one name).
PLACINGS = 1 << 18


def placed(parent, headers, readable=None):
    """(parent, line, text), or None, of the #include in one entry of `parent` that entered
    each of `headers`, the entries it made, in order: each below the one before it. Of the
    ways to place them so, the one that leaves out fewest of the lines read whenever the file
    is (an #include in a condition may not be read; one outside every condition is), the
    earliest of those; where there is none, each at the first below the one before it. In a
    file with an #include of a macro's value, which may be any entry's, only the lines read
    whenever the file is are taken: an entry that none can be is left unplaced (None), never
    put on a line it may not have come from."""
    # The same file's entry makes the same entries in unit after unit: placed once.
    return _placed(parent, tuple(headers), _key(readable))


@run_texts.per_run(maxsize=4096)
def _placed(parent, headers, readable):
    named = {}
    found = [named[h] if h in named else named.setdefault(h, candidates(parent, h, readable))
             for h in headers]
    if directives(parent, readable)[3]:
        # Once for each header, not for each entry of it.
        sure = {h: [line for line in lines if line[2]] for h, lines in named.items()}
        return _in_turn(parent, [sure[h] for h in headers])
    if all(sure for lines in named.values() for _, _, sure in lines) \
            or sum(map(len, found)) > PLACINGS:
        return _in_turn(parent, found)
    # row[k]: (the lines read whenever the file is of those placed so far, the candidate of the
    # entry before) for an entry at its k-th candidate, or None where it cannot be placed
    # there; an entry with no candidate (a computed #include) constrains nothing.
    placing = [j for j, lines in enumerate(found) if lines]
    rows = []
    for n, j in enumerate(placing):
        if n == 0:
            rows.append([(int(sure), None) for _, _, sure in found[j]])
            continue
        earlier, before, row = found[placing[n - 1]], rows[-1], []
        chosen, k = None, 0
        for number, _, sure in found[j]:
            # The best of the entry before above this line: the most read whenever the file
            # is, the earliest of those.
            while k < len(earlier) and earlier[k][0] < number:
                if before[k] is not None and (chosen is None or before[k][0] > before[chosen][0]):
                    chosen = k
                k += 1
            row.append(None if chosen is None else (before[chosen][0] + int(sure), chosen))
        rows.append(row)
    if not placing or all(cell is None for cell in rows[-1]):
        return _in_turn(parent, found)
    out = [None] * len(headers)
    last = rows[-1]
    k = max((k for k, cell in enumerate(last) if cell is not None),
            key=lambda k: (last[k][0], -k))
    for row, j in zip(rows[::-1], placing[::-1]):
        number, text, _ = found[j][k]
        out[j] = (parent, number, text)
        k = row[k][1]
    return out


def _in_turn(parent, found):
    """Each entry at the first of its candidates (`found`) below the one before it; None where
    there is none: one pass over a file reads each of its lines once, so an entry below the one
    before cannot come from a line above it or the same."""
    out, after = [], 0
    for lines in found:
        below = bisect.bisect_right(lines, (after, "\uffff"))
        if below >= len(lines):
            out.append(None)
            continue
        number, text, _ = lines[below]
        after = number
        out.append((parent, number, text))
    return out


@run_texts.per_run(maxsize=4096)
def _beside(parent, target):
    """The real path of the file `target` names in the directory of `parent`, or None."""
    path = os.path.join(os.path.dirname(parent), target)
    return files.real_path(path) if os.path.isfile(path) else None


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


class Undefs:
    """The #undefs of the files a unit entered, by macro: where in `order` (the files entered, in
    order, as the walk grows it) each file that #undefs it stands. Each entry is looked at once,
    when a question first reaches past it, so that asking at every re-entry costs no more than
    the walk."""

    def __init__(self, order, readable=None):
        self.order, self.readable, self.seen, self.at = order, readable, 0, {}

    def first(self, macro, since, stack):
        """(path, line, text) of the first #undef of `macro` in the files entered after the
        `since`-th entry, else in those of `stack` (the files open), or None: as undef_of asks
        them in that order, each file once."""
        for position in range(self.seen, len(self.order)):
            for name in directives(self.order[position], self.readable)[1]:
                self.at.setdefault(name, []).append(position)
        self.seen = len(self.order)
        positions = self.at.get(macro, ())
        after = bisect.bisect_right(positions, since)
        if after < len(positions):
            path = self.order[positions[after]]
            return (path, *directives(path, self.readable)[1][macro])
        return undef_of(macro, stack, self.readable)


def undef_of(macro, paths, readable=None):
    """(path, line, text) of the first #undef of `macro` in the files at `paths`, or None."""
    for path in paths:
        undef = directives(path, readable)[1].get(macro)
        if undef:
            return (path, *undef)
    return None
