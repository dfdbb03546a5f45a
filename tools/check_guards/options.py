"""The command line's options: each with its help, the description --help gives (the causes'
lines from the catalogue), and the checks of what they are given and of how they go together."""

import argparse
import os

from guardgen_common.command import Parser, add_options, option, whole_number
from guardgen_common.measured import MIN_RUNS
from guardgen_common.failure import Failure

from . import ME
DEFAULT_LIMIT = 20
DEFAULT_TIMEOUT = 300.0
MAX_JOBS = 256
MAX_TIMEOUT = 1_000_000  # eleven days: beyond it, no clock of the system's waits


def positive(text):
    number = whole_number(text)
    if number is None:
        raise argparse.ArgumentTypeError(f"not a whole number above 0: '{text[:20]}'")
    return number


def jobs(text):
    # Each unit running holds a few descriptors: beyond this, a system's usual limit is reached.
    if positive(text) > MAX_JOBS:
        raise argparse.ArgumentTypeError(f"at most {MAX_JOBS} units run at once: '{text}'")
    return int(text)


def shard(text):
    first, _, last = text.partition("/")
    part, parts = whole_number(first), whole_number(last)
    if part is None or parts is None or part > parts:
        raise argparse.ArgumentTypeError(f"not I/N with I from 1 to N: '{text}'")
    return part, parts


DESCRIPTION = """\
Asks the compiler of a build which headers it enters more than once in a translation unit, says
why from each header's text, and what it costs. A database that came with a cloned repository is
taken as hostile: nothing from it runs but gcc or clang (cc and c++ where they lead to one;
ccache, sccache, distcc in front taken away), found on the PATH's absolute directories and lying
outside the database's tree; a unit of another program or language is skipped. The tree is the
outermost git work tree that holds the database (else its directory) and each --tree DIR, never
what the database says; a unit that names a path outside it, the system's directories and its
compiler's installation is refused. The tool's own reading and every compiler run in one
sandbox that sees only the tree, the system's directories and the compilers' installations.
Each unit runs as COMPILER -M -H -w (the listing of -E -H without the text), then its flags that
an allowlist keeps (-I, -D, -U, -isystem, -include, -std=, -x, -O, --sysroot, -target, the -f
and -m options that define macros), then its file, bounded in time, memory and listing; nothing
is written. What was dropped that could have changed the answer is named in one line.
--compiler names the program to use instead.

The table lists the headers of the build's own that some unit entered more than once, those
processed again first (their text read again) before those only scanned again (opened and
scanned to the guard's #endif), relative to the current directory where they lie below it:
the re-entries, the units, the bytes scanned again (no measure of time), the cause and its fix
with the lines to change:
{causes}
--patch writes the fixes as a patch for git apply run at the project's top (the top of the git
work tree that holds the units' files), wherever check-guards runs. A fix only adds lines: a
new guard of a fresh name around a header without a sound one (a macro the build may set from
outside is never taken for a guard), and #pragma once just before a guard's #endif, where it
moves no line the compiler numbers (at the top for a cycle, where it moves them down by one);
none for a header read again on purpose (a section outside its guard under a macro a unit may
set, a guard whose #define is conditional). So in every configuration a header's first entry
reads what it read before; that skipping its later entries changes nothing is proven in the
build's own configuration, on the tree with the patch bound over it read-only in the sandbox
(scratch copies with --no-sandbox): each unit's preprocessed text the same, else the assembly
it compiles to; each fixed header entered fewer times; -E timed before and after. A fix that
fails is withdrawn, its reason said in place of the fix; where every fix is, no patch is
written; where nothing is to fix, the patch is empty. The system's headers are summed in one
line. Exits with 1 if a unit failed to preprocess or was refused (each said in one line; where
most failed for one reason, such as a database made on another machine, that reason once), its
report still printed; if every fix of --patch was withdrawn, or no unit was audited; with
--baseline, also if a header is newly entered again. Off a terminal, where the run stands is
said every 30 s (CHECK_GUARDS_PROGRESS=SECONDS sets it)."""


