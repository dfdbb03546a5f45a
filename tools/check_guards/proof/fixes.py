"""The fix of a header entered again, safe by construction: it only adds lines, and never moves or
removes one, so that no configuration of the build (no -D of a setting the header tests) reads
other code from it than before.

    a sound guard      #pragma once just before the guard's #endif, where it moves no line the
                       compiler numbers; at the top where it is entered again while still open
                       (a cycle: a cause of the catalogue's whose while_open is set), where it
                       must be seen before the #include that leads back
    no sound guard     a new guard of a fresh name, derived from the header's path and used in
                       none of the build's files, around the whole file, and #pragma once just
                       before its #endif (entered again while still open, just below its
                       #define); the header's own lines are kept as they are, a setting's
                       default (#ifndef X / #define X 1) among them

A change is only proposed here; the proof decides whether it stays."""

import re

from guardgen_common import source_lines

from ..audit import catalogue

ENDIF = re.compile(r"^[ \t\f\v]*#\s*endif\b")
# The word characters after a place, matched in one pass: nothing follows that could fail.
WORD = re.compile(r"\w*")

BEFORE_ENDIF = ("it is entered again after it closed: just before the guard's #endif it is seen "
                "then, and moves no line the compiler numbers")
TOP = ("it is entered again while still open (a cycle): only at the top is it seen before the "
       "#include that leads back; the lines below it move down by one")
NEW_GUARD = ("it has no sound guard ({unsound}): a new guard {name} around the whole file, whose "
             "two opening lines move the lines below them down by two, and #pragma once {where}")


def guard_name(relative):
    """A guard macro for the header at `relative` (a path), as its path spells it."""
    name = re.sub(r"\W", "_", relative).upper().strip("_") + "_INCLUDED"
    return "H_" + name if name[0].isdigit() else name


def taken_names(texts):
    """The names in `texts` (the build's files) that a new guard's name could clash with."""
    found = set()
    for text in texts:
        if text and "INCLUDED" in text:
            found.update(words_holding(text, "INCLUDED"))
    return found


def words_holding(text, part):
    """The words (runs of word characters) of `text` that hold `part` (a word itself), in one
    pass over it: each place of `part` widened to its word's two ends, the text read backwards
    for the start, and the search going on past that word's end."""
    backwards, out = text[::-1], []
    at = text.find(part)
    while at >= 0:
        start = len(text) - WORD.match(backwards, len(text) - at).end()
        end = WORD.match(text, at).end()
        out.append(text[start:end])
        at = text.find(part, end)
    return out


def fresh_name(relative, taken):
    """A guard name for `relative` that is not in `taken`, which it is then added to."""
    base = name = guard_name(relative)
    number = 2
    while name in taken:
        name, number = f"{base}_{number}", number + 1
    taken.add(name)
    return name


def _newline(rows):
    """The line end of the header's first line (LF, CR LF or CR), for the lines a fix adds."""
    end = rows[0][len(rows[0].rstrip("\r\n")):] if rows else ""
    return end or "\n"


def _last_endif(rows):
    """The index of the row of the guard's #endif: the last #endif of the file (the guard wraps
    the whole file, so nothing but comments and blank lines follows it)."""
    return next((i for i in range(len(rows) - 1, -1, -1) if ENDIF.match(rows[i])), None)


def fixed(text, header, name):
    """(the header's text with its fix, a record of what was added where and why) for the
    header's record `header` (its shape and the causes of its re-entries); `name` is
    the fresh guard name for a header without a sound guard. None where no line can be added
    safely: a header with #pragma once already, or one that could not be read."""
    shape = header["shape"]
    how = catalogue.SHAPES[shape].fix if shape in catalogue.SHAPES else None
    if how is None:
        return None
    # Why it has no sound guard: its shape, or a guard's macro the build may set.
    unsound = shape
    if header.get("setting"):
        how, unsound = "new_guard", (f"it holds settings' defaults: {header['setting']}, taken "
                                    "for its guard, may be set from outside")
    bom = "\ufeff" if text.startswith("\ufeff") else ""
    rows = source_lines.physical_lines(text.removeprefix(bom), keepends=True)
    eol = _newline(rows)
    still_open = catalogue.entered_while_open(header)
    if how == "pragma_once":
        if still_open:
            return (bom + "".join([f"#pragma once{eol}", *rows]),
                    {"path": header["path"], "guard": None, "pragma_once": "top", "why": TOP})
        endif = _last_endif(rows)
        if endif is None:
            return None
        return (bom + "".join(rows[:endif] + [f"#pragma once{eol}"] + rows[endif:]),
                {"path": header["path"], "guard": None, "pragma_once": "before_endif",
                 "why": BEFORE_ENDIF})
    if rows and not rows[-1].endswith("\n"):
        if rows[-1].endswith("\\"):
            return None  # a line joined to the next: what is added would join it
        rows[-1] += eol
    if rows and rows[-1].rstrip("\r\n").endswith("\\"):
        return None
    head = [f"#ifndef {name}{eol}", f"#define {name}{eol}"]
    tail = [f"#endif{eol}"]
    where = "just below its #define, as it is entered again while still open" if still_open else \
        "just before its #endif, as it is entered again after it closed"
    (head if still_open else tail).insert(len(head) if still_open else 0, f"#pragma once{eol}")
    return (bom + "".join(head + rows + tail),
            {"path": header["path"], "guard": name, "pragma_once": "top" if still_open else "end",
             "why": NEW_GUARD.format(unsound=unsound, name=name, where=where)})


def numbered(text, record):
    """The fixed `text` with a #line after what was added at the top, so that every line of the
    header keeps its number: what tells a fix that moves __LINE__ from one that changes what the
    header defines."""
    if record["guard"] is None and record["pragma_once"] != "top":
        return text
    rows = source_lines.physical_lines(text, keepends=True)
    added = 1 if record["guard"] is None else (3 if record["pragma_once"] == "top" else 2)
    eol = _newline(rows)
    return "".join(rows[:added] + [f"#line 1{eol}"] + rows[added:])
