"""Which program runs a unit, and with what: decided before anything runs, from the database and
the file system alone, so that a database that came with a cloned repository cannot start a
program of its own choosing.

The program is gcc or clang (g++-12, clang++, cc or c++ where they lead to one of them), found on
the absolute directories of the PATH, or named by an absolute path; ccache, sccache, distcc and
icecc in front, and ccache's links named after a compiler, lead to the real compiler behind
them. Its real file, and the path it runs by, lie outside the tree (see tree), it is a compiled
program (no script), and its -v answers as gcc's or clang's does. It runs with -E -H -w first
(-M in place of -E for the listing alone), so that no word of the unit can take them as its
value, then the unit's flags that the allowlist (flags) keeps, then the unit's file; the
preprocessed text is thrown away and nothing is written. A unit of another program or language
is skipped; one that names a path outside the tree, or whose program, file or forced include is
not safe to run, is refused."""

import os
import re
import shlex
from collections import Counter
from dataclasses import dataclass

from guardgen_common import entries, files, programs
from guardgen_common.failure import Failure
from guardgen_common.files import under
from guardgen_common.processes import run
from guardgen_common.system import windows_path

from . import flags as allowlist
from . import msvc
from . import tree as trees

WRAPPERS = {"ccache", "sccache", "distcc", "icecc"}

# The sources a C or C++ compiler preprocesses, by their ending, and by -x.
LANGUAGES = {".c": "c", ".i": "c", ".h": "c-header", ".m": "objective-c", ".mm": "objective-c++",
             ".M": "objective-c++", ".S": "assembler-with-cpp", ".sx": "assembler-with-cpp"}
CXX_ENDINGS = (".cc", ".cp", ".cxx", ".cpp", ".c++", ".C", ".CPP", ".ii", ".hh", ".hpp", ".hxx",
               ".h++", ".H", ".tcc", ".ipp", ".inl", ".cppm", ".ixx")
C_FAMILY = {"c", "c++", "objective-c", "objective-c++", "c-header", "c++-header",
            "objective-c-header", "objective-c++-header", "cpp-output", "c++-cpp-output",
            "assembler-with-cpp"}


class Skipped(Failure):
    """A unit that is not for this audit: another program or another language."""


class Refused(Failure):
    """A unit that is not safe to run: counted as failed, with the reason."""


def _name(path):
    name = os.path.basename(path)
    return name[:-4] if name.lower().endswith(".exe") else name


def search_path(roots=()):
    """The directories of the PATH that may be searched: absolute ones only, and none inside
    `roots` (the database's tree). An empty entry or a relative one means the directory a
    program happens to run in."""
    found = []
    for d in os.environ.get("PATH", "").split(os.pathsep):
        if d and os.path.isabs(d) and "\0" not in d and not under(os.path.realpath(d), roots) \
                and not under(os.path.normpath(d), roots) and d not in found:
            found.append(d)
    return found


def on_path(name, past_wrappers=True):
    """The first `name` on the PATH's absolute directories that is a program, passing over those
    that lead to a wrapper (ccache's links named after a compiler); None where there is none."""
    for directory in search_path():
        candidate = os.path.join(directory, name)
        if files.executable(candidate) and not (
                past_wrappers and _name(os.path.realpath(candidate)) in WRAPPERS):
            return candidate
    return None


def innermost_top(directory):
    """The top of the innermost work tree that holds `directory` (where git, run there, takes a
    patch's paths from), or None where no .git encloses it."""
    here = directory
    while not os.path.lexists(os.path.join(here, ".git")):
        parent = os.path.dirname(here)
        if parent == here:
            return None
        here = parent
    return here


def project_top(database, units):
    """The directory a patch's paths start from, where git apply takes it: the top of the work
    tree that holds the most of the units' files (the first by name on a tie), else that of the
    database's directory; outside git, the directory the database's and the units' files
    share, else the one the units' share."""
    sources = [os.path.dirname(os.path.realpath(u.path)) for u in units]
    tops = Counter(t for t in map(innermost_top, sources) if t)
    if tops:
        return min(tops, key=lambda t: (-tops[t], t))
    directory = os.path.dirname(os.path.realpath(database))
    found = innermost_top(directory)
    if found:
        return found
    try:
        shared = os.path.commonpath([directory, *sources])
        if os.path.dirname(shared) == shared and sources:
            shared = os.path.commonpath(sources)
    except ValueError:  # on two drives
        shared = directory
    return shared


