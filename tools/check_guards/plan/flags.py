"""Which of a unit's flags reach its compiler: an allowlist. Only the option families known to
change what the preprocessor reads or defines pass, each with its known number of values, and
they pass in one spelling that no compiler reads otherwise (the value joined where it can be).
Everything else is dropped: what only writes a file, links, warns or tunes code silently; the
rest (a program to start, code to load, a configuration to read, or an option not known here) is
named once per run, as it could have changed the answer. Response files (@FILE) are read first
(responses), and what they hold is judged the same way."""

import re
from dataclasses import dataclass, field

# Options with one value, joined (-Idir) or as the next word (-I dir); passed joined.
JOINED_OR_NEXT = ("-I", "-D", "-U", "-iquote", "-isystem", "-idirafter", "-cxx-isystem",
                  "-iframework", "-isysroot", "-F", "-x")
# Those of them whose value is a directory searched for headers.
DIRECTORY_OPTIONS = ("-I", "-iquote", "-isystem", "-idirafter", "-cxx-isystem", "-iframework",
                     "-isysroot", "-F")
# Options whose value is only ever the next word; passed as two words.
NEXT_ONLY = ("-include", "-imacros", "-target", "-arch")
# Options written with = (or, for --sysroot, as two words too); passed with =.
EQUALS = ("--sysroot", "--target", "-std", "--std", "-stdlib", "--stdlib")
ALONE = {"-nostdinc", "-nostdinc++", "-nostdlibinc", "-nobuiltininc", "-pthread", "-ansi",
         "-undef", "-trigraphs", "-traditional-cpp", "-fopenmp", "-fno-openmp"}
OPTIMIZE = re.compile(r"-O([0-3sgz]|fast)?$")
# -f options that define or undefine macros (or change what the preprocessor accepts).
F_MACROS = re.compile(
    r"-f(no-)?(openmp|openmp-simd|openacc|exceptions|cxx-exceptions|rtti|pic|PIC|pie|PIE|"
    r"short-wchar|signed-char|unsigned-char|fast-math|finite-math-only|math-errno|"
    r"stack-protector(-strong|-all|-explicit)?|gnu89-inline|inline|char8_t|coroutines|concepts|"
    r"sized-deallocation|aligned-new|threadsafe-statics|ms-extensions|ms-compatibility|declspec|"
    r"blocks|gnu-keywords|operator-names|dollars-in-identifiers|extended-identifiers|freestanding|"
    r"hosted|gnu-runtime|next-runtime|objc-arc|objc-exceptions|altivec|zvector|wchar-type|"
    r"trapping-math|rounding-math|asm|builtin|strict-enums|double-square-bracket-attributes)$"
    r"|-f(openmp=libg?omp|cf-protection(=\w+)?|sanitize=[\w,-]+|no-sanitize=[\w,-]+|"
    r"ms-compatibility-version=[\d.]+|(wide-)?exec-charset=[\w-]+|input-charset=[\w-]+|"
    r"(macro|file)-prefix-map=[^=]*=.*|visibility=\w+|ms-runtime-lib=[\w-]+)$")
# -m options: the target's machine; none starts a program or loads code, but -mllvm and -mmlir
# pass their value on to the code generator, whose options can write files.
M_MACHINE = re.compile(r"-m(?!llvm|mlir)[A-Za-z0-9][\w.=,+-]*$")
STANDARD = re.compile(r"[\w+.-]+$")
TARGET = re.compile(r"[\w.-]+$")

# Dropped without a word: they write a file, warn, link or tune code, never what is included.
# Those with a value take the next word along.
QUIET_WITH_VALUE = {"-o", "-MF", "-MT", "-MQ", "-MJ", "-dumpdir", "-dumpbase", "-dumpbase-ext",
                    "--serialize-diagnostics", "-serialize-diagnostics", "-Xlinker",
                    "-Xassembler", "-aux-info", "-L", "-l", "-z", "-u", "-T", "--output"}
