"""The compilation database (compile_commands.json, as CMake, Bear and Meson write it): a list of
entries, each with the unit's working directory, its source file and its command, given as a
list of "arguments" or as one "command" with shell quoting."""

import json
import os
import re
import shlex
from dataclasses import dataclass
from pathlib import Path

from guardgen_common import files
from guardgen_common.failure import Failure
from guardgen_common.programs import listing_of
from guardgen_common.system import windows_path

from .responses import words_of

NAME = "compile_commands.json"
# How the usual build systems write a database, for the user who has none.
HOW = ("CMake writes one with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON, Meson in its build directory, "
       "any other build with bear -- make")


@dataclass
class Unit:
    directory: str  # absolute
    file: str  # as the entry gives it, relative to directory or absolute
    argv: list
    entry: int = 0  # its place in the database, from 1: a shard's units keep the whole's order

    @property
    def path(self):
        return os.path.normpath(os.path.join(self.directory, self.file))


def locate(given):
    """The database's path: `given` (a file, or a directory that holds one), else
    ./compile_commands.json, else build/compile_commands.json."""
    if given:
        path = Path(given)
        if path.is_dir():
            path = path / NAME
        if not path.is_file():
            raise Failure(f"{path}: no compilation database there"
                          + (f" ({HOW})" if path.name == NAME
                             else f" (a {NAME} or a directory holding one)"))
        return path.resolve()
    for candidate in (Path(NAME), Path("build") / NAME):
        if candidate.is_file():
            return candidate.resolve()
    raise Failure(f"no {NAME} here or in build/: give the database or the directory holding it "
                  f"({HOW})")


def text(value, where, key):
    """`value` where it is text that can name a file or be an argument, else a Failure."""
    if "\0" in value:
        raise Failure(f"{where}: \"{key}\" holds a NUL character")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise Failure(f"{where}: \"{key}\" is not valid text (a lone surrogate)") from None
    return value


def unit(entry, number, database):
    """The Unit of one entry (`number` from 1), or a Failure that says what it lacks."""
    where = f"{database}: entry {number}"
    if not isinstance(entry, dict):
        raise Failure(f"{where} is not an object")
    for key in ("directory", "file"):
        if not isinstance(entry.get(key), str) or not entry[key]:
            raise Failure(f"{where} has no \"{key}\"")
        text(entry[key], where, key)
    if "arguments" in entry:
        argv = entry["arguments"]
        if not (isinstance(argv, list) and argv and all(isinstance(a, str) for a in argv)):
            raise Failure(f"{where}: \"arguments\" is not a list of strings")
        for argument in argv:
            text(argument, where, "arguments")
        windows = msvc_style(argv[0])
    elif isinstance(entry.get("command"), str):
        command = text(entry["command"], where, "command")
        windows = msvc_style(windows_program(command))
        try:
            argv = windows_split(command) if windows else posix_split(command)
        except ValueError as error:
            raise Failure(f"{where}: \"command\" cannot be split: {error}") from None
        if not argv:
            raise Failure(f"{where}: \"command\" is empty")
    else:
        raise Failure(f"{where} has neither \"arguments\" nor \"command\"")
    directory, file = entry["directory"], entry["file"]
    if windows:
        directory, file = windows_path(directory), windows_path(file)
    directory = os.path.normpath(os.path.join(os.path.dirname(database), directory))
    return Unit(directory, file, list(argv), number)


# shlex's blanks, between the words of a command with no quote and no backslash in it: there its
# words are the runs of anything else. Found so, not by shlex's reading a character at a time,
# which was most of what reading a large database cost.
WORDS = re.compile(r"[^ \t\r\n]+")
QUOTING = re.compile(r"['\"\\]")


def posix_split(command):
    """The words of a command of a POSIX build's database, as shlex.split gives them."""
    if QUOTING.search(command) is None:
        return WORDS.findall(command)
    return shlex.split(command)


def msvc_style(program):
    """Whether an entry whose program is `program` (its first word) is a Windows build's, of cl
    or clang-cl: its command is split as the C runtime splits it and its paths are Windows
    ones. This is how the entry is read, before any program is looked for; how the unit is run
    is its plan's (compilers.Plan.style)."""
    return listing_of(windows_path(program.strip('"'))) == "/showIncludes"


def windows_split(command):
    """The words of a Windows command line, as the C runtime splits it: blanks separate words
    outside double quotes; backslashes are themselves, but before a double quote, where each
    pair is one backslash and an odd one makes the quote a character. These are not gcc's rules
    for a response file (responses.tokens): single quotes and a lone backslash mean nothing here."""
    return words_of(_windows_pieces(command))


