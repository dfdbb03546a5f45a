"""What a compiler says of itself, asked before the units run: the directories it searches for
<...> of its own, and whether it answers -v as gcc or clang does (cl: its INCLUDE variable); and
whether the --compiler lists the headers it enters, as gcc and clang do with -H."""

import os
import re
import shlex

from guardgen_common import entries
from guardgen_common.failure import Failure
from guardgen_common.processes import run_program

from . import msvc
from .program import program_name


def check_listing(compiler, timeout, directory, given):
    """Refuses the --compiler words `compiler` (`given` as the user wrote them) unless the
    program lists the headers it enters, as gcc and clang do with -H: tried in `directory` on a
    source that includes a header of its own."""
    with open(os.path.join(directory, "probe.h"), "w") as f:
        f.write("int probe;\n")
    with open(os.path.join(directory, "probe.c"), "w") as f:
        f.write('#include "probe.h"\n')
    _, status, _, listing = run_program([*compiler, "-E", "-H", "probe.c"], directory, timeout)
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
    _, status, _, said = run_program([*program, *moving, *language, "-E", "-v", os.devnull],
                                     directory, timeout)
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
        if "clang" not in program_name(program[0]):
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