QUIET = re.compile(
    r"-[cSEHvsPwC]$|-CC$|-M[DGMP]?$|-MMD$|-M[FTQJ].+|-W(?!p,).*|-g.*|-pipe$|-pedantic.*|-o.+|"
    r"-save-temps.*|--save-temps.*|--output=.*|--ld-path=.*|-fuse-ld=.*|-fsyntax-only$|-L.+|"
    r"-l.+|-shared$|-static.*|-rdynamic$|"
    r"-f(no-)?(diagnostics-.*|color-diagnostics|caret-diagnostics|show-column|message-length=.*|"
    r"function-sections|data-sections|strict-aliasing|strict-overflow|omit-frame-pointer|common|"
    r"unroll-loops|lto.*|profile-.*|tree-.*|ipa-.*|inline-.*|stack-clash-protection|"
    r"asynchronous-unwind-tables|unwind-tables|semantic-interposition|plt|ident|"
    r"visibility-inlines-hidden|debug-.*|ssa-.*|merge-.*|reorder-.*|align-.*|vectorize|"
    r"slp-vectorize|tracer|var-tracking.*|keep-.*|use-cxa-atexit|permissive|"
    r"ms-volatile|no-access-control|delete-null-pointer-checks|wrapv|trapv|jump-tables|"
    r"time-report|time-trace.*|dump-.*|stack-usage|callgraph-info.*|record-gcc-switches|"
    r"working-directory=.*|debug-prefix-map=.*|pch-.*|constexpr-.*|template-.*|max-errors=.*)$")
# Dropped and named: their value is the next word, which goes with them.
NAMED_WITH_VALUE = {"-B", "--prefix", "-specs", "--specs", "--config", "-wrapper", "-Xclang",
                    "-mllvm", "-mmlir", "-ccc-install-dir", "-include-pch", "-Xarch_host",
                    "-Xarch_device", "-Xopenmp-target", "-Xcuda-ptxas", "-Xcuda-fatbinary",
                    "-gcc-toolchain"}


@dataclass
class Flags:
    """A unit's flags as judged: the words that reach the compiler, the files it is told to read
    first, the system directories it is given, the words that move its own header directories,
    its language if -x names one, the macros it sets, and what was dropped that could have
    changed the answer."""

    kept: list = field(default_factory=list)
    files: list = field(default_factory=list)  # -include and -imacros values
    system: list = field(default_factory=list)  # -isystem, -idirafter, -cxx-isystem values
    search: list = field(default_factory=list)  # for the compiler's -v probe
    directories: list = field(default_factory=list)  # every directory searched for headers
    language: str = None
    inputs: list = field(default_factory=list)  # words that are no option
    defined: list = field(default_factory=list)  # the macros that -D (or /D) sets
    dropped: list = field(default_factory=list)  # shown names, in order


def shown(word):
    """An option as it is named among the dropped: its name, without a value."""
    for name in NAMED_WITH_VALUE:
        if word.startswith(name):
            return name
    return word.split("=", 1)[0][:32] + ("=" if "=" in word else "")


def _value_option(word, names):
    """(name, joined value) where `word` is one of `names` or starts with one (the longest)."""
    found = [n for n in names if word == n or word.startswith(n)]
    if not found:
        return None
    name = max(found, key=len)
    return name, word[len(name):]


def judge_by(words, rules):
    """The Flags of a unit whose arguments after its program are `words`, each word judged by the
    first of `rules` that takes it. A rule is given the Flags, the word, and the words after it
    (an iterator, from which it takes a value of its own), and says whether it took the word; the
    last rule takes any word."""
    flags, rest = Flags(), iter(words)
    for word in rest:
        for rule in rules:
            if rule(flags, word, rest):
                break
    return flags


def joined_or_next(names, keep, after=0):
    """A rule for the options of `names` (looked for from the word's `after`-th character) with
    one value, joined or as the next word: keep(flags, name, value) takes it, the value None where
    the command ends first."""
    def rule(flags, word, rest):
        found = _value_option(word[after:], names)
        if not found:
            return False
        name, value = found
        keep(flags, name, value or next(rest, None))
        return True
    return rule


def quiet(pattern, after=0):
    """A rule that drops, without a word, the options that `pattern` matches (from the word's
    `after`-th character)."""
    def rule(flags, word, rest):
        return bool(pattern.match(word[after:]))
    return rule


def named(flags, word, rest):
    """The last rule: the word is dropped, and named."""
    flags.dropped.append(shown(word))
    return True