def windows_program(command):
    """The first word of a Windows command line, as windows_split takes it: a program's path
    with blanks in it is quoted."""
    word = []
    for piece in _windows_pieces(command):
        if piece is not None:
            word.append(piece)
        elif word:
            break
    return "".join(word)


BACKSLASHES = re.compile(r"\\+")


def _windows_pieces(command):
    quoted, i = False, 0
    while i < len(command):
        c = command[i]
        if c == "\\":
            run = BACKSLASHES.match(command, i).end() - i
            if command[i + run:i + run + 1] == '"':
                # Each pair is one backslash; an odd one left takes the quote as a character.
                yield "\\" * (run // 2) + ('"' if run % 2 else "")
                i += run + run % 2
            else:
                yield "\\" * run
                i += run
            continue
        if c == '"':
            quoted = not quoted
            yield ""
        else:
            yield None if c in " \t" and not quoted else c
        i += 1


# A database of the largest builds is some hundreds of MB; what it takes to read is a few times
# its size, so that no more than an eighth of the machine's memory is ever read.
def limit():
    """The largest database read: 2 GiB, or an eighth of the machine's memory where less."""
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):  # not known here (Windows)
        return 2 << 30
    return min(2 << 30, max(memory // 8, 64 << 20))


LIMIT = limit()


def _decoded(path, limit):
    """The text of the file at `path` (see files.open_regular), its bytes let go at once."""
    with files.open_regular(path, limit=limit) as f:
        return f.read().decode("utf-8-sig")


def _failure(path, error):
    """The one line of a Failure for what went wrong reading the JSON file at `path`."""
    if isinstance(error, json.JSONDecodeError):
        return Failure(f"{path}: not JSON: {error.msg} at line {error.lineno}")
    if isinstance(error, UnicodeDecodeError):
        return Failure(f"{path}: not JSON: not UTF-8 text")
    if isinstance(error, RecursionError):
        return Failure(f"{path}: not JSON that can be read: nested too deeply")
    if isinstance(error, ValueError):  # an integer of thousands of digits
        return Failure(f"{path}: not JSON that can be read: a number too long")
    return Failure(f"{path}: {error.strerror}")


READ_ERRORS = (ValueError, RecursionError, OSError)  # JSONDecodeError and UnicodeDecodeError too


def load_json(path, limit=LIMIT):
    """What the JSON file at `path` holds; a Failure in one line for any file that is not JSON,
    however it fails (nested too deeply, a number too long), or is no regular file of at most
    `limit` bytes (see files.open_regular), which is refused before it is read."""
    try:
        return json.loads(_decoded(path, limit))
    except READ_ERRORS as error:
        raise _failure(path, error) from None


BLANK = re.compile(r"[ \t\n\r]*")
DECODER = json.JSONDecoder()


def elements(text, at):
    """Each element of the JSON array that begins at `at` in `text`, decoded in turn, so that
    only one is held at a time; a JSONDecodeError as json.loads raises it where the rest of the
    text is no array's."""
    at = BLANK.match(text, at + 1).end()
    if text.startswith("]", at):
        at += 1
    else:
        while True:
            element, at = DECODER.raw_decode(text, at)
            yield element
            at = BLANK.match(text, at).end()
            if text.startswith("]", at):
                at += 1
                break
            if not text.startswith(",", at):
                raise json.JSONDecodeError("Expecting ',' delimiter", text, at)
            at = BLANK.match(text, at + 1).end()
    at = BLANK.match(text, at).end()
    if at != len(text):
        raise json.JSONDecodeError("Extra data", text, at)


def read(database, shard=None):
    """The units of the database at `database`, in its order; with `shard` (I, N), only every
    N-th from the I-th, and only those are taken apart. Its array is read an entry at a time,
    each made a Unit (or refused) at once: no list of all its entries is ever made."""
    first, every = shard or (1, 1)
    units, count = [], 0
    try:
        text = _decoded(database, LIMIT)
        start = BLANK.match(text).end()
        if not text.startswith("[", start):
            json.loads(text)  # the error that says what it is, else no list
            raise Failure(f"{database}: not a list of entries")
        for count, entry in enumerate(elements(text, start), 1):
            if count >= first and (count - first) % every == 0:
                units.append(unit(entry, count, database))
    except READ_ERRORS as error:
        raise _failure(database, error) from None
    if not count:
        raise Failure(f"{database}: no entries, so no unit to audit (bear -- make records only "
                      "what make compiles: run it after make clean)")
    return units
