"""The order of a run: check everything that can be checked first, write the files, time the
preprocessors, then print the table before writing anything else."""

import random
import sys
import time
from pathlib import Path

from guardgen_common import context, measured
from guardgen_common.command import finish, run_as_command

from . import ME, headers, inputs, measure, questions, records, report, say, verdicts
from .checks import check_inputs
from .options import parse_arguments
from .sandboxing import contain

# Where a verdict is unclear after the runs asked for, more rounds of that preprocessor are run,
# as many again at the most, for this long at the most.
EXTRA_SECONDS = 20.0


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
        result.how, result.unfit = records.evidence(result, work, timeout)
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
        records.write_probe(work)
        for result in results:
            records.check_preprocessing(result, work, args.timeout)
        find_evidence(results, work, args.timeout)
        found = ask_headers(results, given, work, args)
    summary = {
        "preprocessors": [{"name": r.name, "command": r.command, "version": r.version}
                          for r in results],
        "headers": found,
    }
    finish(headers.table(found, results), summary, args.json)
    return 0


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