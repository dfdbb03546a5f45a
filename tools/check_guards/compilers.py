"""Which program runs a unit, and with what: decided before anything runs, from the database and
the file system alone, so that a database that came with a cloned repository cannot start a
program of its own choosing.

The program is gcc or clang (g++-12, clang++, cc or c++ where they lead to one of them), found on
the absolute directories of the PATH, or named by an absolute path; ccache, sccache, distcc and
icecc in front, and ccache's links named after a compiler, lead to the real compiler behind
them. Its real file, and the path it runs by, lie outside the database's tree and the unit's
directory. It runs with -E -H -w first, so that no word of the unit can take them as its value,
then the unit's flags that the allowlist (flags) keeps, then the unit's file; the preprocessed
text is thrown away and nothing is written. A unit of another program or language is skipped;
one whose program, file or forced include is not safe to run is refused."""

import os
import shlex
import stat

from guardgen_common import entries
from guardgen_common.processes import Failure, run

from . import flags as allowlist
from . import msvc

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


def search_path():
    """The directories of the PATH that may be searched: absolute ones only. An empty entry or a
    relative one means the directory a program happens to run in."""
    return [d for d in os.environ.get("PATH", "").split(os.pathsep) if d and os.path.isabs(d)]


def _executable(path):
    try:
        return stat.S_ISREG(os.stat(path).st_mode) and os.access(path, os.X_OK)
    except (OSError, ValueError):
        return False


def on_path(name, past_wrappers=True):
    """The first `name` on the PATH's absolute directories that is a program, passing over those
    that lead to a wrapper (ccache's links named after a compiler); None where there is none."""
    for directory in search_path():
        candidate = os.path.join(directory, name)
        if _executable(candidate) and not (
                past_wrappers and _name(os.path.realpath(candidate)) in WRAPPERS):
            return candidate
    return None


def under(path, directories):
    return any(path == d or path.startswith(d.rstrip(os.sep) + os.sep) for d in directories)


def repository_top(directory):
    """The top of the work tree that holds `directory` (where .git is), else None."""
    here = directory
    while True:
        if os.path.exists(os.path.join(here, ".git")):
            return here
        parent = os.path.dirname(here)
        if parent == here:
            return None
        here = parent


def tree(database, unit):
    """The directories that the database's own files may lie in, for `unit`: its repository's
    work tree (or the database's directory), what the database's directory and the unit's
    directory and file share, and the unit's directory."""
    top = os.path.dirname(database)
    source = os.path.dirname(unit.path)
    shared = os.path.commonpath([top, unit.directory, source])
    found = {repository_top(top) or top, shared, unit.directory}
    return sorted(os.path.realpath(d) for d in found)


def program_words(argv):
    """The unit's program and the words after it, the wrappers in front taken away."""
    while len(argv) > 1 and _name(argv[0]) in WRAPPERS:
        argv = argv[1:]
    return argv[0], argv[1:]


def resolve(program, roots):
    """The absolute path that `program` (as a unit names it) runs by, once it is known to be gcc
    or clang outside `roots`; else Skipped or Refused with the reason."""
    if "\0" in program:
        raise Refused(f"its compiler {program!r} holds a NUL: refused")
    if os.path.isabs(program):
        path = os.path.normpath(program)
        if not _executable(path):
            raise Refused(f"its compiler '{program}' is no program that can be run")
    elif os.sep in program or (os.altsep and os.altsep in program):
        raise Refused(f"its compiler '{program}' is a path into the build tree: refused")
    else:
        path = on_path(program)
        if path is None:
            if entries.listing_of(program) is None and _name(program) not in ("cc", "c++"):
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
    if entries.listing_of(real) is None:
        raise Skipped(_other(program))
    return path


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


def _regular(path):
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (OSError, ValueError):
        return False


class Plan:
    """How one unit runs: the argv, the words that move the compiler's own header directories
    (and so the key under which they are asked for), the system directories of its flags, and
    the flags dropped that could have changed its answer."""

    def __init__(self, argv, key, system, dropped):
        self.argv, self.key, self.system, self.dropped = argv, key, system, dropped


