"""The command line, and the order of a run: read the database and decide what runs before
anything runs, run the units, then print the table and write the record."""

import argparse
import json
import os
import re
import shlex
import sys
import threading
from collections import Counter

from guardgen_common import processes, sandbox, shapes
from guardgen_common.command import Parser, finish, sayer
from guardgen_common.outputs import check_writable, flush_output, plural, write_text
from guardgen_common.processes import Failure

from . import audit, compilers, database, fixes, formats, proof, report

ME = "check-guards"
DEFAULT_LIMIT = 20
DEFAULT_TIMEOUT = 300.0
MAX_JOBS = 256
MAX_TIMEOUT = 1_000_000  # eleven days: beyond it, no clock of the system's waits


say = sayer(ME)


def positive(text):
    if not re.fullmatch(r"[0-9]{1,9}", text) or int(text) == 0:
        raise argparse.ArgumentTypeError(f"not a whole number above 0: '{text[:20]}'")
    return int(text)


def jobs(text):
    # Each unit running holds a few descriptors: beyond this, a system's usual limit is reached.
    if positive(text) > MAX_JOBS:
        raise argparse.ArgumentTypeError(f"at most {MAX_JOBS} units run at once: '{text}'")
    return int(text)


def shard(text):
    match = re.fullmatch(r"([0-9]{1,9})/([0-9]{1,9})", text)
    if not match or not 1 <= int(match[1]) <= int(match[2]):
        raise argparse.ArgumentTypeError(f"not I/N with I from 1 to N: '{text}'")
    return int(match[1]), int(match[2])


