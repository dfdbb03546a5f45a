"""The patch: a unified diff of each fixed header, with git's a/ and b/ paths, each name written
as git diff writes it, so that git apply and patch -p1 take the file it names and no other."""

import difflib
import os
import re

# The bytes that git writes as a letter after a backslash in a quoted name; the other control
# bytes, DEL and the bytes from 0x80 (as core.quotePath has them) it writes in octal.
LETTERS = {0x07: "a", 0x08: "b", 0x09: "t", 0x0A: "n", 0x0B: "v", 0x0C: "f", 0x0D: "r",
           0x22: '"', 0x5C: "\\"}


def patch(fixes):
    """The patch of `fixes` (path -> Fix), a file after another by path."""
    return "".join(diff(fix.text, fix.new, fix.shown) for _, fix in sorted(fixes.items()))


def diff(before, after, shown):
    """The unified diff of one file, with git's a/ and b/ paths. Lines are matched without
    difflib's heuristic that takes common lines (#endif, }) for junk, so that lines added show as
    added alone; a last line without its newline is marked as git marks it."""
    a, b = _lines(before), _lines(after)
    matcher = difflib.SequenceMatcher(None, a, b, autojunk=False)
    old, new = quoted("a/", shown), quoted("b/", shown)
    # git ends the name with a tab where it holds a space: patch takes what follows a space
    # for a date.
    tab = "\t" if " " in shown else ""
    out = [f"diff --git {old} {new}\n", f"--- {old}{tab}\n", f"+++ {new}{tab}\n"]

    def line(mark, text):
        out.append(mark + text if text.endswith("\n") else
                   f"{mark}{text}\n\\ No newline at end of file\n")

    for group in matcher.get_grouped_opcodes(3):
        first, last = group[0], group[-1]
        old = (first[1], last[2] - first[1])
        new = (first[3], last[4] - first[3])
        out.append(f"@@ -{_span(*old)} +{_span(*new)} @@\n")
        for tag, i1, i2, j1, j2 in group:
            for text in a[i1:i2] if tag == "equal" else ():
                line(" ", text)
            for text in a[i1:i2] if tag in ("replace", "delete") else ():
                line("-", text)
            for text in b[j1:j2] if tag in ("replace", "insert") else ():
                line("+", text)
    return "".join(out) if len(out) > 3 else ""


def _lines(text):
    """The lines of `text` as git and patch take them: each ends at LF alone (a form feed or a
    CR inside a line is part of it)."""
    return re.findall(r"[^\n]*\n|[^\n]+", text)


def _bytes(name):
    """`name` as the file system has it: a byte that is not UTF-8 is a lone surrogate in it."""
    try:
        return name.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # a surrogate no file system gives: kept, to be quoted
        return name.encode("utf-8", "surrogatepass")


def quoted(prefix, path):
    """`prefix` and the relative `path`, with / between its parts, as git writes a name in a
    patch: as it is, unless it holds a control byte, a quote, a backslash or a byte from 0x80;
    then in double quotes with those escaped as C escapes them."""
    name = _bytes(prefix + path.replace(os.sep, "/"))
    if not any(b < 0x20 or b >= 0x7F or b in LETTERS for b in name):
        return name.decode("ascii")
    return '"' + "".join("\\" + LETTERS[b] if b in LETTERS else
                         f"\\{b:03o}" if b < 0x20 or b >= 0x7F else chr(b) for b in name) + '"'


def _span(start, length):
    """A hunk's range as diff writes it: from 1, the length left out where it is 1."""
    return f"{start + 1}" if length == 1 else f"{start + (length > 0)},{length}"
