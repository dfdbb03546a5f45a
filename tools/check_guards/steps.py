"""The order of a run over a database, as named steps: plan every unit before anything runs,
contain what will run, ask each compiler where its own headers are, run the units, settle the
settings the build may give, make the record, and (with --patch) prove the fix."""

import contextlib
import os
import re
import shlex
from collections import Counter
from dataclasses import dataclass, field

from guardgen_common import context, sandbox, shapes
from guardgen_common.command import sayer
from guardgen_common.failure import Failure
from guardgen_common.outputs import plural

from . import audit, proof, record
from .plan import compilers
from .proof import fixes

ME = "check-guards"
say = sayer(ME)


@dataclass
class Planned:
    """What the database's units are to run as, decided before anything runs."""

    plans: dict = field(default_factory=dict)  # the unit's index -> its compilers.Plan
    failed: list = field(default_factory=list)  # {file, entry, status, message}: each refused
    skipped: Counter = field(default_factory=Counter)  # units skipped, by reason
    dropped: Counter = field(default_factory=Counter)  # flags dropped, by the units they were in
    unlisted: int = 0  # units with -include or -imacros files, which their listing leaves out
    refused: list = field(default_factory=list)  # (unit, why), said once the sandbox is set up


@dataclass
class Compilers:
    """What the compilers answered -v: their own header directories for each plan's key."""

    defaults: dict  # key -> the directories it searches for <...>
    readable: tuple  # where a header's text may be read: the tree, the compilers' own
    answers: dict = field(default_factory=dict)  # key -> "gcc", "clang", "cl" or None


@dataclass
class Ran:
    """What the units gave: the headers entered, and for the proof who read which."""

    found: dict = field(default_factory=dict)  # path -> audit.Header
    # The units that entered each of the build's own headers (a fix may change what a unit
    # makes that reads the header once, as __LINE__ does), and those that entered any again.
    readers: dict = field(default_factory=dict)
    again: set = field(default_factory=set)
    roots: dict = field(default_factory=dict)  # the unit's index -> where its headers may lie


@dataclass
class Result:
    """A run's record, and the proof of its patch where one was asked for."""

    record: dict
    proof: object = None


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


def plan_units(units, database, compiler, tree):
    """The Planned of `units`, read from the database at `database`."""
    planned = Planned()
    for index, unit in enumerate(units):
        try:
            planned.plans[index] = compilers.plan(unit, database, compiler, tree)
        except compilers.Skipped as skip:
            planned.skipped[str(skip)] += 1
        except compilers.Refused as refusal:
            planned.refused.append((unit, str(refusal)))
        else:
            planned.dropped.update(list(dict.fromkeys(planned.plans[index].dropped)))
            planned.unlisted += planned.plans[index].unlisted
    return planned


def contain(args, roots):
    """Runs every program from now on with a PATH of the user's absolute directories outside the
    tree `roots`: in the tool's sandbox, where only the proof, which binds the fixed headers over
    the tree, needs a bwrap of its own; or, with --no-sandbox, without any, said once."""
    path = compilers.search_path(roots)
    if args.no_sandbox:
        say("--no-sandbox: the compilers run without the sandbox, with only the checks of their "
            "names, paths and flags between the database and this machine")
    context.configure(sandbox.nested(path) if args.inside and args.patch else None, path=path)


def refuse(planned, unit, why):
    planned.failed.append(failure(unit, "refused", why))


def failure(unit, status, message):
    """What the record says of a unit that failed: its file, its entry in the database (which
    orders the failures, whatever order the units end in), its status and message."""
    return {"file": unit.path, "entry": unit.entry, "status": status, "message": message}


# The reasons that many units fail for at once, from each one's message: a database made on
# another machine (its paths are not here, or the unit's own file is not found by its compiler,
# or its compiler is not), or a header the units include that is not there (one the build
# makes, not made yet), or paths outside the tree (an out-of-source build's sources not given).
PATHS = ("paths", "the database's paths do not exist here ({}, for one): was it made on another "
         "machine?")
OUTSIDE = ("tree", "their files lie outside the tree ({}): give --tree with the directory that "
           "holds the sources")
COMMON = [
    (re.compile(r"(?:its .+ lies outside the tree|a response file outside the tree): refused"),
     OUTSIDE),
    (re.compile(r"its directory (?P<path>.+) does not exist"), PATHS),
    (re.compile(r"(?P<own>.+) does not exist"), PATHS),
    (re.compile(r"its compiler '(?P<path>.+)' is not found on the PATH"),
     ("compiler", "their compiler '{}' is not found on the PATH (--compiler names one to use "
      "instead)")),
    (re.compile(r"its compiler '(?P<path>.+)' is no program that can be run"),
     ("compiler", "their compiler '{}' is no program that can be run here (--compiler names one "
      "to use instead)")),
    (re.compile(r".*\berror: '?(?P<path>.+?)'?(?:: No such file or directory| file not found)"),
     ("header", "a header they include is not found: {} (one the build makes? build it first)")),
]


