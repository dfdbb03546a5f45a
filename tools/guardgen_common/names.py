"""Names as they are printed: a file, a flag or a compiler named by a build may hold any
character, and one with a line break or an escape sequence would forge a line of its own (such
as `::error file=x::`, which CI services read as a command) or move the terminal's cursor. Every
printer passes the names it shows through printable."""

import os
import re
import unicodedata

# C0 and C1 controls, DEL, the Unicode line and paragraph separators, and the bytes of a name
# that is not UTF-8 (kept by Python as lone surrogates).
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]")
SHORT = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
# The "#" that begins a command of Azure Pipelines (##vso[...], ##[...]): it reads one anywhere
# in a line.
AZURE = re.compile(r"#(?=#(?:vso)?\[)", re.IGNORECASE)
# What begins a command of GitHub Actions (::error ...::) or Azure Pipelines where a line
# begins with it, spaces aside.
COMMAND = re.compile(" *(::|##)")


def _hidden(c):
    """Whether the character `c` is shown escaped: a control, or a format character (Unicode's
    Cf: the bidi controls such as U+202E, which show a line's text in another order, and the
    zero-width ones), which a reader cannot see."""
    return CONTROL.match(c) is not None or (not c.isascii() and unicodedata.category(c) == "Cf")


def _escaped(c):
    if c in SHORT:
        return SHORT[c]
    code = ord(c)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8, as the file system has it
        return f"\\x{code - 0xDC00:02x}"
    if code < 0x100:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def printable(text):
    """`text` with its control and format characters written as escapes (\\n, \\x1b, \\u202e),
    and a "#" that would begin a command of a CI service as \\x23; then its backslashes
    doubled, so that no escape reads two ways. Text without them is as it is."""
    text = str(text)
    commands = {m.start() for m in AZURE.finditer(text)} if "##" in text else ()
    if not commands and (CONTROL.search(text) is None if text.isascii()
                         else not any(map(_hidden, text))):
        return text
    return "".join(_escaped(c) if k in commands or _hidden(c) else "\\\\" if c == "\\" else c
                   for k, c in enumerate(text))


def line_start(text):
    """`text` printable at the start of a line: "./" before it where it would begin with "::"
    or "##", as a command of a CI service does (a path of the tree named so, shown first)."""
    shown = printable(text)
    return "./" + shown if COMMAND.match(shown) else shown


def shown_path(path, top):
    """`path` relative to `top` where it lies below it, else as it is."""
    try:
        relative = os.path.relpath(path, top)
    except ValueError:  # on another drive
        return path
    above = relative == os.pardir or relative.startswith(os.pardir + os.sep)
    return path if above else relative
