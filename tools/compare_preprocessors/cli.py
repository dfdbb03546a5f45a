"""The command line, and the order of a run: check everything that can be checked first, write
the files, time the preprocessors, then print the table before writing anything else."""

import argparse
import importlib
import os
import random
import re
import shutil
import sys
import time
from pathlib import Path

from guardgen_common import context, files, measured, programs, sandbox, system
from guardgen_common.command import Parser, add_options, finish, run_as_command, sayer
from guardgen_common.failure import Failure
from guardgen_common.outputs import check_writable

from . import headers, inputs, measure, questions, report, verdicts

ME = "compare-preprocessors"

DEFAULT_COUNTS = (100, 1000, 10000, 20000)
DEFAULT_RUNS = 10
DEFAULT_TIMEOUT = 60.0
# Where a verdict is unclear after the runs asked for, more rounds of that preprocessor are run,
# as many again at the most, for this long at the most.
EXTRA_SECONDS = 20.0


say = sayer(ME)


def parse_count(text):
    if not re.fullmatch(r"[0-9]{1,9}", text) or int(text) == 0:
        raise Failure(f"not a positive count (1 to 999999999): '{text}'")
    return int(text)


def find_guardgen(given):
    """The program given, else the one installed beside this tool, else the one built in the
    source tree the tool is in, else guardgen on the PATH."""
    if given:
        path = Path(given)
    else:
        tools = Path(sys.argv[0]).resolve().parent
        candidates = [tools / system.GUARDGEN, tools.parent / "build" / system.GUARDGEN]
        found = shutil.which("guardgen")
        path = next((c for c in candidates if c.is_file()), Path(found) if found else None)
        if path is None:
            raise Failure("guardgen not found: build it, or give it with -g")
    if not path.is_file():
        raise Failure(f"guardgen not found: {path}")
    if not os.access(path, os.X_OK):
        raise Failure(f"guardgen cannot be run: {path} is not executable")
    return path.resolve()


def check_plot(path):
    """Refuses a --plot that cannot be drawn, before the long run: a name of no format it draws,
    a path that cannot be written, or no matplotlib to draw it with. matplotlib is imported here
    to find out, and again where the plot is drawn."""
    if path is None:
        return
    if report.plot_format(path) is None:
        raise Failure(f"{path}: a plot's name ends in {', '.join(report.PLOT_FORMATS)}")
    check_writable(path)
    try:
        importlib.import_module("matplotlib")
    except ImportError:
        raise Failure("--plot needs matplotlib (Debian: python3-matplotlib)") from None


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
  guarded header  "skipped" if the preprocessor entered guard.h at most twice in {questions.INCLUDES}
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


def too_small(names, largest):
    """The one line that says which preprocessors the counts were too small to measure."""
    listed = ", ".join(names[:-1]) + " and " + names[-1] if len(names) > 1 else names[0]
    return (f"counts up to {largest} are too small to measure {listed} against the start-up: "
            "give larger counts")


def timing_plan(counts):
    """What is timed at which counts: the four styles at every count, for their costs."""
    return {style: counts for style in verdicts.STYLES}


def body_plan():
    """The headers of a large body, timed only where the clock alone can tell whether the guarded
    header and the guard forms are skipped."""
    return {style: questions.BODY_COUNTS for style in questions.BODY_HEADERS}


def find_evidence(results, work, timeout):
    """Each preprocessor's record of the headers it entered that can tell (result.how), and why
    those tried cannot (result.unfit), said in one line each where the clock must tell instead."""
    for result in results:
        result.how, result.unfit = headers.evidence(result, work, timeout)
        if result.unfit:
            say(f"{result.name}: {result.unfit}; the clock tells whether it enters a header "
                "again")


def judge_all(results, seed):
    return [verdicts.judge(r.times, verdicts.key(seed, r.name)) for r in results]


def too_few(summary, runs):
    """The lines that say why verdicts are unclear for want of evidence: runs too few, counts too
    small."""
    lines = []
    few = [pp["name"] for pp in summary["preprocessors"] if pp["lacking"] == "runs"]
    if few:
        lines.append(f"--runs {runs} is too few for a timed verdict: give --runs "
                     f"{measured.MIN_RUNS} or more")
    small = [pp["name"] for pp in summary["preprocessors"] if pp["lacking"] == "counts"]
    if small:
        lines.append(too_small(small, max(summary["counts"])))
    return lines


def ask_headers(results, given, work, args):
    """The --header question: each preprocessor's answer for each header, and their records. Its
    sources have a directory of their own, so that an include of the header by its name finds no
    other file first (guardgen's guard.h, say)."""
    work = work / "headers"
    work.mkdir()
    answers = {r.name: headers.ask(r, given, work, args.timeout, args.defines or [],
                                   args.include_dirs or []) for r in results}
    return headers.record(given, results, answers)


def only_headers(results, given, args):
    """The --header question alone, with no timing: the table and the record."""
    with context.scratch_directory(f"{ME}.") as directory:
        work = Path(directory)
        headers.write_probe(work)
        for result in results:
            headers.check_preprocessing(result, work, args.timeout)
        find_evidence(results, work, args.timeout)
        found = ask_headers(results, given, work, args)
    summary = {
        "preprocessors": [{"name": r.name, "command": r.command, "version": r.version}
                          for r in results],
        "headers": found,
    }
    finish(headers.table(found, results), summary, args.json)
    return 0