def parse_arguments(argv):
    parser = Parser(
        prog=ME,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=f"""\
Asks the compiler of a build which headers it enters more than once in a translation unit, says
why from each header's text, and what it costs. A database that came with a cloned repository
is taken as hostile: nothing from it runs but gcc or clang (cc and c++ where they lead to one;
ccache, sccache, distcc in front taken away), found on the PATH's absolute directories and
lying outside the database's tree; a unit of another program or language is skipped. Each unit
runs as COMPILER -E -H -w, then its flags that an allowlist keeps (-I, -D, -U, -isystem,
-include, -std=, -x, -O, --sysroot, -target, the -f and -m options that define macros), then
its file, bounded in time, memory and listing; nothing is written. What was dropped that could
have changed the answer is named in one line. --compiler names the program to use instead.

The table lists the headers of the build's own that some unit entered more than once, those
processed again first (their text read again) before those only scanned again (opened and
scanned to the guard's #endif): the re-entries, the units, the bytes scanned again (no measure
of time), the cause and its fix with the lines to change:
  cycle              entered again while still open: a header it includes includes it back
  other_name         entered again by another route, its guard sound (gcc keeps a guard per
                     directory it found the header in)
  macro_undefined    its guard's macro #undef'd in a file entered in between
  a shape            guard, pragma_once, no_guard, before_guard, after_guard, else_branch,
                     not_a_guard_form, guard_not_defined: the line that decides it
  unknown            none of these
--patch writes the fixes as a patch for git apply. A fix only adds lines: a new guard of a
fresh name around a header without a sound one (a macro the build may set from outside is never
taken for a guard), and #pragma once where it moves no line the compiler numbers. So in every
configuration a header's first entry reads what it read before; that skipping its later entries
changes nothing is proven in the build's own configuration, on scratch copies: each unit's
preprocessed text the same, else the assembly it compiles to; each fixed header entered fewer
times; -E timed before and after. A fix that fails is withdrawn with the reason. The system's
headers are summed in one line. Exits with 1 if a unit failed to preprocess or was refused
(each said in one line), its report still printed; with --baseline, also if a header is newly
entered again. Off a terminal, where the run stands is said every 30 s
(CHECK_GUARDS_PROGRESS=SECONDS sets it).""",
    )
    parser.add_argument("database", nargs="?", metavar="DATABASE",
                        help="compile_commands.json, or the directory holding it (default: "
                             "./compile_commands.json, else build/compile_commands.json)")
    parser.add_argument("--compiler", metavar="CMD",
                        help="run every unit through this compiler instead, with the same flags "
                             "(such as clang++ for a gcc build)")
    parser.add_argument("-j", dest="jobs", type=jobs, default=min(os.cpu_count() or 1, MAX_JOBS),
                        metavar="N", help="units run at once (default: the CPUs, "
                                          f"{os.cpu_count() or 1} here)")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                        help="stop a unit's compiler that takes longer, and count the unit as "
                             f"failed (default: {DEFAULT_TIMEOUT:g})")
    parser.add_argument("--limit", type=positive, default=DEFAULT_LIMIT, metavar="N",
                        help=f"rows in the table at the most (default: {DEFAULT_LIMIT})")
    parser.add_argument("--all", action="store_true",
                        help="list the system's headers in the table too")
    parser.add_argument("--json", metavar="FILE",
                        help="also write the record of every header entered as JSON to FILE "
                             "(- for standard output, instead of the table)")
    parser.add_argument("--patch", metavar="FILE",
                        help="also write the fix of the build's own headers entered again as a "
                             "patch that git apply takes in this directory (- for standard "
                             "output, instead of the table), once it is proven on scratch "
                             "copies in the build's configuration: the same preprocessed text "
                             "or else the same assembly, each fixed header entered fewer "
                             "times, -E timed before and after")
    parser.add_argument("--rounds", type=positive, default=proof.ROUNDS, metavar="N",
                        help="interleaved rounds of -E timed for the proof (default: "
                             f"{proof.ROUNDS})")
    parser.add_argument("--diagnostics", action="store_true",
                        help="instead of the table, one line per header as gcc writes its "
                             "warnings (PATH:LINE:COLUMN: warning: ... [check-guards-CAUSE]), "
                             "then a note per #include behind it: editors and CI logs make them "
                             "links")
    parser.add_argument("--sarif", metavar="FILE",
                        help="also write the findings as SARIF 2.1.0 to FILE (- for standard "
                             "output, instead of the table), for code-scanning services")
    parser.add_argument("--baseline", metavar="RECORD",
                        help="report only the headers entered again that this earlier --json "
                             "record of the same build did not have, or now more often; exit "
                             "with 1 if there is any, or a unit failed (a gate for pull "
                             "requests); a record of another database is refused before any "
                             "unit runs")
    parser.add_argument("--shard", type=shard, metavar="I/N",
                        help="audit only every N-th unit, from the I-th (from 1): the parts of a "
                             "build too large for one machine, to be merged")
    parser.add_argument("--no-sandbox", action="store_true",
                        help="run the compilers without the sandbox of bubblewrap (bwrap): only "
                             "for a database that is trusted, or where bwrap cannot run")
    parser.add_argument("--merge", nargs="+", metavar="RECORD",
                        help="no audit: merge the JSON records of the parts into one report; "
                             "refused where a part of the build is missing (named), unless "
                             "--partial")
    parser.add_argument("--partial", action="store_true",
                        help="with --merge: merge the shards given though some of the build's are "
                             "missing (they are named)")
    args = parser.parse_args(argv)
    if args.partial and not args.merge:
        raise Failure("--partial goes with --merge only")
    if not 0 < args.timeout <= MAX_TIMEOUT:  # also refuses nan
        raise Failure(f"--timeout must be a number of seconds above 0 and at most {MAX_TIMEOUT}: "
                      f"{args.timeout:g}")
    if args.merge and (args.database or args.shard or args.compiler or args.patch):
        raise Failure("--merge takes records only: no database, --shard, --compiler or --patch")
    if sum(1 for given in (args.json, args.patch, args.sarif) if given == "-") > 1:
        raise Failure("--json -, --patch - and --sarif - would share standard output: give files "
                      "to all but one")
    return args


# A record of every header of a large build is some tens of MB.
RECORD_LIMIT = 256 << 20