# The options, each beside its help.
OPTIONS = [
    option("database", nargs="?", metavar="DATABASE",
           help="compile_commands.json, or the directory holding it (default: "
                "./compile_commands.json, else build/compile_commands.json)"),
    option("--tree", action="append", metavar="DIR",
           help="a directory of the build's sources beside the database's own tree (the "
                "outermost git work tree that holds the database, else its directory), "
                "such as the sources of an out-of-source build; repeatable. A unit that "
                "names a path outside the tree, the system's directories and its "
                "compiler's is refused"),
    option("--compiler", metavar="CMD",
           help="run every unit through this compiler instead, with the same flags "
                "(such as clang++ for a gcc build)"),
    option("-j", dest="jobs", type=jobs, default=min(os.cpu_count() or 1, MAX_JOBS),
           metavar="N", help="units run at once (default: the CPUs, "
                             f"{os.cpu_count() or 1} here)"),
    option("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
           help="stop a unit's compiler that takes longer, and count the unit as "
                f"failed (default: {DEFAULT_TIMEOUT:g})"),
    option("--limit", type=positive, default=DEFAULT_LIMIT, metavar="N",
           help=f"rows in the table at the most (default: {DEFAULT_LIMIT})"),
    option("--all", action="store_true",
           help="list the system's headers in the table too"),
    option("--json", metavar="FILE",
           help="also write the record of every header entered as JSON to FILE "
                "(- for standard output, instead of the table)"),
    option("--patch", metavar="FILE",
           help="also write the fix of the build's own headers entered again as a "
                "patch that git apply takes at the project's top, wherever this runs (- for "
                "standard output, instead of the table), once it is proven in the build's "
                "configuration, on the tree with the patch bound over it: the same "
                "preprocessed text or else the same assembly, each fixed header "
                "entered fewer times, -E timed before and after"),
    # The proof's rounds (its ROUNDS): its package is loaded only by a run that proves.
    option("--rounds", type=positive, default=MIN_RUNS, metavar="N",
           help="interleaved rounds of -E timed for the proof (default: "
                f"{MIN_RUNS}, the fewest that can measure a saving)"),
    option("--diagnostics", action="store_true",
           help="instead of the table, one line per header as gcc writes its "
                "warnings (PATH:LINE:COLUMN: warning: ... [check-guards-CAUSE]), "
                "then a note per #include behind it, as the compiler's tree has it "
                "(first reached, included again, included back while still open; "
                "another route with the #include lines that led to it): editors and CI "
                "logs make them links"),
    option("--sarif", metavar="FILE",
           help="also write the findings as SARIF 2.1.0 to FILE (- for standard "
                "output, instead of the table), for code-scanning services"),
    option("--baseline", metavar="RECORD",
           help="report only the headers entered again that this earlier --json "
                "record of the same build did not have, or now more often; exit "
                "with 1 if there is any, or a unit failed (a gate for pull "
                "requests); a record of another database is refused before any "
                "unit runs"),
    option("--shard", type=shard, metavar="I/N",
           help="audit only every N-th unit, from the I-th (from 1): the parts of a "
                "build too large for one machine, to be merged"),
    option("--no-sandbox", action="store_true",
           help="run without the sandbox of bubblewrap (bwrap): the tool reads the "
                "database and runs its compilers with the user's rights; only for a "
                "database that is trusted, or where bwrap cannot run"),
    option("--merge", nargs="+", metavar="RECORD",
           help="no audit: merge the JSON records of the parts into one report; "
                "refused where a part of the build is missing (named), unless "
                "--partial"),
    option("--inside", metavar="DATABASE", help=argparse.SUPPRESS),
    option("--partial", action="store_true",
           help="with --merge: merge the shards given though some of the build's are "
                "missing (they are named)"),
]


def described():
    # Loaded for --help alone: the process that starts the sandbox has no other need of it.
    from .audit import catalogue
    return DESCRIPTION.format(causes=catalogue.explained())


def parse_arguments(argv):
    parser = Parser(prog=ME, formatter_class=argparse.RawDescriptionHelpFormatter,
                    described=described)
    add_options(parser, OPTIONS)
    args = parser.parse_args(argv)
    if args.partial and not args.merge:
        raise Failure("--partial goes with --merge only")
    if not 0 < args.timeout <= MAX_TIMEOUT:  # also refuses nan
        raise Failure(f"--timeout must be a number of seconds above 0 and at most {MAX_TIMEOUT}: "
                      f"{args.timeout:g}")
    if args.merge and (args.database or args.shard or args.compiler or args.patch or args.tree):
        raise Failure("--merge takes records only: no database, --shard, --compiler, --patch or "
                      "--tree")
    if sum(1 for given in (args.json, args.patch, args.sarif) if given == "-") > 1:
        raise Failure("--json -, --patch - and --sarif - would share standard output: give files "
                      "to all but one")
    return args