def check_inputs(args):
    """Everything that can be checked before anything runs, each refused in one line: the
    headers, the counts, guardgen, the preprocessors, the output paths and the room the files
    take. (headers, counts, guardgen, the Results to fill); guardgen None where nothing is timed,
    --header being asked alone."""
    given = headers.checked(args.header, headers.tree_of(os.getcwd())) if args.header else []
    timed = not given or bool(args.counts)
    counts = sorted({0, *(parse_count(c) for c in args.counts or map(str, DEFAULT_COUNTS))})
    guardgen = find_guardgen(args.guardgen) if timed else None
    names = args.preprocessors or [n for n in programs.DEFAULT_NAMES if shutil.which(n)]
    if not names:
        raise Failure("no preprocessor found (" + ", ".join(programs.DEFAULT_NAMES) +
                      "): give one with -p")
    results = measure.preprocessors(names)
    check_writable(args.json)
    if args.plot and not timed:
        raise Failure("--plot draws the timed comparison: give counts as well as --header")
    check_plot(args.plot)
    if timed:
        inputs.check_room(counts, writes_file=any(r.writes_file for r in results))
    return given, counts, guardgen, results


def search_path():
    """The directories of the PATH that may be searched: absolute ones only. An empty entry or a
    relative one means the directory a program happens to run in."""
    return [d for d in os.environ.get("PATH", "").split(os.pathsep)
            if d and os.path.isabs(d) and "\0" not in d]


def installations(results, guardgen):
    """Where the programs that run lie: the installation of each (the directory above the one
    that holds it, as /usr for /usr/bin/gcc), this Python's, which times each run inside, and the
    directory of each file that a command names by an absolute path (a script given to an
    interpreter)."""
    programs_run = [guardgen, shutil.which("strace"), sys.executable,
                    *(shutil.which(r.argv[0]) for r in results)]
    named = [w for r in results for w in r.argv[1:] if os.path.isabs(w) and os.path.isfile(w)]
    return sorted({os.path.dirname(os.path.dirname(os.path.realpath(p)))
                   for p in programs_run if p}
                  | {os.path.dirname(os.path.realpath(w)) for w in named})


def contain(args, results, guardgen):
    """Runs every program from now on in the sandbox: it sees the current directory's tree and
    the -I directories read-only, the programs' installations (see installations), and the run's
    temporary directory, which it may write; or, with --no-sandbox, without it, said once. Windows
    has no bubblewrap: there they run without it, as the docs say."""
    if system.WINDOWS:
        return
    if args.no_sandbox:
        say("--no-sandbox: the preprocessors run without the sandbox, and what a header includes "
            "is read as you can read it")
        return
    # The tree is seen only where --header reads from it.
    tree = [headers.tree_of(os.getcwd())] if args.header else []
    readable = [*tree, *(os.path.abspath(d) for d in args.include_dirs or []),
                *installations(results, guardgen)]
    context.configure(sandbox.start(
        search_path(), readable, kept="the preprocessors",
        trusted=lambda bwrap: not files.under(os.path.realpath(bwrap), tree)),
        scratch_writable=True)


def progress(message):
    """Where standard error is a terminal, `message` over the line it said before."""
    if sys.stderr.isatty():
        print(f"\r{ME}: {message} ", end="", file=sys.stderr, flush=True)


def write_files(guardgen, counts, results, work, timeout):
    """The files timed and asked about, written in `work`; then each preprocessor's first,
    untimed round over them, its record of the headers it entered, and the answers from its
    output."""
    inputs.write_inputs(guardgen, counts, work, timeout)
    for result in results:
        result.plan = timing_plan(counts)
    measure.warm_up(results, work, timeout)
    find_evidence(results, work, timeout)
    for result in results:
        if result.how == "clock":
            measure.warm(result, body_plan(), work, timeout)
        questions.ask(result, work, timeout)


def time_runs(results, runs, seed, work, timeout):
    """`runs` timed rounds in the order the seed draws; then more, one at a time, where a verdict
    judged by the clock is unclear, within a budget of time."""
    shuffle = random.Random(seed)
    measure.time_rounds(results, runs, work, timeout, shuffle, progress)
    deadline = time.monotonic() + EXTRA_SECONDS
    for extra in range(runs):
        pending = verdicts.pending(results, seed, runs - extra)
        if not pending or time.monotonic() > deadline:
            break
        measure.time_rounds(pending, 1, work, timeout, shuffle,
                            lambda _: progress(f"extra round {extra + 1} of up to {runs}"))


def report_run(counts, results, seed, found, args):
    """The end of a timed run: why verdicts are unclear for want of evidence, on standard error;
    the tables, with the --header question's where it was asked (`found`); the JSON record; the
    plot."""
    summary = report.report(counts, results, judge_all(results, seed), seed)
    if found is not None:
        summary["headers"] = found
    for line in too_few(summary, args.runs):
        say(line)
    tables = report.markdown_tables(summary)
    if found is not None:
        tables += "\n" + headers.table(found, results)
    finish(tables, summary, args.json)
    if args.plot:
        report.plot(counts, results, args.plot)


def main(argv):
    args = parse_arguments(argv)
    given, counts, guardgen, results = check_inputs(args)
    contain(args, results, guardgen)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)
    for result in results:
        result.version = measure.version_line(result.argv)
    if guardgen is None:
        return only_headers(results, given, args)
    with context.scratch_directory(f"{ME}.") as directory:
        work = Path(directory)
        write_files(guardgen, counts, results, work, args.timeout)
        time_runs(results, args.runs, seed, work, args.timeout)
        found = ask_headers(results, given, work, args) if given else None
    if sys.stderr.isatty():
        print(file=sys.stderr)  # ends the line of the progress
    report_run(counts, results, seed, found, args)
    return 0


def entry():
    run_as_command(ME, main)