def _end_of_options(flags, word, rest):
    """--: every word after it is an input."""
    if word != "--":
        return False
    flags.inputs += rest
    return True


def _input(flags, word, rest):
    if word.startswith("-") and word != "-":
        return False
    flags.inputs.append(word)
    return True


def _for_preprocessor(flags, word, rest):
    """Options for the preprocessor itself (-Wp,A,B and -Xpreprocessor A): those of the allowlist
    pass as they are."""
    if word == "-Xpreprocessor":
        following = next(rest, None)
        parts, prefix = ([following] if following is not None else []), "-Xpreprocessor "
    elif word.startswith("-Wp,"):
        parts, prefix = word[4:].split(","), "-Wp,"
    else:
        return False
    for part in parts:
        if re.fullmatch(r"-[DUI].+", part):
            _keep_value(flags, part[:2], part[2:])
        elif part.startswith("-"):  # a value alone goes with its option
            flags.dropped.append(prefix + shown(part))
    return True


def _with_value(flags, word, rest):
    """Options whose value is the next word, dropped with it: quietly, or named."""
    if word not in QUIET_WITH_VALUE and word not in NAMED_WITH_VALUE:
        return False
    if word not in QUIET_WITH_VALUE:
        flags.dropped.append(word)
    next(rest, None)
    return True


def _alone(flags, word, rest):
    if not (word in ALONE or OPTIMIZE.match(word) or F_MACROS.match(word)
            or M_MACHINE.match(word)):
        return False
    flags.kept.append(word)
    if word.startswith(("-m", "-nostd", "-nobuiltininc")):
        flags.search.append(word)
    return True


def _equals(flags, word, rest):
    name = next((n for n in EQUALS if word.startswith(n + "=")), None)
    if name:
        value = word[len(name) + 1:]
    elif word == "--sysroot":
        name, value = word, next(rest, None)
    else:
        return False
    _keep_equals(flags, name, value, word)
    return True


def _next_only(flags, word, rest):
    if word not in NEXT_ONLY:
        return False
    _keep_next(flags, word, next(rest, None))
    return True


def _keep_value(flags, name, value):
    if value is None:
        return  # the option ends the command: nothing to take
    if name == "-x":
        if not STANDARD.match(value):
            flags.dropped.append("-x")
            return
        flags.language = value
    word = name + value
    # An empty value stays a word of its own: joined, the option would take the next word.
    flags.kept += [word] if value else [name, value]
    if name == "-D":
        flags.defined.append(macro_name(value))
    if name in DIRECTORY_OPTIONS:
        flags.directories.append(value)
    if name in ("-isystem", "-idirafter", "-cxx-isystem"):
        flags.system.append(value)
    if name == "-isysroot":
        flags.search.append(word)


def macro_name(value):
    """The macro that the value of a -D (or /D) sets: its name, before its = or its (."""
    return re.split(r"[=(]", value, 1)[0]


def _keep_equals(flags, name, value, word):
    checks = {"--sysroot": None, "--target": TARGET, "-std": STANDARD, "--std": STANDARD,
              "-stdlib": STANDARD, "--stdlib": STANDARD}
    pattern = checks[name]
    if value is None or value.startswith("@") or (pattern and not pattern.match(value)):
        flags.dropped.append(shown(word))
        return
    kept = f"{name}={value}"
    flags.kept.append(kept)
    if name == "--sysroot":
        flags.directories.append(value)
    if name != "-std" and name != "--std":
        flags.search.append(kept)


def _keep_next(flags, name, value):
    if value is None:
        return
    if name in ("-target", "-arch") and not TARGET.match(value):
        flags.dropped.append(name)
        return
    if value.startswith("@") or value.startswith("-"):
        # A compiler would read the first as a response file of its own.
        flags.dropped.append(name)
        return
    flags.kept += [name, value]
    if name in ("-include", "-imacros"):
        flags.files.append(value)
    else:
        flags.search += [name, value]


# How a word is judged, in this order.
RULES = (_end_of_options, _input, _for_preprocessor, _with_value, _alone, _equals, _next_only,
         joined_or_next(JOINED_OR_NEXT, _keep_value), quiet(QUIET), named)


def judge(words):
    """The Flags of a unit whose arguments after its program are `words` (response files already
    read)."""
    return judge_by(words, RULES)