def common_reason(failure, tree=()):
    """(what the units that failed as `failure` did share, the words that say it): a reason of
    COMMON, else its status and message as they are. Where the file named is the unit's own,
    the unit's path is said; for paths outside the tree, the tree (`tree`, the user's), never
    the path the unit named."""
    status, message = failure["status"], failure["message"]
    for pattern, (kind, words) in COMMON:
        match = pattern.fullmatch(message)
        if not match:
            continue
        if kind == "tree":
            if status != "refused":
                continue
            return (status, kind, ""), words.format(", ".join(tree))
        named = match[1]
        if "own" in match.groupdict() or (
                kind == "header" and os.path.basename(named) ==
                os.path.basename(failure["file"])):
            (kind, words), named = PATHS, failure["file"]
        return (status, kind, "" if kind == "paths" else named), words.format(named)
    return (status, message), message or "no message"


def say_failed(failed, total, database, tree=()):
    """Says each of `failed` ({file, status, message}) in one line; where most of the `total`
    units failed for one reason, that reason once, for all of them (`tree`: the tree's
    directories, for the reason that their paths lie outside it)."""
    groups = {}
    for failure in failed:
        key, words = common_reason(failure, tree)
        groups.setdefault(key, (words, []))[1].append(failure)
    for (status, *_), (words, members) in groups.items():
        if len(members) > 1 and 2 * len(members) > total:
            how = {"refused": "refused", "unclear": "unclear"}.get(status, f"failed ({status})")
            say(f"{database}: {len(members)} of {plural(total, 'unit')} {how}: {words}")
            continue
        for f in members:
            say(f"{f['file']}: unclear: {f['message']}" if f["status"] == "unclear" else
                f"{f['file']}: {f['message']}" if f["status"] == "refused" else
                f"{f['file']}: failed ({f['status']}): {f['message'] or 'no message'}")


def say_planned(planned, database, tree):
    """One line for each unit refused (or for most of them, refused for one reason), for each
    reason units were skipped, for the flags dropped that could have changed what the units
    include, and for the units whose forced includes their listing leaves out."""
    for unit, why in planned.refused:
        refuse(planned, unit, why)
    say_failed(planned.failed, len(planned.plans) + len(planned.failed), database, tree)
    for reason, count in planned.skipped.items():
        say(f"{plural(count, 'unit')} skipped: {reason}")
    if planned.dropped:
        named = [f"{name} ({plural(count, 'unit')})"
                 for name, count in planned.dropped.most_common(8)]
        more = len(planned.dropped) - len(named)
        say("dropped from the units' flags, as they are not run here, though they could change "
            "what is included: " + ", ".join(named) + (f" and {more} more" if more > 0 else ""))
    if planned.unlisted:
        say(f"{plural(planned.unlisted, 'unit')} read files given by -include or -imacros, which "
            "the compiler's listing leaves out with all they include: what those files enter is "
            "not counted")


def probe_compilers(planned, units, timeout, compiler, tree, database):
    """The Compilers of the plans, asked once for each program, language and the flags that move
    its directories; a plan whose program does not answer as gcc or clang (or is not cl) is
    refused, unless it is the --compiler."""
    defaults, answers = {}, {}
    for index, plan in planned.plans.items():
        # With those the unit's flags add, and alone: only the compiler's own (the latter) are
        # directories whose text is read, as the flags could name any directory at all.
        for key in (plan.key, (*plan.key[:2], (), plan.style)):
            if key not in defaults:
                defaults[key], answers[key] = compilers.probe(key, units[index].directory,
                                                              timeout, say)
    total, first = len(planned.plans) + len(planned.failed), len(planned.failed)
    for index, plan in list(planned.plans.items()):
        if answers[plan.key] is None and not compiler:
            refuse(planned, units[index],
                   f"its compiler '{plan.argv[0]}' does not answer -v as gcc or clang do: "
                   "refused, as only a real compiler is run")
            del planned.plans[index]
    say_failed(planned.failed[first:], total, database, tree)
    own = (d for key, found in defaults.items() if not key[2] for d in found)
    return Compilers(defaults, tuple(dict.fromkeys([*tree, *own])), answers)


def listing_argv(plan, answer):
    """What runs a unit for its listing alone: gcc and clang list the same with -M (dependencies
    only, to nowhere) as with -E, without formatting the preprocessed text."""
    if answer not in ("gcc", "clang") or plan.style != "-H":
        return plan.argv
    at = plan.argv.index("-E")
    return [*plan.argv[:at], "-M", *plan.argv[at + 1:]]


