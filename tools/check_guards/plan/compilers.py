"""How a unit runs, decided before anything runs, from the database and the file system alone,
so that a database that came with a cloned repository cannot start a program of its own
choosing: its program (see program), the words it runs with, its language, and the checks of the
paths it names.

It runs with -E -H -w first (-M in place of -E for the listing alone), so that no word of the
unit can take them as its value, then the unit's flags that the allowlist (flags) keeps, then
the unit's file; the preprocessed text is thrown away and nothing is written. A unit of another
program or language is skipped; one that names a path outside the tree, or whose program, file
or forced include is not safe to run, is refused."""

import os
from dataclasses import dataclass

from guardgen_common import files, programs
from guardgen_common.failure import Failure
from guardgen_common.files import under
from guardgen_common.system import windows_path

from . import flags as allowlist
from . import msvc, responses
from . import tree as trees
from .program import Refused, Skipped, program_name, program_words, resolve

__all__ = ["Plan", "Refused", "Skipped", "language", "plan"]

# The sources a C or C++ compiler preprocesses, by their ending, and by -x.
LANGUAGES = {".c": "c", ".i": "c", ".h": "c-header", ".m": "objective-c", ".mm": "objective-c++",
             ".M": "objective-c++", ".S": "assembler-with-cpp", ".sx": "assembler-with-cpp"}
CXX_ENDINGS = (".cc", ".cp", ".cxx", ".cpp", ".c++", ".C", ".CPP", ".ii", ".hh", ".hpp", ".hxx",
               ".h++", ".H", ".tcc", ".ipp", ".inl", ".cppm", ".ixx")
C_FAMILY = {"c", "c++", "objective-c", "objective-c++", "c-header", "c++-header",
            "objective-c-header", "objective-c++-header", "cpp-output", "c++-cpp-output",
            "assembler-with-cpp"}


def language(file, judged):
    """The language of the unit whose file is `file`: from -x (or /TC, /TP), else from its
    file's ending; None for one that is not C, C++ or Objective-C."""
    if judged.language:
        return judged.language if judged.language in C_FAMILY else None
    ending = os.path.splitext(file)[1]
    if ending in CXX_ENDINGS:
        return "c++"
    return LANGUAGES.get(ending)


@dataclass
class Plan:
    """How one unit runs, decided once here for every step after: the argv, the words that move
    the compiler's own header directories (and so the key under which they are asked for), the
    system directories of its flags, the flags dropped that could have changed its answer, how
    its compiler lists what it enters, and the macros its flags set."""

    argv: list
    key: tuple  # (the program's words, its language, the words that move its directories, style)
    system: list
    dropped: list
    # How its compiler lists the headers it enters: "-H" (gcc, clang, --compiler), or
    # "/showIncludes" (cl and clang-cl, whose flags are cl's and whose paths are Windows ones).
    style: str
    defined: frozenset  # the macros its -D (or /D) set: settings the build gives from outside
    unlisted: bool = False  # whether it reads files that its listing leaves out (see plan)


def _check_within(unit, file, judged, roots):
    """Refuses the unit that names a path outside `roots`: its file (`file`, as it is read here),
    a directory searched for headers, a forced include. Nothing a unit says widens them."""
    named = [("file", file), *(("directory searched for headers", d) for d in judged.directories),
             *(("-include or -imacros", f) for f in judged.files)]
    for what, path in named:
        if trees.outside(os.path.join(unit.directory, path), roots):
            raise Refused(f"its {what} {path} lies outside the tree: refused")


def _check_files(unit, file, judged):
    """Refuses the unit whose file (`file`, as it is read here), whose directories searched for
    headers or whose forced includes are not safe to read."""
    where = os.path.join(unit.directory, file)
    if files.regular(where) is None:
        raise Refused(f"{unit.file} does not exist" if not os.path.lexists(where) else
                      f"{unit.file} is not a regular file: refused")
    searched = [os.path.join(unit.directory, d) for d in judged.directories]
    for directory in searched:
        if under(files.real_path(directory), files.KERNEL) and os.name != "nt":
            raise Refused(f"it searches {directory} for headers, where the system's devices and "
                          "state are, no sources: refused")
    for forced in judged.files:
        for where in [os.path.join(unit.directory, forced)] + [os.path.join(d, forced)
                                                                for d in searched]:
            if os.path.lexists(where) and files.regular(where) is None:
                raise Refused(f"its -include or -imacros {forced} is not a regular file: refused")


def _argv(path, rest, style, judged, file):
    """What runs the unit: the compiler at `path` (with the --compiler words `rest`), told to
    list what it enters and write nothing, the flags kept, the unit's file."""
    source = os.path.join(".", file) if file.startswith(("-", "@")) else file
    if style == "/showIncludes":
        return msvc.argv(path, judged, source)
    own = ["-E", "-H", "-w"]
    if "clang" in program_name(files.real_path(path)):
        own.append("-fno-crash-diagnostics")  # no reproducers for a source that crashes it
    return [path, *rest, *own, *judged.kept, source]


def plan(unit, database, compiler=None, roots=None):
    """The Plan of `unit` of the database at `database`; Skipped or Refused where it does not run.
    `compiler` is the --compiler words, run instead of the unit's program; `roots` the tree (by
    default, the database's own)."""
    roots = roots or trees.of(database)
    if trees.outside(unit.directory, roots):
        raise Refused(f"its directory {unit.directory} lies outside the tree: refused")
    if not os.path.isdir(unit.directory):
        raise Refused(f"its directory {unit.directory} does not exist")
    program, words = program_words(unit.argv)
    if compiler:
        path, rest = compiler[0], compiler[1:]
    else:
        path, rest = resolve(program, roots), []
    within = trees.allowed(roots, [path])
    style = (programs.listing_of(path) or programs.listing_of(files.real_path(path))
             if not compiler else "-H")
    judge = msvc.judge if style == "/showIncludes" else allowlist.judge
    try:
        judged = judge(responses.expanded(words, unit.directory, within))
    except Failure as failure:
        raise Refused(str(failure)) from None
    file = windows_path(unit.file) if style == "/showIncludes" else unit.file
    lang = language(file, judged)
    if lang is None:
        ending = os.path.splitext(file)[1] or "no ending"
        raise Skipped(f"{judged.language or ending} is not C or C++")
    _check_within(unit, file, judged, within)
    _check_files(unit, file, judged)
    argv = _argv(path, rest, style, judged, file)
    key = (path, *rest), lang, tuple(judged.search), style
    system = [files.real_path(os.path.join(unit.directory, d)) for d in judged.system]
    # gcc's and clang's -H list neither a file of -include or -imacros nor what it includes.
    return Plan(argv, key, system, judged.dropped, style, frozenset(judged.defined),
                unlisted=style == "-H" and bool(judged.files))
