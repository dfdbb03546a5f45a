"""Markdown as both companions write it: text in a cell of a table, kept one cell and shown as
it is; code spans that no backtick of the code ends; a header's shape with the line that
decides it."""

import re

from .names import printable

# A | would end a Markdown table's cell, a ` begin a code span; the backslashes before either
# are doubled, so that the one added escapes it.
SPECIAL = re.compile(r"(\\*)([|`])")


def code_span(text):
    """`text` in backticks, as Markdown spans code: more of them than it holds in a row, and a
    space inside them where it begins or ends with one, so that none of its own ends the span."""
    fence = "`" * (max(map(len, re.findall("`+", text)), default=0) + 1)
    space = " " if text[:1] == "`" or text[-1:] == "`" else ""
    return f"{fence}{space}{text}{space}{fence}"


def cell(text):
    """`text` in a cell of a Markdown table, as it is: a line break would end the row (see
    printable), a | the cell, a ` begin a code span."""
    return SPECIAL.sub(lambda m: m[1] * 2 + "\\" + m[2], printable(text))


def code_cell(text):
    """`text` as code in a cell of a Markdown table: in a code span of its own (see code_span),
    where only a | is escaped, as the table reads it first."""
    return code_span(printable(text).replace("|", "\\|"))


def shape_words(shape, line, text, code=code_span):
    """A header's shape as its record names it, and the line that decides it (`line`, its
    `text`), as `code` puts it, where a line does."""
    return shape + (f", line {line}: {code(text)}" if line else "")