def read_record(path):
    """The --merge or --baseline record at `path`, refused in one line, by the first field that
    is wrong, unless it is a record of check-guards."""
    found = database.load_json(path, RECORD_LIMIT)
    fault = report.fault(found)
    if fault is not None:
        raise Failure(f"{path}: not a record of check-guards" + (f": {fault}" if fault else ""))
    return found


def say_dropped(dropped):
    """One line for the flags dropped that could have changed what the units include."""
    if not dropped:
        return
    named = [f"{name} ({plural(count, 'unit')})" for name, count in dropped.most_common(8)]
    more = len(dropped) - len(named)
    say("dropped from the units' flags, as they are not run here, though they could change what "
        "is included: " + ", ".join(named) + (f" and {more} more" if more > 0 else ""))


def chosen(args):
    """The --compiler words, found; None without --compiler."""
    if not args.compiler:
        return None
    try:
        words = shlex.split(args.compiler)
    except ValueError as error:
        raise Failure(f"--compiler: {error}") from None
    if not words:
        raise Failure("--compiler: empty")
    return compilers.chosen_compiler(words)


def check_chosen(args, words):
    """Refuses the --compiler words unless the program lists the headers it enters."""
    with processes.scratch_directory(f"{ME}.") as directory:
        compilers.check_listing(words, args.timeout, directory, args.compiler)


def contain(args, roots, programs):
    """Runs every program from now on in the sandbox, with a PATH of the user's absolute
    directories outside the tree `roots`; or, with --no-sandbox, without it, said once.
    `programs` are the paths of the compilers to run: their installations are bound in."""
    path = compilers.search_path(roots)
    if args.no_sandbox:
        say("--no-sandbox: the compilers run without the sandbox, with only the checks of their "
            "names, paths and flags between the database and this machine")
        processes.configure(path=path)
        return
    installed = {os.path.dirname(os.path.dirname(os.path.realpath(p))) for p in programs}
    processes.configure(sandbox.start(
        path, [*roots, *installed],
        trusted=lambda bwrap: not compilers.under(os.path.realpath(bwrap), roots)))


def database_tree(path, units):
    """The directories of the tree the database at `path` came with, which its units may read
    and show."""
    return compilers.tree_of(str(path), units)


def defined_names(argv):
    """The macros that a unit's argv sets with -D (or /D)."""
    names, take = set(), False
    for word in argv:
        if take:
            names.add(re.split(r"[=(]", word, 1)[0])
            take = False
        elif word in ("-D", "/D"):
            take = True
        elif word.startswith(("-D", "/D")):
            names.add(re.split(r"[=(]", word[2:], 1)[0])
    return names


