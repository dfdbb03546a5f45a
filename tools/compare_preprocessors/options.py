"""The command line: its description, its options each beside its help, the defaults, and the
refusal in one line of a value out of range."""

import argparse
import os

from guardgen_common import measured, programs
from guardgen_common.command import Parser, add_options, whole_number
from guardgen_common.failure import Failure

from . import ME, records, verdicts

DEFAULT_COUNTS = (100, 1000, 10000, 20000)
DEFAULT_RUNS = 10
DEFAULT_TIMEOUT = 60.0


def parse_count(text):
    count = whole_number(text)
    if count is None:
        raise Failure(f"not a positive count (1 to 999999999): '{text}'")
    return count


DESCRIPTION = f"""\
Runs guardgen for each COUNT (default: {' '.join(map(str, DEFAULT_COUNTS))}) and for 0 in a fresh
temporary directory, writes once.h ("#pragma once" and the declaration) and onceCOUNT.c (COUNT
bare includes of it) beside its files, and times each preprocessor on the four styles:
  eg    egCOUNT.c, each include inside an external guard
  ig    igCOUNT.c, bare includes of the internally guarded guard.h
  ng    ngCOUNT.c, bare includes of the unguarded noguard.h
  once  onceCOUNT.c, bare includes of once.h
Runs are interleaved in a random order, and the fastest run at each count is fitted as
start-up + cost x count (least squares). The first table shows the cost in ns per include for
each style, with the interval that holds {measured.CONFIDENCE:.0%} of the fits to the runs
drawn again (bootstrap); a cost the runs do not pin down shows as an upper bound ("< 900") or
"not measurable". Then the start-up in ms, and two verdicts:
  guarded header  "skipped" if the preprocessor entered guard.h at most twice in {records.INCLUDES}
                  includes, "re-read" if about every time, by its own record: the listing of
                  gcc and clang (-H) and cl (/showIncludes), else the files it opened (strace),
                  each only where it shows noguard.h entered on each of 10 includes;
                  where neither does, by the clock, on headers of {verdicts.BODY_DECLARATIONS}
                  declarations: "skipped" if an include of the guarded one costs less than
                  {verdicts.BODY_SKIP_THRESHOLD} of one of the same body unguarded, "re-read" if
                  that or more, each only where that body costs {verdicts.BODY_FACTOR} times an ng
                  include or more; else "unclear"
  #pragma once    "honoured" if the once source at the largest count declares once,
                  "ignored" if once per include, "unclear" with fewer than two includes
A verdict of the clock needs {measured.MIN_RUNS} runs or more at each count, the unguarded
body's cost at its largest count at least {verdicts.SIGNAL_FACTOR:g} times the spread of the start-up, the
whole {verdicts.VERDICT_CONFIDENCE:.1%} interval of the ratio on one side, and the same side in the even and
the odd rounds fitted apart; else it is "unclear", and a line on standard error says whether
the runs or the counts were too few. An unclear verdict of the clock that more runs may
settle gets more rounds, as many again at the most. The JSON says for each verdict "how" it
was told, and for an unclear one why. A preprocessor whose output does not declare N times
for ngN.c and once for egN.c and igN.c is refused. Preprocessed output goes to /dev/null; the
declarations (the tokens extern int i ;, however spaced) are counted once per style in an
untimed first round.
The second table tells, from the output, whether #pragma once takes once.h included again as
./once.h, sub/../once.h, a symbolic or hard link, or an identical copy (same or other mtime)
for the same file. The third tells which spellings of an include guard are skipped, told as
the guarded header is (#ifndef, #if !defined, comments outside, an #else branch, a declaration
after #endif as the control; timed, on a large body, only where the clock alone can tell), and
whether guard.h is read again after #undef: from the declaration after the #undef in the
output, and from the record too where it tells."""

# The options, each flag beside its help (see command.add_options). -g's default, $GUARDGEN, is
# set as the command line is parsed.
OPTIONS = (
    (("counts",), dict(metavar="COUNT", nargs="*", help="a number of includes")),
    (("-g",), dict(dest="guardgen", metavar="GUARDGEN",
                   help="the guardgen program (default: $GUARDGEN, else the one installed "
                        "beside this tool or built in its source tree, else guardgen on the "
                        "PATH)")),
    (("-p",), dict(dest="preprocessors", metavar="PREPROCESSOR", action="append",
                   help="a name (" + ", ".join(programs.KNOWN_COMMANDS) + ") or a command that "
                        "takes a file name and writes the preprocessed text to standard "
                        "output, such as \"clang -E -P\"; one that writes it to a file "
                        "it is told takes {out} for that file, as \"tcc -E -o {out}\", "
                        "and {in} stands where the file to preprocess goes, if not last; "
                        "may be given more than once "
                        "(default: whichever of " + ", ".join(programs.DEFAULT_NAMES) +
                        " are installed)")),
    (("--runs",), dict(type=int, default=DEFAULT_RUNS, metavar="N",
                       help=f"timed runs per preprocessor, style and count (default: "
                            f"{DEFAULT_RUNS})")),
    (("--timeout",), dict(type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                          help="stop a run of a preprocessor that takes longer, and the tool "
                               f"with it (default: {DEFAULT_TIMEOUT:g})")),
    (("--seed",), dict(type=int, metavar="N",
                       help="the seed of the random order (default: a fresh one, which the "
                            "JSON records, so that an order can be repeated)")),
    (("--json",), dict(metavar="FILE",
                       help="also write the results as JSON to FILE (- for standard output, "
                            "instead of the table)")),
    (("--header",), dict(action="append", metavar="FILE",
                         help="ask whether each preprocessor skips this header when it is "
                              "included again, and why, from its shape: a regular file of the "
                              "current directory's tree (the outermost git work tree that "
                              "holds it, else the directory itself), never reached through a "
                              "link that leads out; may be given more than once. Without "
                              "counts, only this is asked (no timing)")),
    (("-D",), dict(dest="defines", action="append", metavar="NAME[=VALUE]",
                   help="a macro for every preprocessor, with --header; may be repeated")),
    (("-I",), dict(dest="include_dirs", action="append", metavar="DIR",
                   help="a directory on every preprocessor's include path, with --header (the "
                        "header's own is there already); may be repeated")),
    (("--no-sandbox",), dict(action="store_true",
                             help="run the preprocessors (and guardgen) without the sandbox of "
                                  "bubblewrap (bwrap), where the file system is read-only and "
                                  "HOME and /tmp are empty but for the current directory's "
                                  "tree, the -I directories, the programs' installations and "
                                  "the run's temporary directory, the one place written")),
    (("--plot",), dict(metavar="FILE",
                       help="draw time against count for each preprocessor and style, as "
                            "FILE.svg, FILE.png or FILE.pdf, or SVG to - (needs matplotlib)")),
)


def parse_arguments(argv):
    """The arguments of the command line, refused in one line where --runs or --timeout is out
    of range."""
    parser = Parser(prog=ME, formatter_class=argparse.RawDescriptionHelpFormatter,
                    description=DESCRIPTION)
    add_options(parser, OPTIONS)
    parser.set_defaults(guardgen=os.environ.get("GUARDGEN"))
    args = parser.parse_args(argv)
    if args.runs < 1:
        raise Failure(f"--runs must be 1 or more: {args.runs}")
    if not args.timeout > 0:
        raise Failure(f"--timeout must be above 0: {args.timeout:g}")
    return args
