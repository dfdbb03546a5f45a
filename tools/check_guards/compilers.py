"""Which program runs a unit, and with what. The unit's own flags, less those that write a file,
and -E -H, with the preprocessed text thrown away: gcc and clang then list on standard error
every header they enter, and nothing is written anywhere.

What runs is decided before anything runs, from the database alone: a unit runs only where its
program is gcc or clang (g++-12, /usr/bin/clang++, cc or c++ where they lead to one of them, a
ccache in front taken away), so that a database that came with a cloned repository cannot start
a program of its own choosing. Anything else is refused by name, unless --compiler names the
program to use."""

import os
import shlex
import shutil
import tempfile

from guardgen_common import entries
from guardgen_common.processes import Failure, run

WRAPPERS = ("ccache", "ccache.exe")

# The options that write a file: taken away with their value (as the next word, or joined to
# the option), alone, or wherever a word starts so.
WRITE_WITH_VALUE = ("-o", "-MF", "-MT", "-MQ", "-MJ", "-dumpdir", "-dumpbase", "-dumpbase-ext",
                    "--serialize-diagnostics")
WRITE_ALONE = ("-c", "-S", "-E", "-H", "-M", "-MM", "-MD", "-MMD", "-MG", "-MP", "-save-temps",
               "-fsyntax-only")
WRITE_PREFIXES = ("-save-temps=", "-ftime-trace", "-fdump-", "-Wp,-MD", "-Wp,-MMD", "-fstack-usage",
                  "-fcallgraph-info", "--output=")


def flags_to_keep(words):
    """`words`, the unit's arguments after its program, less every option that writes a file."""
    kept, skip = [], False
    for word in words:
        if skip:
            skip = False
        elif word in WRITE_WITH_VALUE:
            skip = True
        elif word in WRITE_ALONE or word.startswith(WRITE_PREFIXES):
            pass
        elif any(word.startswith(option) and len(word) > len(option)
                 for option in WRITE_WITH_VALUE if not option.startswith("--")):
            pass
        else:
            kept.append(word)
    return kept


def program_words(unit):
    """The unit's program as its database gives it, and the words after it, a ccache in front
    taken away."""
    argv = unit.argv
    if os.path.basename(argv[0]) in WRAPPERS and len(argv) > 1:
        argv = argv[1:]
    return argv[0], argv[1:]


def resolve(program, unit):
    """The file that `program` of `unit` runs, links resolved. Named alone, it is looked up on
    the PATH; an absolute path is itself; a path relative to the build is refused, as it leads
    into the tree that the database came with."""
    if os.path.isabs(program):
        found = program if os.path.isfile(program) else None
    elif os.sep in program or (os.altsep and os.altsep in program):
        raise Failure(f"{unit.path}: its compiler '{program}' is a path into the build tree: "
                      "refused (give the compiler to use with --compiler)")
    else:
        found = shutil.which(program)
    if found is None:
        raise Failure(f"{unit.path}: its compiler '{program}' is not found")
    return os.path.realpath(found)


def checked_program(unit):
    """The program that runs `unit`, as its database names it, once it is known to be gcc or
    clang; else a Failure that names it."""
    program, _ = program_words(unit)
    real = resolve(program, unit)
    if entries.listing_of(real) != "-H":
        leads = "" if os.path.basename(real) == os.path.basename(program) else f" (it runs {real})"
        raise Failure(f"{unit.path}: its compiler '{program}'{leads} is not gcc or clang: refused, "
                      "as only they are known to list the headers they enter; give the compiler "
                      "to use with --compiler")
    return program


def audit_argv(unit, compiler=None):
    """What runs `unit` for the audit: its program (or the `compiler` words), its flags less those
    that write a file, and -E -H."""
    program, words = program_words(unit)
    return [*(compiler or [program]), *flags_to_keep(words), "-E", "-H"]


def check_listing(compiler, timeout):
    """Refuses the --compiler words `compiler` unless the program lists the headers it enters,
    as gcc and clang do with -H: tried on a source that includes a header of its own."""
    shown = shlex.join(compiler)
    if shutil.which(compiler[0]) is None:
        raise Failure(f"--compiler '{shown}': {compiler[0]} is not found")
    with tempfile.TemporaryDirectory(prefix="check-guards.") as directory:
        with open(os.path.join(directory, "probe.h"), "w") as f:
            f.write("int probe;\n")
        with open(os.path.join(directory, "probe.c"), "w") as f:
            f.write('#include "probe.h"\n')
        _, status, _, listing = run([*compiler, "-E", "-H", "probe.c"], directory, timeout)
        listed = entries.entered(listing.decode(errors="replace"), directory)
    if status != 0 or os.path.realpath(os.path.join(directory, "probe.h")) not in listed:
        raise Failure(f"--compiler '{shown}' does not list the headers it enters (as gcc and clang "
                      "do with -H): refused, as the audit would have nothing to count")


LANGUAGES = {".c": "c", ".i": "c", ".m": "objective-c", ".mm": "objective-c++"}
# The flags that change where a compiler looks for its own headers.
SEARCH_FLAGS = ("-m", "--target", "-target", "--sysroot", "-isysroot", "-stdlib", "-nostdinc",
                "-std", "--gcc-toolchain", "-B")


def language(unit, words):
    if "-x" in words[:-1]:
        return words[words.index("-x") + 1]
    return LANGUAGES.get(os.path.splitext(unit.file)[1].lower(), "c++")


def search_key(unit, compiler=None):
    """What decides a unit's compiler's own header directories: the program, the language and
    the flags that move them."""
    program, words = program_words(unit)
    kept = flags_to_keep(words)
    moving = tuple(w for w in kept if w.startswith(SEARCH_FLAGS))
    return (*(compiler or [program]),), language(unit, kept), moving


def default_directories(key, directory, timeout):
    """The directories a compiler searches for <...> of its own, for the `key` of search_key:
    from its -v, between "#include <...> search starts here:" and "End of search list."."""
    program, lang, moving = key
    _, _, _, said = run([*program, *moving, "-x", lang, "-E", "-v", os.devnull], directory,
                        timeout)
    found, inside = [], False
    for line in said.decode(errors="replace").splitlines():
        if line.startswith("#include <...> search starts here:"):
            inside = True
        elif line.startswith("End of search list."):
            break
        elif inside:
            found.append(os.path.realpath(line.strip().split(" (")[0]))
    return found


def system_flag_directories(unit):
    """The directories the unit's flags make system ones: -isystem, -idirafter and their kind."""
    _, words = program_words(unit)
    found, take = [], False
    for word in words:
        if take:
            found.append(word)
            take = False
        elif word in ("-isystem", "-idirafter", "-cxx-isystem"):
            take = True
        elif word.startswith(("-isystem", "-idirafter")) and word not in ("-isystem", "-idirafter"):
            found.append(word[len("-isystem" if word.startswith("-isystem") else "-idirafter"):])
    return [os.path.realpath(os.path.join(unit.directory, d)) for d in found]