def program_words(argv):
    """The unit's program and the words after it, the wrappers in front taken away."""
    while len(argv) > 1 and _name(argv[0]) in WRAPPERS:
        argv = argv[1:]
    return argv[0], argv[1:]


def resolve(program, roots):
    """The absolute path that `program` (as a unit names it) runs by, once it is known to be gcc
    or clang outside `roots`, a compiled program; else Skipped or Refused with the reason."""
    if "\0" in program:
        raise Refused(f"its compiler {program!r} holds a NUL: refused")
    if os.path.normpath(program).startswith("/proc/"):
        raise Refused(f"its compiler '{program}' is a path through /proc, which leads elsewhere "
                      "for each process: refused")
    if os.path.isabs(program):
        path = os.path.normpath(program)
        if not files.executable(path):
            raise Refused(f"its compiler '{program}' is no program that can be run")
    elif os.sep in program or (os.altsep and os.altsep in program):
        raise Refused(f"its compiler '{program}' is a path into the build tree: refused")
    else:
        path = on_path(program)
        if path is None:
            if programs.listing_of(program) is None and _name(program) not in ("cc", "c++"):
                raise Skipped(_other(program))
            raise Refused(f"its compiler '{program}' is not found on the PATH")
    if _name(os.path.realpath(path)) in WRAPPERS:
        # A wrapper's link named after the compiler: the compiler of that name behind it.
        wrapper, path = _name(os.path.realpath(path)), on_path(os.path.basename(path))
        if path is None:
            raise Refused(f"its compiler '{program}' is {wrapper}, and no "
                          f"{os.path.basename(program)} behind it is found on the PATH")
    # Run by the real directory and the name in it: a link's name says how a compiler behaves
    # (clang++), while the directory holds no /proc/self/cwd or link that could lead elsewhere
    # once the program runs in the unit's directory.
    path = os.path.join(os.path.realpath(os.path.dirname(path)), os.path.basename(path))
    real = os.path.realpath(path)
    for where in (real, os.path.dirname(path)):
        if under(where, roots):
            raise Refused(f"its compiler '{program}' lies in the database's tree ({where}): "
                          "refused, as only a compiler installed apart from the build is run")
    if programs.listing_of(real) is None:
        raise Skipped(_other(program))
    if not compiled(real):
        raise Refused(f"its compiler '{program}' ({real}) is a script or another file, not a "
                      "compiled program: refused, as only a real compiler is run")
    return path


def apart(path, roots):
    """Whether the program at `path` (absolute) is a compiled one installed apart from the build:
    neither its real file nor its directory under `roots`, as resolve asks of a unit's compiler."""
    real = os.path.realpath(path)
    return (os.path.isabs(path) and not under(real, roots) and
            not under(os.path.dirname(path), roots) and compiled(real))


# How a compiled program's file begins: ELF here, PE on Windows.
MAGIC = b"MZ" if os.name == "nt" else b"\x7fELF"


def compiled(path):
    """Whether `path` is a regular file that begins as a compiled program does: its first bytes
    read, without following a device or a FIFO."""
    try:
        with files.open_regular(path, limit=None) as f:
            return f.read(len(MAGIC)) == MAGIC
    except OSError:
        return False


def _other(program):
    """Why a unit of `program`, which is not gcc, clang, cl or clang-cl, is skipped."""
    return (f"{_name(program)} is not a C or C++ compiler that lists its headers (gcc, clang, cl "
            "or clang-cl)")


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
        if under(os.path.realpath(directory), files.KERNEL) and os.name != "nt":
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
    if "clang" in _name(os.path.realpath(path)):
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
    roots = roots or tree(database, unit)
    if compiler:
        path, rest = compiler[0], compiler[1:]
    else:
        path, rest = resolve(program, roots), []
    within = trees.allowed(roots, [path])
    style = (programs.listing_of(path) or programs.listing_of(os.path.realpath(path))
             if not compiler else "-H")
    judge = msvc.judge if style == "/showIncludes" else allowlist.judge
    try:
        judged = judge(allowlist.expanded(words, unit.directory, within))
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
    system = [os.path.realpath(os.path.join(unit.directory, d)) for d in judged.system]
    # gcc's and clang's -H list neither a file of -include or -imacros nor what it includes.
    return Plan(argv, key, system, judged.dropped, style, frozenset(judged.defined),
                unlisted=style == "-H" and bool(judged.files))


