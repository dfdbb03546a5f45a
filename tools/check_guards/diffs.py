"""The patch: a unified diff of each fixed header, with git's a/ and b/ paths."""

import difflib


def patch(fixes):
    """The patch of `fixes` (path -> Fix), a file after another by path."""
    return "".join(diff(fix.text, fix.new, fix.shown) for _, fix in sorted(fixes.items()))


def diff(before, after, shown):
    """The unified diff of one file, with git's a/ and b/ paths. Lines are matched without
    difflib's heuristic that takes common lines (#endif, }) for junk, so that lines added show as
    added alone; a last line without its newline is marked as git marks it."""
    a, b = before.splitlines(keepends=True), after.splitlines(keepends=True)
    matcher = difflib.SequenceMatcher(None, a, b, autojunk=False)
    out = [f"--- a/{shown}\n", f"+++ b/{shown}\n"]

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
    return "".join(out) if len(out) > 2 else ""


def _span(start, length):
    """A hunk's range as diff writes it: from 1, the length left out where it is 1."""
    return f"{start + 1}" if length == 1 else f"{start + (length > 0)},{length}"