def plan(unit, database, compiler=None):
    """The Plan of `unit` of the database at `database`; Skipped or Refused where it does not run.
    `compiler` is the --compiler words, run instead of the unit's program."""
    if not os.path.isdir(unit.directory):
        raise Refused(f"its directory {unit.directory} does not exist")
    program, words = program_words(unit.argv)
    if compiler:
        path, rest = compiler[0], compiler[1:]
    else:
        path, rest = resolve(program, tree(database, unit)), []
    style = (entries.listing_of(path) or entries.listing_of(os.path.realpath(path))
             if not compiler else "-H")
    judge = msvc.judge if style == "/showIncludes" else allowlist.judge
    try:
        judged = judge(allowlist.expanded(words, unit.directory))
    except Failure as failure:
        raise Refused(str(failure)) from None
    file = msvc.path(unit.file) if style == "/showIncludes" else unit.file
    lang = language(file, judged)
    if lang is None:
        ending = os.path.splitext(file)[1] or "no ending"
        raise Skipped(f"{judged.language or ending} is not C or C++")
    if not _regular(os.path.join(unit.directory, file)):
        raise Refused(f"{unit.file} is not a regular file: refused")
    for forced in judged.files:
        where = os.path.join(unit.directory, forced)
        if os.path.lexists(where) and not _regular(where):
            raise Refused(f"its -include or -imacros {forced} is not a regular file: refused")
    source = os.path.join(".", file) if file.startswith(("-", "@")) else file
    if style == "/showIncludes":
        argv = msvc.argv(path, judged, source)
    else:
        own = ["-E", "-H", "-w"]
        if "clang" in _name(os.path.realpath(path)):
            own.append("-fno-crash-diagnostics")  # no reproducers for a source that crashes it
        argv = [path, *rest, *own, *judged.kept, source]
    key = (path, *rest), lang, tuple(judged.search), style
    system = [os.path.realpath(os.path.join(unit.directory, d)) for d in judged.system]
    return Plan(argv, key, system, judged.dropped)


def chosen_compiler(words):
    """The --compiler words with their program found as plan runs it: on the PATH's absolute
    directories, or by an absolute path."""
    program = words[0]
    path = program if os.path.isabs(program) else on_path(program, past_wrappers=False)
    if path is None or not _executable(path):
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


def _probe(program, lang, moving, directory, timeout):
    language = ["-x", lang] if lang else []
    _, status, _, said = run([*program, *moving, *language, "-E", "-v", os.devnull], directory,
                             timeout)
    text = said.decode(errors="replace")
    found, inside = [], False
    for line in text.splitlines():
        if line.startswith("#include <...> search starts here:"):
            inside = True
        elif line.startswith("End of search list."):
            break
        elif inside:
            found.append(os.path.realpath(line.strip().split(" (")[0]))
    if status != 0 or not found:
        return None, entries.first_error(text) or f"it ended with status {status}"
    return found, None


def default_directories(key, directory, timeout, say):
    """The directories a compiler searches for <...> of its own, for the `key` of a Plan: from its
    -v, between "#include <...> search starts here:" and "End of search list." (cl has no -v:
    its INCLUDE variable). Where the flags that move them make it fail, that is said, and the
    compiler's defaults are taken."""
    program, lang, moving, style = key
    if style == "/showIncludes":
        if "clang" not in _name(program[0]):
            return msvc.include_directories()
        program = (*program, "/nologo", "/TP" if "++" in lang else "/TC")
        lang, moving = None, ()
    found, error = _probe(program, lang, moving, directory, timeout)
    if found is None and moving:
        found, _ = _probe(program, lang, (), directory, timeout)
        if found is not None:
            say(f"'{shlex.join([*program[:1], *moving])}' did not say where its own headers are "
                f"({error}): its defaults are taken, and headers outside them count as the "
                "build's own")
    if found is None:
        say(f"'{shlex.join([*program[:1], *moving])}' did not say where its own headers are "
            f"({error}){', nor without those flags' if moving else ''}: every header its units "
            "enter counts as the build's own")
    return found or []
