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


def _add(lines, text, number, row, after_plain):
    """Adds the line, unless it is plain code after plain code (`after_plain`): of a run of such
    lines only the first tells the shape anything (that code stands there). Whether the line is
    plain code."""
    plain = _plain(text)
    if not (plain and after_plain):
        lines.append(Line(text, number, row))
    return plain


def logical_lines(source):
    """The lines of `source` that are not blank, as a preprocessor reads them, but of each run
    of lines of plain code (no directive, no _Pragma) the first alone."""
    return _logical_lines(source)


# What can make a row more than plain code or a blank: a directive's #, the start of a comment
# that may go on past the row, a continuation's backslash, a _Pragma. (A // comment or a quote
# ends with its row.) Rows with none of them after plain code add no line and change nothing:
# they are passed over together, not one by one.
MAY_MATTER = ("#", "/*", "\\", "_Pragma")


class _Ahead:
    """Where in `text` each of MAY_MATTER next stands from a place on: each found by one search
    forward, searched again only once the place has passed it, so that the text is searched
    through once for each."""

    def __init__(self, text):
        self.text, self.next = text, dict.fromkeys(MAY_MATTER, -1)

    def first(self, at):
        """The place of the first of MAY_MATTER at `at` or after it, else -1."""
        found = -1
        for mark, place in self.next.items():
            if place is not None and place < at:
                place = self.text.find(mark, at)
                self.next[mark] = place = None if place < 0 else place
            if place is not None and (found < 0 or place < found):
                found = place
        return found


# The shape, the settings' shape and the tests of values of one text read its lines once.
@per_run(maxsize=1024)
def _logical_lines(source):
    rows = physical_lines(source)
    # The rows again as one text, each ended by LF (the source itself where no row ends at a
    # CR): where each row starts in it tells how many rows a jump passes over.
    ahead = _Ahead(source if "\r" not in source else "\n".join(rows))
    lines, text, start, in_comment, after_plain = [], [], None, False, False
    index, at = 0, 0  # the next row, and where it starts in the joined rows
    while index < len(rows):
        if after_plain and not in_comment and not text:
            found = ahead.first(at)
            if found < 0:
                break
            row_start = ahead.text.rfind("\n", at, found) + 1
            if row_start > at:
                index += ahead.text.count("\n", at, row_start)
                at = row_start
        number, row = index + 1, rows[index]
        index += 1
        at += len(row) + 1
        if row.endswith("\\"):  # joined to the next, and that to the next where it ends so
            pieces = [row[:-1]]
            while index < len(rows):
                piece = rows[index]
                index += 1
                at += len(piece) + 1
                if not piece.endswith("\\"):
                    pieces.append(piece)
                    break
                pieces.append(piece[:-1])
            row = "".join(pieces)
        if not in_comment and not text and "/" not in row and '"' not in row and "'" not in row:
            stripped = row.strip()  # no comment and no quote: the line as it is
            if stripped:
                after_plain = _add(lines, stripped, number, rows[number - 1], after_plain)
            continue
        start = start or number
        column = 0
        if in_comment:
            end = row.find("*/")
            if end < 0:
                continue  # the comment goes on, and the line it is in with it
            text.append(" ")
            column = end + 2
        in_comment = _uncommented(row, column, text) is not None
        if in_comment:
            continue
        joined = "".join(text).strip()
        if joined:
            after_plain = _add(lines, joined, start, rows[start - 1], after_plain)
        text, start = [], None
    return tuple(lines)
