"""A unit's response files (@FILE): the words each holds, split by the compilers' own rules,
put in its place, bounded in depth, size and number; a response file outside the tree, or one
past the bounds, is refused, named only by its path in the tree."""

import itertools
import os
import re

from guardgen_common import files
from guardgen_common.failure import Failure
from guardgen_common.names import shown_path

# At most this deep, this large each, and (over all a unit names, each time it is named) this
# many files, bytes and words are response files read: gcc's own reading stops at 2000 files.
RESPONSE_DEPTH = 10
RESPONSE_SIZE = 1 << 20
RESPONSE_FILES = 2000
RESPONSE_BYTES = 8 << 20
RESPONSE_WORDS = 1 << 18


def words_of(pieces):
    """The words that `pieces` make, as a splitter gives them: text that goes on the word (an
    empty one begins a word too, as an opening quote does), or None for a blank between words."""
    words, word = [], None
    for piece in itertools.chain(pieces, [None]):
        if piece is None:
            if word is not None:
                words.append("".join(word))
            word = None
        elif word is None:
            word = [piece]
        else:
            word.append(piece)
    return words


def tokens(text):
    """The words of a response file, as gcc and clang (outside Windows) split it: at blanks,
    with single and double quotes, and a backslash taking the next character as it is. These
    are gcc's rules, not the C runtime's of a Windows command line (database.windows_split)."""
    if not QUOTING.search(text):
        return text.split()
    return words_of(_token_pieces(text))


QUOTING = re.compile(r"['\"\\]")
# A response file's text in pieces, each read in one pass, as nothing after a repeat can fail:
# blanks, plain characters, a backslash and the character it takes, a quoted run to its quote
# (or to the end of the text).
PIECE = re.compile(r"""(\s+)|([^\s'"\\]+)|\\([\s\S]?)"""
                   r"""|'([^'\\]*(?:\\[\s\S]?[^'\\]*)*)'?|"([^"\\]*(?:\\[\s\S]?[^"\\]*)*)"?""")
ESCAPED = re.compile(r"\\([\s\S]?)")


def _unescaped(match):
    return match[1] or "\\"


def _token_pieces(text):
    for piece in PIECE.finditer(text):
        kind = piece.lastindex
        if kind == 1:
            yield None
        elif kind == 2:
            yield piece[2]
        elif kind == 3:
            yield piece[3] or "\\"  # a backslash that ends the text is itself
        else:
            yield ""  # a quote begins a word, empty as it may be
            yield ESCAPED.sub(_unescaped, piece[kind] or "")


class Budget:
    """What is left of the bounds on the response files of one unit."""

    def __init__(self):
        self.files, self.bytes, self.words = RESPONSE_FILES, RESPONSE_BYTES, RESPONSE_WORDS


def expanded(words, directory, roots=None, depth=0, budget=None):
    """`words` with each @FILE replaced by the words it holds (a path relative to `directory`);
    a response file that is no regular file, too large or too deep, or that takes the unit past
    the bounds on all its response files (whatever their shape: few small files that name
    each other many times), is refused. The file is named only by its path in `roots` (the
    tree), one that another names only once it is there, and what any holds is never said."""
    budget = budget or Budget()
    out = []
    for word in words:
        if not word.startswith("@") or len(word) == 1:
            out.append(word)
            continue
        path = os.path.join(directory, word[1:])
        named = _named(path, roots, word if depth == 0 else None)
        if named == OUTSIDE:
            raise Failure(f"{OUTSIDE}: refused")
        if depth >= RESPONSE_DEPTH:
            raise Failure(f"{named} is nested too deeply: refused")
        budget.files -= 1
        if budget.files < 0:
            raise Failure(f"{named}: the unit names more than {RESPONSE_FILES} "
                          "response files: refused")
        inner = tokens(_response_text(path, named, budget))
        budget.words -= len(inner)
        if budget.words < 0:
            raise Failure(f"{named}: the unit's response files hold more than "
                          f"{RESPONSE_WORDS} words: refused")
        out += expanded(inner, directory, roots, depth + 1, budget)
    return out


def _response_text(path, named, budget):
    try:
        with files.open_regular(path, limit=None) as f:
            # As much as it holds, one byte past the limit at the most.
            text = files.read_at_most(f, RESPONSE_SIZE)
    except OSError as error:
        raise Failure(f"{named}: {error.strerror}: refused") from None
    if len(text) > RESPONSE_SIZE:
        raise Failure(f"{named} is larger than {RESPONSE_SIZE >> 20} MiB: refused")
    budget.bytes -= len(text)
    if budget.bytes < 0:
        raise Failure(f"{named}: the unit's response files are more than "
                      f"{RESPONSE_BYTES >> 20} MiB: refused")
    if b"\0" in text:
        raise Failure(f"{named} holds a NUL byte: refused")
    return text.decode("utf-8", errors="replace")


OUTSIDE = "a response file outside the tree"


def _named(path, roots, given):
    """The response file at `path` as a line names it: by its path in the tree `roots` where it
    is there, or the command `given` its name (None where another response file named it);
    else only as one outside the tree, or one that another names. Without `roots`, by the word
    given."""
    if roots is None:
        return f"response file {given}" if given is not None else \
            "a response file that another names"
    real = os.path.realpath(path)
    root = next((r for r in sorted(roots, key=len, reverse=True) if files.under(real, [r])), None)
    if root is None:
        return OUTSIDE
    if given is None and not os.path.isfile(real):
        return "a response file that another names"
    return f"response file {shown_path(real, root)}"