def audit_database(args, progress, path, units, tree):
    """The record of the run over the database's `units` (or the shard's), read from `path`;
    `tree` is the database_tree."""
    if not processes.Limits(audit.MEMORY, audit.LISTING).active:
        say("prlimit (util-linux) is not found in /usr/bin or /bin: the compilers run without "
            "the bound of their memory and listing")
    compiler = chosen(args)
    plans, failed, skipped, dropped, refused = {}, [], Counter(), Counter(), []
    for index, unit in enumerate(units):
        try:
            plans[index] = compilers.plan(unit, str(path), compiler, tree)
        except compilers.Skipped as skip:
            skipped[str(skip)] += 1
        except compilers.Refused as refusal:
            refused.append((unit.path, str(refusal)))
        else:
            dropped.update(list(dict.fromkeys(plans[index].dropped)))
    if plans:
        contain(args, tree, {p.key[0][0] for p in plans.values()})
        if compiler:
            check_chosen(args, compiler)
    for file, refusal in refused:
        failed.append({"file": file, "status": "refused", "message": refusal})
        say(f"{file}: {refusal}")
    for reason, count in skipped.items():
        say(f"{plural(count, 'unit')} skipped: {reason}")
    say_dropped(dropped)
    knobs = set()
    for plan in plans.values():
        knobs |= defined_names(plan.argv)
    knobs = frozenset(knobs)
    # The compiler's own header directories, asked once for each program, language and the
    # flags that move them; a program of the database's that does not answer as gcc or clang
    # (or is not cl) runs no unit.
    defaults, answers = {}, {}
    for index, plan in plans.items():
        # With those the unit's flags add, and alone: only the compiler's own (the latter) are
        # directories whose text is read, as the flags could name any directory at all.
        own = (*plan.key[:2], (), plan.key[3])
        for key in (plan.key, own):
            if key not in defaults:
                defaults[key], answers[key] = compilers.probe(
                    key, units[index].directory, args.timeout, say)
    for index, plan in list(plans.items()):
        if answers[plan.key] is None and not compiler:
            refusal = (f"its compiler '{plan.argv[0]}' does not answer -v as gcc or clang do: "
                       "refused, as only a real compiler is run")
            failed.append({"file": units[index].path, "status": "refused", "message": refusal})
            say(f"{units[index].path}: {refusal}")
            del plans[index]
    readable = tuple(dict.fromkeys([*tree, *(d for k, found in defaults.items() if not k[2]
                                             for d in found)]))
    found = {}
    order = list(plans)
    # Where the headers each unit's listing names may lie: the tree, the system's directories.
    roots = [tuple(dict.fromkeys([*tree, *defaults[plans[i].key], *plans[i].system]))
             for i in order]

    # For the proof: the units that entered each of the build's own headers (a fix may change
    # what a unit makes that reads the header once, as __LINE__ does), and those that entered
    # any again (whose time it may save).
    readers, again = {}, set()

    def take(position, outcome):
        plan = plans[order[position]]
        if outcome.status != 0:
            failed.append({"file": outcome.file, "status": outcome.status,
                           "message": outcome.message})
            if outcome.status == "unclear":
                say(f"{outcome.file}: unclear: {outcome.message}")
            else:
                say(f"{outcome.file}: failed ({outcome.status}): "
                    f"{outcome.message or 'no message'}")
            return
        counts = outcome.counts
        audit.add(found, counts, defaults[plan.key] + plan.system)
        if args.patch:
            for path, count in counts.items():
                if not found[path].system:
                    readers.setdefault(path, []).append(order[position])
                    if count > 1:
                        again.add(order[position])
        audit.explain(found, outcome.file, outcome.walked, order[position], readable, knobs)

    audit.run_units([units[i] for i in order], [plans[i].argv for i in order], args.jobs,
                    args.timeout, lambda done, total: progress(f"{done} of {total} units",
                                                               done == total), take, roots)
    audit.describe_all(found.values(), readable, knobs)
    # The build's own files, read once: the names they test for a value are settings the build
    # may give (no guard is taken for one), and a new guard's name must be in none of them.
    texts = {p: shapes.read(p, readable) for p in [*(h.path for h in found.values()
                                                     if not h.system),
                                                   *(units[i].path for i in order)]}
    tested = set()
    for text in texts.values():
        if text and "#" in text:
            tested |= shapes.value_tests(text)
    audit.settle_knobs(found, knobs | tested)
    names = [args.compiler] if compiler else list(
        dict.fromkeys(compilers.program_words(units[i].argv)[0] for i in order))
    shard = f"{args.shard[0]}/{args.shard[1]}" if args.shard else None
    summary = report.record(str(path.parent), ", ".join(names), len(units), failed, found, skipped,
                            shard)
    if args.patch:
        own = report.own_again(summary["headers"])
        entered = sorted({i for h in own for i in readers.get(h["path"], [])})
        place = {i: k for k, i in enumerate(order)}
        proved = [proof.Unit(units[i], plans[i].argv, defaults[plans[i].key], roots[place[i]],
                             again=i in again) for i in entered]

        made = proof.prove(own, proved, args.jobs, args.timeout, args.rounds, progress,
                           fixes.taken_names(texts.values()))
        summary["patch"], summary["proof"], summary["fixed"] = made.patch, made.record, made.fixed
        progress(f"proof: {plural(len(summary['proof']['patched']), 'header')} proven", True)
    return summary


