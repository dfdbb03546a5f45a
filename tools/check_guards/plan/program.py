"""The program that runs a unit, decided from the database and the file system alone: gcc or
clang (g++-12, clang++, cc or c++ where they lead to one of them), found on the absolute
directories of the PATH, or named by an absolute path; ccache, sccache, distcc and icecc in
front, and ccache's links named after a compiler, lead to the real compiler behind them. Its
real file, and the path it runs by, lie outside the tree (see tree), and it is a compiled
program (no script). A unit of another program is skipped; one whose program is not safe to
run is refused."""

import os
import shlex

from guardgen_common import files, programs
from guardgen_common.context import search_path
from guardgen_common.failure import Failure
from guardgen_common.files import under

WRAPPERS = {"ccache", "sccache", "distcc", "icecc"}


class Skipped(Failure):
    """A unit that is not for this audit: another program or another language."""


class Refused(Failure):
    """A unit that is not safe to run: counted as failed, with the reason."""


def program_name(path):
    """The name of the program at `path`, without its directory or an .exe ending."""
    name = os.path.basename(path)
    return name[:-4] if name.lower().endswith(".exe") else name


def on_path(name, past_wrappers=True):
    """The first `name` on the PATH's absolute directories that is a program, passing over those
    that lead to a wrapper (ccache's links named after a compiler); None where there is none."""
    for directory in search_path():
        candidate = os.path.join(directory, name)
        if files.executable(candidate) and not (
                past_wrappers and program_name(files.real_path(candidate)) in WRAPPERS):
            return candidate
    return None


def program_words(argv):
    """The unit's program and the words after it, the wrappers in front taken away."""
    while len(argv) > 1 and program_name(argv[0]) in WRAPPERS:
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
            if programs.listing_of(program) is None and program_name(program) not in ("cc", "c++"):
                raise Skipped(_other(program))
            raise Refused(f"its compiler '{program}' is not found on the PATH")
    if program_name(files.real_path(path)) in WRAPPERS:
        # A wrapper's link named after the compiler: the compiler of that name behind it.
        wrapper, path = program_name(files.real_path(path)), on_path(os.path.basename(path))
        if path is None:
            raise Refused(f"its compiler '{program}' is {wrapper}, and no "
                          f"{os.path.basename(program)} behind it is found on the PATH")
    # Run by the real directory and the name in it: a link's name says how a compiler behaves
    # (clang++), while the directory holds no /proc/self/cwd or link that could lead elsewhere
    # once the program runs in the unit's directory.
    path = os.path.join(files.real_path(os.path.dirname(path)), os.path.basename(path))
    real = files.real_path(path)
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
    real = files.real_path(path)
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
    return (f"{program_name(program)} is not a C or C++ compiler that lists its headers (gcc, "
            "clang, cl or clang-cl)")


def chosen(compiler):
    """The words of --compiler `compiler`, found (see chosen_compiler); None without one."""
    if not compiler:
        return None
    try:
        words = shlex.split(compiler)
    except ValueError as error:
        raise Failure(f"--compiler: {error}") from None
    if not words:
        raise Failure("--compiler: empty")
    return chosen_compiler(words)


def chosen_compiler(words):
    """The --compiler words with their program found as plan runs it: on the PATH's absolute
    directories, or by an absolute path."""
    program = words[0]
    path = program if os.path.isabs(program) else on_path(program, past_wrappers=False)
    if path is None or not files.executable(path):
        raise Failure(f"--compiler '{shlex.join(words)}': {program} is not found")
    return [path, *words[1:]]
