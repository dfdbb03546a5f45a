"""The flags of an MSVC-style unit (cl, clang-cl) that reach its compiler: the same allowlist idea
as flags, with cl's options, written with / or -. It runs as COMPILER /nologo /showIncludes /E /w,
then what is kept, then its file: /showIncludes lists each header entered on standard error,
one space deeper for each level of nesting."""

import os
import re

from .flags import Flags, shown

# Options with one value, joined (/Iinc) or as the next word (/I inc); passed joined.
VALUED = ("I", "D", "U", "FI", "external:I", "imsvc")
# Options that change what the preprocessor reads or defines, passed as they are.
KEPT = re.compile(
    r"(std:[\w+.]+|TC|TP|X|u|J|GR-?|EH[ascr-]*|MDd?|MTd?|LDd?|Zc:[\w:-]+|permissive-?|openmp(:\w+)?"
    r"|arch:\w+|utf-8|(source|execution)-charset:[\w-]+|validate-charset-?|Za|Ze|Gd|Gr|Gz|Gv"
    r"|vm[bgsmv]|volatile:\w+|O[12bdgistxy]\d?-?|clr(:\w+)?|kernel-?|fp:\w+|Qspectre-?"
    r"|favor:\w+|m32|m64|fms-compatibility-version=[\d.]+|-target=[\w.-]+)$")
# Dropped without a word: they write a file, warn, link or tune code.
QUIET = re.compile(
    r"(c|nologo|showIncludes|E|EP|P|Zs|w|W[0-4]|Wall|WX-?|w[deo1-4]\d+|Z[i7I]|FS|MP\d*|bigobj"
    r"|F[oedaimRr].*|G[ySLlFTw]-?|GS-?|guard:\w+|RTC\w+|sdl-?|errorReport:\w+|diagnostics:\w+"
    r"|external:W\d|experimental:\w+|analyze-?|Qpar-?|JMC-?|link|ZH:\w+|options:\w+|Brepro)$")
# Dropped and named, with the next word: a response file that cl itself would read.
NAMED_WITH_VALUE = ("Xclang", "clang:", "Yc", "Yu", "Fp", "B1", "B2", "Bx", "FU", "AI", "d1",
                    "d2", "Tc", "Tp")


def path(value):
    """A path from a Windows build, taken here: its backslashes are separators on Windows
    alone."""
    return value if os.name == "nt" else value.replace("\\", "/")


def judge(words):
    """The Flags of an MSVC-style unit whose arguments after its program are `words`."""
    flags = Flags()
    i = 0
    while i < len(words):
        word = words[i]
        following = words[i + 1] if i + 1 < len(words) else None
        i += 1
        if not word.startswith(("/", "-")) or len(word) == 1 or (
                word.startswith("/") and os.name != "nt" and os.path.exists(word)):
            flags.inputs.append(path(word))
            continue
        body = word[1:]
        valued = next((v for v in sorted(VALUED, key=len, reverse=True)
                       if body.startswith(v) and (v != "I" or not body.startswith("Imsvc"))),
                      None)
        if valued:
            value = body[len(valued):]
            if not value:
                value, i = following, i + 1
            if value is None or value.startswith("@"):
                continue
            if valued in ("D", "U"):
                flags.kept.append(f"/{valued}{value}")
                continue
            value = path(value)
            flags.kept.append(f"-imsvc{value}" if valued == "imsvc" else f"/{valued}{value}")
            if valued == "FI":
                flags.files.append(value)
            elif valued in ("external:I", "imsvc"):
                flags.system.append(value)
            continue
        if KEPT.match(body):
            flags.kept.append(word)
            if body in ("TC", "TP"):
                flags.language = "c" if body == "TC" else "c++"
            continue
        if QUIET.match(body):
            continue
        named = next((n for n in NAMED_WITH_VALUE if body.startswith(n)), None)
        if named:
            flags.dropped.append(word[0] + named)
            if body == named and named in ("Xclang", "Fp", "FU", "AI"):
                i += 1
            continue
        flags.dropped.append(shown(word))
    return flags


def argv(path, judged, source):
    """What runs an MSVC-style unit: no banner, the headers listed, the text preprocessed to
    standard output (thrown away), no warnings."""
    return [path, "/nologo", "/showIncludes", "/E", "/w", *judged.kept, source]


def include_directories():
    """The system's header directories of cl, as its INCLUDE variable lists them."""
    return [os.path.realpath(d) for d in os.environ.get("INCLUDE", "").split(";") if d]
