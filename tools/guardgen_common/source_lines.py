"""A source's lines as a preprocessor reads them: physical lines as a compiler ends and numbers
them (LF, CR LF or CR), lines that end in a backslash joined to the next, comments taken out (a
comment that spans lines keeps the directive it is in going), blank lines passed over; each a
Line, whose directive is found once."""

import re

from .run_texts import per_run

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


DIRECTIVE = re.compile(r"#\s*([A-Za-z_]\w*)?\s*(.*)$", re.DOTALL)


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
