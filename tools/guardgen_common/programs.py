"""The programs the companions know by name, in one table: which list the headers they enter
and how, which are compilers that preprocess only when told to, and the commands that
preprocess a file for each name compare-preprocessors takes."""

import os
import re

from .system import WINDOWS

# gcc and clang under the names they are installed with (a target in front, a version behind),
# which list with -H; and cl and clang-cl, which list with /showIncludes.
GCC_OR_CLANG = re.compile(r"^(?:[\w.+-]+-)?(?:gcc|g\+\+|clang|clang\+\+)(?:-[0-9.]+)?(?:\.exe)?$")
CL = re.compile(r"^(?:cl|clang-cl)(?:-[0-9.]+)?(?:\.exe)?$", re.IGNORECASE)
# Compilers that preprocess only with -E (or /E): cc, c++ and tcc besides the above.
COMPILER = re.compile(r"^(.*-)?(gcc|g\+\+|cc|c\+\+|clang|clang\+\+|cl|clang-cl|tcc)(-[0-9.]+)?"
                      r"(\.exe)?$", re.IGNORECASE)

# The commands that preprocess a file, for the names compare-preprocessors knows, and the ones it
# takes by default where they are installed.
KNOWN_COMMANDS = {
    "gcc": "gcc -E",
    "clang": "clang -E",
    "tcc": "tcc -E",
    "mcpp": "mcpp",
    "cc": "cc -E",
    "cpp": "cpp",
    "cl": "cl /nologo /E",
    "clang-cl": "clang-cl /nologo /E",
}
DEFAULT_NAMES = ("gcc", "clang", "tcc", "mcpp", "cl") if WINDOWS else ("gcc", "clang", "tcc", "mcpp")


def listing_of(program):
    """How the program at `program` (a path or a name) lists the headers it enters: "-H",
    "/showIncludes", or None where it has no listing."""
    name = os.path.basename(program)
    if GCC_OR_CLANG.match(name):
        return "-H"
    if CL.match(name):
        return "/showIncludes"
    return None


def needs_e(program):
    """Whether `program` is a compiler that preprocesses only when given -E (or /E)."""
    return bool(COMPILER.match(os.path.basename(program)))
