"""The smallest change to a header that ends its re-entries, for each cause:

    before_guard       the lines before the guard moved inside it, below its #define
    after_guard        the lines after the guard's #endif moved above it
    guard_not_defined  the missing #define added below the #ifndef
    no_guard           a guard around the whole file, and #pragma once below its #define
    any other          #pragma once below the guard's #define (or on the first line): it ends a
                       cycle and every other route at once, and keeps the guard for the
                       compilers that know no #pragma once

A change is only proposed here; the proof decides whether it stays."""

import re

OPENER = r"^\s*#\s*(?:ifndef\s+{m}\b|if\s+!\s*defined\s*\(?\s*{m}\b)"
DEFINE = r"^\s*#\s*define\s+{m}\b"
ENDIF = re.compile(r"^\s*#\s*endif\b")


def _index(rows, pattern, start=0):
    for i in range(start, len(rows)):
        if re.match(pattern, rows[i]):
            return i
    return None


def _newline(rows):
    return "\r\n" if rows and rows[0].endswith("\r\n") else "\n"


def guard_name(relative):
    """A guard macro for the header at `relative` (a path), as its path spells it."""
    return re.sub(r"\W", "_", relative).upper().strip("_") + "_INCLUDED"


def fixed(text, header, relative):
    """The header's text with the fix for its cause, or None where there is none."""
    rows = text.splitlines(keepends=True)
    if rows and not rows[-1].endswith(("\n", "\r")):
        rows[-1] += _newline(rows)
    eol = _newline(rows)
    reason, macro, line = header["reason"], header.get("macro"), header.get("line")
    cause = header.get("cause")
    if cause == "shape" and reason == "no_guard":
        name = guard_name(relative)
        return "".join([f"#ifndef {name}{eol}", f"#define {name}{eol}", f"#pragma once{eol}",
                        *rows, f"#endif{eol}"])
    opener = _index(rows, OPENER.format(m=re.escape(macro))) if macro else None
    define = (_index(rows, DEFINE.format(m=re.escape(macro)), opener + 1)
              if opener is not None else None)
    if cause == "shape" and reason == "before_guard" and define is not None and line:
        moved = rows[line - 1:opener]
        return "".join(rows[:line - 1] + rows[opener:define + 1] + moved + rows[define + 1:])
    if cause == "shape" and reason == "after_guard" and line:
        endif = next((i for i in range(line - 2, -1, -1) if ENDIF.match(rows[i])), None)
        if endif is None:
            return None
        return "".join(rows[:endif] + rows[line - 1:] + [rows[endif]] + rows[endif + 1:line - 1])
    if cause == "shape" and reason == "guard_not_defined" and opener is not None:
        return "".join(rows[:opener + 1] + [f"#define {macro}{eol}"] + rows[opener + 1:])
    if cause == "shape" and reason == "unreadable":
        return None
    at = define + 1 if define is not None else 0
    return "".join(rows[:at] + [f"#pragma once{eol}"] + rows[at:])
