"""The flags of an MSVC-style unit (cl, clang-cl) that reach its compiler: the same allowlist idea
as flags, with cl's options, written with / or -. It runs as COMPILER /nologo /showIncludes /E /w,
then what is kept, then its file: /showIncludes lists each header entered on standard error,
one space deeper for each level of nesting."""

import os
import re

from guardgen_common.system import windows_path

from .flags import joined_or_next, judge_by, macro_name, named, quiet

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


def _input(flags, word, rest):
    if word.startswith(("/", "-")) and len(word) > 1 and not (
            word.startswith("/") and os.name != "nt" and os.path.exists(word)):
        return False
    flags.inputs.append(windows_path(word))
    return True


def _keep_valued(flags, name, value):
    if value is None or value.startswith("@"):
        return
    if name in ("D", "U"):
        # An empty value stays a word of its own: joined, the option would take the next word.
        flags.kept += [f"/{name}{value}"] if value else [f"/{name}", value]
        if name == "D":
            flags.defined.append(macro_name(value))
        return
    value = windows_path(value)
    option = "-imsvc" if name == "imsvc" else f"/{name}"
    flags.kept += [option + value] if value else [option, value]
    if name == "FI":
        flags.files.append(value)
    elif name in ("external:I", "imsvc"):
        flags.system.append(value)


_joined_or_next = joined_or_next(VALUED, _keep_valued, after=1)


def _valued(flags, word, rest):
    """The options of VALUED, but /Imsvc..., which is no /I."""
    return not word[1:].startswith("Imsvc") and _joined_or_next(flags, word, rest)


def _kept(flags, word, rest):
    body = word[1:]
    if not KEPT.match(body):
        return False
    flags.kept.append(word)
    if body in ("TC", "TP"):
        flags.language = "c" if body == "TC" else "c++"
    return True


def _named_with_value(flags, word, rest):
    body = word[1:]
    name = next((n for n in NAMED_WITH_VALUE if body.startswith(n)), None)
    if not name:
        return False
    flags.dropped.append(word[0] + name)
    if body == name and name in ("Xclang", "Fp", "FU", "AI"):
        next(rest, None)
    return True


# How a word is judged, in this order.
RULES = (_input, _valued, _kept, quiet(QUIET, after=1), _named_with_value, named)


def judge(words):
    """The Flags of an MSVC-style unit whose arguments after its program are `words`."""
    return judge_by(words, RULES)


def argv(path, judged, source):
    """What runs an MSVC-style unit: no banner, the headers listed, the text preprocessed to
    standard output (thrown away), no warnings."""
    return [path, "/nologo", "/showIncludes", "/E", "/w", *judged.kept, source]


def include_directories():
    """The system's header directories of cl, as its INCLUDE variable lists them."""
    return [os.path.realpath(d) for d in os.environ.get("INCLUDE", "").split(";") if d]
