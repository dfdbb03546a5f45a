"""What differs for this tool between the systems it runs on: the name of the guardgen program
and the line ends it writes, and the preprocessors known by name."""

from guardgen_common.system import WINDOWS

GUARDGEN = "guardgen.exe" if WINDOWS else "guardgen"

# guardgen writes the platform's line ends: the bytes of each "\n" in its files.
LINE_END_BYTES = 2 if WINDOWS else 1

# The commands that preprocess a file, for the names the tool knows, and the ones it takes by
# default where they are installed.
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
