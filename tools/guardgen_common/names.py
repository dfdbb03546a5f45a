"""Names as they are printed: a file, a flag or a compiler named by a build may hold any
character, and one with a line break or an escape sequence would forge a line of its own (such
as `::error file=x::`, which CI services read as a command) or move the terminal's cursor. Every
printer passes the names it shows through printable."""

import os
import re

# C0 and C1 controls, DEL, the Unicode line and paragraph separators, and the bytes of a name
# that is not UTF-8 (kept by Python as lone surrogates).
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]")
SHORT = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escaped(match):
    c = match[0]
    if c in SHORT:
        return SHORT[c]
    code = ord(c)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8, as the file system has it
        return f"\\x{code - 0xDC00:02x}"
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text):
    """`text` with its control characters written as escapes (\\n, \\x1b, \\u2028), and then its
    backslashes doubled, so that no escape reads two ways; text without them is as it is."""
    text = str(text)
    if not CONTROL.search(text):
        return text
    return CONTROL.sub(_escaped, text.replace("\\", "\\\\"))


def shown_path(path, top):
    """`path` relative to `top` where it lies below it, else as it is."""
    try:
        relative = os.path.relpath(path, top)
    except ValueError:  # on another drive
        return path
    above = relative == os.pardir or relative.startswith(os.pardir + os.sep)
    return path if above else relative