class Progress:
    """Where a run stands, on standard error: on a terminal, one line rewritten as it moves; off
    one (a CI log), a line every CHECK_GUARDS_PROGRESS seconds (default 30) while it runs."""

    def __init__(self):
        self.text, self.lock = None, threading.Lock()
        self.terminal = sys.stderr.isatty()
        try:
            self.every = float(os.environ.get("CHECK_GUARDS_PROGRESS", "30"))
        except ValueError:
            self.every = 30.0
        self.every = self.every if 0 < self.every <= 3600 else 30.0
        self.ended = threading.Event()
        if not self.terminal:
            threading.Thread(target=self._tick, daemon=True).start()

    def _tick(self):
        while not self.ended.wait(self.every):
            with self.lock:
                if self.text:  # the same again too: a log that says nothing looks hung
                    print(f"{ME}: {self.text}", file=sys.stderr, flush=True)

    def __call__(self, text, last=False):
        with self.lock:
            self.text = None if last else text
            if self.terminal:
                print(f"\r\033[K{ME}: {text}", end="\n" if last else "", file=sys.stderr,
                      flush=True)

    def end(self):
        self.ended.set()


def main(argv):
    args = parse_arguments(argv)
    if args.merge:
        here = os.getcwd()
        tree = [compilers.work_tree_top(here)[0] or here]
    else:
        path = database.locate(args.database)
        units = database.read(path, args.shard)
        tree = database_tree(path, units)
    for output in (args.json, args.patch, args.sarif):
        check_writable(output, tree)

    baseline = read_record(args.baseline) if args.baseline else None
    if args.merge:
        records = [read_record(p) for p in args.merge]
        report.check_parts(records, args.merge)
        missing = report.missing_parts(records)
        if missing and not args.partial:
            raise Failure(f"the shards {', '.join(missing)} of the build are missing: refused, as "
                          "the report would count only some of its units (--partial merges "
                          "those given)")
        if missing:
            say(f"the shards {', '.join(missing)} of the build are missing: merged without them")
        directory = records[0]["directory"]
    else:
        directory = str(path.parent)
    # A baseline of another database is refused before any unit runs.
    if baseline and baseline["directory"] != directory:
        raise Failure(f"{args.baseline}: a record of the database in {baseline['directory']}, "
                      f"not of {directory}: refused")
    if args.merge:
        summary = report.merge(records)
    else:
        progress = Progress()
        try:
            summary = audit_database(args, progress, path, units, tree)
        finally:
            progress.end()
    patch, fixed = summary.pop("patch", None), summary.pop("fixed", None)
    said = proof.lines(summary["proof"]) if "proof" in summary else ""
    shown, gate = None, ""
    if baseline:
        shown = report.beyond(summary, baseline)
        known = len(report.own_again(summary["headers"])) - len(shown)
        gate = (f"\nAgainst the baseline {args.baseline}: {plural(len(shown), 'header')} of the "
                "build's own new (entered again that it did not have, or more often), "
                f"{known} known (entered again as it has them)")
    if "-" in (args.json, args.patch, args.sarif):
        sys.stderr.write((said + gate).lstrip("\n") + ("\n" if gate else ""))
    elif args.diagnostics:
        flush_output(formats.diagnostics(summary, shown))
        sys.stderr.write((said + gate).lstrip("\n") + ("\n" if gate else ""))
    else:
        listed = summary if shown is None else dict(summary, headers=shown)
        flush_output(report.table(listed, summary["directory"], args.limit, args.all,
                                  hint=not said, baseline=shown is not None)
                     + said + gate + ("\n" if gate else ""))
    flush_output()
    if args.json:
        write_text(args.json, json.dumps(summary, indent=2) + "\n", tree)
    if args.patch:
        write_text(args.patch, patch, tree)
    if args.sarif:
        write_text(args.sarif, json.dumps(formats.sarif(summary, fixed, shown), indent=2) + "\n",
                   tree)
    return 1 if summary["failed"] or shown else 0


def entry():
    processes.run_as_command(ME, main)