def chosen_compiler(words):
    """The --compiler words with their program found as plan runs it: on the PATH's absolute
    directories, or by an absolute path."""
    program = words[0]
    path = program if os.path.isabs(program) else on_path(program, past_wrappers=False)
    if path is None or not files.executable(path):
        raise Failure(f"--compiler '{shlex.join(words)}': {program} is not found")
    return [path, *words[1:]]


def check_listing(compiler, timeout, directory, given):
    """Refuses the --compiler words `compiler` (`given` as the user wrote them) unless the
    program lists the headers it enters, as gcc and clang do with -H: tried in `directory` on a
    source that includes a header of its own."""
    with open(os.path.join(directory, "probe.h"), "w") as f:
        f.write("int probe;\n")
    with open(os.path.join(directory, "probe.c"), "w") as f:
        f.write('#include "probe.h"\n')
    _, status, _, listing = run([*compiler, "-E", "-H", "probe.c"], directory, timeout)
    listed = entries.entered(listing.decode(errors="replace"), directory)
    if status != 0 or os.path.realpath(os.path.join(directory, "probe.h")) not in listed:
        raise Failure(f"--compiler '{given}' does not list the headers it enters "
                      "(as gcc and clang do with -H): refused, as the audit would have nothing "
                      "to count")


# How gcc and clang (clang-cl too) name themselves in what -v says.
ANSWER = re.compile(r"^(?:.* )?(gcc|clang) version \S", re.MULTILINE)


def _probe(program, lang, moving, directory, timeout):
    """(the directories, an error, what the program answered as: "gcc", "clang" or None)."""
    language = ["-x", lang] if lang else []
    _, status, _, said = run([*program, *moving, *language, "-E", "-v", os.devnull], directory,
                             timeout)
    text = said.decode(errors="replace")
    answer = ANSWER.search(text)
    answer = answer[1] if answer else None
    found, inside = [], False
    for line in text.splitlines():
        if line.startswith("#include <...> search starts here:"):
            inside = True
        elif line.startswith("End of search list."):
            break
        elif inside:
            found.append(os.path.realpath(line.strip().split(" (")[0]))
    if status != 0 or not found:
        return None, entries.first_error(text) or f"it ended with status {status}", answer
    return found, None, answer


def probe(key, directory, timeout, say):
    """(the directories a compiler searches for <...> of its own, for the `key` of a Plan; what
    it answered as: "gcc", "clang", "cl", or None for a program that is none of them). The
    directories are from its -v, between "#include <...> search starts here:" and "End of
    search list." (cl has no -v: its INCLUDE variable). Where the flags that move them make it
    fail, that is said, and the compiler's defaults are taken; where it fails without them too,
that is said, and every header counts as the build's own."""
    program, lang, moving, style = key
    if style == "/showIncludes":
        if "clang" not in _name(program[0]):
            return msvc.include_directories(), "cl"
        program = (*program, "/nologo", "/TP" if "++" in lang else "/TC")
        lang, moving = None, ()
    found, error, answer = _probe(program, lang, moving, directory, timeout)
    shown = shlex.join([*program[:1], *moving])
    if found is None and moving:
        found, _, again = _probe(program, lang, (), directory, timeout)
        answer = answer or again
        if found is not None:
            say(f"'{shown}' did not say where its own headers are ({error}): its defaults are "
                "taken, and headers outside them count as the build's own")
    if found is None and answer is not None:
        say(f"'{shown}' did not say where its own headers are ({error})"
            f"{', nor without those flags' if moving else ''}: every header its units enter "
            "counts as the build's own")
    return found or [], answer