def run_all(args, progress, units, planned, found_by, tree, knobs, database, limits):
    """Runs the planned units, each compiler bounded by `limits`, and adds up what each gave, as
    it ends, into a Ran; the failures added to the failed, and said once all have ended (see
    say_failed)."""
    order = list(planned.plans)
    plans = [planned.plans[i] for i in order]
    # Where the headers each unit's listing names may lie: the tree, the system's directories.
    roots = [tuple(dict.fromkeys([*tree, *found_by.defaults[p.key], *p.system])) for p in plans]
    ran = Ran()

    def take(position, outcome):
        plan, index, counts = plans[position], order[position], outcome.counts
        if outcome.status != 0:
            planned.failed.append(failure(units[index], outcome.status, outcome.message))
            return
        audit.add(ran.found, counts, found_by.defaults[plan.key] + plan.system)
        if args.patch:
            note_readers(ran, counts, index)
        # The lines named are ordered by the unit's entry, which a shard's units keep.
        audit.explain(ran.found, outcome.file, outcome.walked, counts, units[index].entry,
                      found_by.readable, knobs)

    first = len(planned.failed)

    def said(done, total):
        failed = len(planned.failed) - first
        progress(f"{done} of {total} units" + (f" ({failed} failed)" if failed else ""),
                 done == total)

    audit.run_units([units[i] for i in order],
                    [listing_argv(p, found_by.answers.get(p.key)) for p in plans],
                    [p.style for p in plans], args.jobs,
                    args.timeout, said, take, limits, roots)
    say_failed(planned.failed[first:], len(order) + first, database, tree)
    audit.describe_all(ran.found.values(), found_by.readable, knobs)
    ran.roots = dict(zip(order, roots))
    return ran


def note_readers(ran, counts, index):
    """Notes unit `index` as a reader of each of the build's own headers in `counts`, and as one
    that entered one again."""
    for path, count in counts.items():
        if not ran.found[path].system:
            ran.readers.setdefault(path, []).append(index)
            if count > 1:
                ran.again.add(index)


def settle(ran, paths, readable, knobs):
    """(the texts of the build's own files at `paths`, read once, the settings the build may
    give): the names those files test for a value are settings (no guard is taken for one)
    beside the `knobs`, and a new guard's name must be in none of the texts."""
    texts = {p: shapes.read(p, readable) for p in paths}
    tested = set()
    for text in texts.values():
        if text and "#" in text:
            tested |= shapes.value_tests(text)
    audit.settle_knobs(ran.found, knobs | tested, texts)
    return texts, knobs | tested


def programs_run(args, compiler, units, order):
    """Each program the units of `order` ran by (the --compiler alone, where given), with the
    entry of the first unit it ran."""
    if compiler:
        return {args.compiler: units[order[0]].entry if order else 0}
    first = {}
    for i in order:
        first.setdefault(compilers.program_words(units[i].argv)[0], units[i].entry)
    return first


def prove_patch(args, progress, units, planned, found_by, ran, summary, texts, top):
    """The proof of the fix of the build's own headers entered again, on every unit that reads
    one; the patch's paths from `top`, the project's top."""
    own = record.own_again(summary["headers"])
    entered = sorted({i for h in own for i in ran.readers.get(h["path"], [])})
    proved = [proof.Unit(units[i], planned.plans[i], found_by.defaults[planned.plans[i].key],
                         ran.roots[i], again=i in ran.again) for i in entered]
    found = proof.prove(own, proved, args.jobs, args.timeout, args.rounds, progress,
                        fixes.taken_names(texts.values()), top)
    progress(f"proof: {plural(len(found.record['patched']), 'header')} proven", True)
    return found


def audit_database(args, progress, path, units, tree):
    """The Result of the run over the database's `units` (or the shard's), read from `path`;
    `tree` is the directories of the tree the database came with."""
    compiler = chosen(args)
    planned = plan_units(units, str(path), compiler, tree)
    if planned.plans:
        contain(args, tree)
        if compiler:
            with context.scratch_directory(f"{ME}.") as directory:
                compilers.check_listing(compiler, args.timeout, directory, args.compiler)
    say_planned(planned, path, tree)
    knobs = frozenset().union(*(p.defined for p in planned.plans.values()))
    with contextlib.closing(audit.bounds()) as limits:
        found_by = probe_compilers(planned, units, args.timeout, compiler, tree, path)
        ran = run_all(args, progress, units, planned, found_by, tree, knobs, path, limits)
    order = list(planned.plans)
    texts, settings = settle(ran, [*(h.path for h in ran.found.values() if not h.system),
                                   *(units[i].path for i in order)], found_by.readable, knobs)
    shard = f"{args.shard[0]}/{args.shard[1]}" if args.shard else None
    if shard:
        audit.as_settings(ran.found, settings, knobs, texts, found_by.readable)
    summary = record.record(str(path.parent), programs_run(args, compiler, units, order),
                            len(units), planned.failed, ran.found, planned.skipped, shard,
                            settings, knobs)
    if not args.patch:
        return Result(summary)
    return Result(summary, prove_patch(args, progress, units, planned, found_by, ran, summary,
                                       texts, patch_top(str(path), units, tree)))


def patch_top(database, units, tree):
    """Where the patch's paths start (see compilers.project_top), never above the tree: a work
    tree of the user's that holds the tree (HOME's own) gives no path outside it."""
    top = compilers.project_top(database, units)
    return top if compilers.under(os.path.realpath(top), tree) else tree[0]
