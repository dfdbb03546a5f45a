"""The order of a run over a database, as named steps: plan every unit before anything runs,
contain what will run, ask each compiler where its own headers are, run the units, settle the
settings the build may give, make the record, and (with --patch) prove the fix."""

import contextlib
from collections import Counter
from dataclasses import dataclass, field

from guardgen_common import context, processes, run_texts, sandbox, shapes
from guardgen_common.outputs import plural

from . import ME, audit, record, say
from .failures import failure, say_failed
from .progress import Progress
from .result import Result
from .plan import compilers, listing, probe, program, project


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


def plan_units(units, database, compiler, tree, made=lambda index, plan: None):
    """The Planned of `units`, read from the database at `database`; `made(index, plan)` is told
    of each plan as it is made."""
    planned = Planned()
    for index, unit in enumerate(units):
        try:
            planned.plans[index] = compilers.plan(unit, database, compiler, tree)
        except compilers.Skipped as skip:
            planned.skipped[str(skip)] += 1
        except compilers.Refused as refusal:
            planned.refused.append((unit, str(refusal)))
        else:
            made(index, planned.plans[index])
            planned.dropped.update(list(dict.fromkeys(planned.plans[index].dropped)))
            planned.unlisted += planned.plans[index].unlisted
    return planned


def contain(args, roots):
    """Runs every program from now on with a PATH of the user's absolute directories outside the
    tree `roots`: in the tool's sandbox, where only the proof, which binds the fixed headers over
    the tree, needs a bwrap of its own; or, with --no-sandbox, without any, said once."""
    path = program.search_path(roots)
    if args.no_sandbox:
        say("--no-sandbox: the compilers run without the sandbox, with only the checks of their "
            "names, paths and flags between the database and this machine")
    context.configure(sandbox.nested(path) if args.inside and args.patch else None, path=path)


def refuse(planned, unit, why):
    planned.failed.append(failure(unit, "refused", why))


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


def probe_keys(plan):
    """What a plan's compiler is probed for: with the flags the unit adds that move its
    directories, and alone: only the compiler's own (the latter) are directories whose text is
    read, as the flags could name any directory at all."""
    return plan.key, (*plan.key[:2], (), plan.style)


def probed(key, directory, timeout):
    """probe.probe's answer for `key`, tried in `directory`, and the lines it would say."""
    said = []
    return probe.probe(key, directory, timeout, said.append), said


def probe_compilers(planned, units, timeout, compiler, tree, database, started, background):
    """The Compilers of the plans, asked once for each program, language and the flags that move
    its directories (see probe_keys), in `background`, unless `started` (key -> future of
    probed) holds it already; what they say said in the plans' order. A plan whose program
    does not answer as gcc or clang (or is not cl) is refused, unless it is the --compiler."""
    for index, plan in planned.plans.items():
        for key in probe_keys(plan):
            if key not in started:
                started[key] = background.submit(probed, key, units[index].directory, timeout)
    defaults, answers = {}, {}
    for key, future in started.items():
        (defaults[key], answers[key]), said = future.result()
        for line in said:
            say(line)
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


def audit_planned(args, progress, units, planned, found_by, tree, knobs, database, limits,
                  asked=()):
    """Runs the planned units, each compiler bounded by `limits`, and adds up what each gave, as
    it ends, into a Ran; the failures added to the failed, and said once all have ended (see
    say_failed). `asked`: what gcc's driver was asked already (see listing.Early)."""
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

    answers = [found_by.answers.get(p.key) for p in plans]
    commands = listing.commands([listing.listing_argv(p, a) for p, a in zip(plans, answers)],
                                [units[i].directory for i in order], answers, args.jobs,
                                args.timeout, lambda p: program.apart(p, tree), limits, asked)
    audit.list_entries([units[i] for i in order], commands, [p.style for p in plans], args.jobs,
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
    texts = {p: run_texts.read(p, readable) for p in paths}
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
        first.setdefault(program.program_words(units[i].argv)[0], units[i].entry)
    return first


def prove_patch(args, progress, units, planned, found_by, ran, summary, texts, top):
    """The proof of the fix of the build's own headers entered again, on every unit that reads
    one; the patch's paths from `top`, the project's top."""
    # Loaded here: a run that proves nothing has no need of the proof's modules.
    from . import proof
    from .proof import fixes

    own = record.own_again(summary["headers"])
    entered = sorted({i for h in own for i in ran.readers.get(h["path"], [])})
    proved = [proof.Unit(units[i], planned.plans[i], found_by.defaults[planned.plans[i].key],
                         ran.roots[i], again=i in ran.again) for i in entered]
    found = proof.prove(own, proved, args.jobs, args.timeout, args.rounds, progress,
                        fixes.taken_names(texts.values()), top)
    progress(f"proof: {plural(len(found.record['patched']), 'header')} proven", True)
    return found


def audited(args, path, units, tree):
    """The Result of the run over the database's `units` (see audit_database), where it stands
    said as it moves, and each file read once."""
    progress = Progress(ME)
    try:
        with run_texts.read_once():
            return audit_database(args, progress, path, units, tree)
    finally:
        progress.end()


def audit_database(args, progress, path, units, tree):
    """The Result of the run over the database's `units` (or the shard's), read from `path`;
    `tree` is the directories of the tree the database came with."""
    compiler = program.chosen(args.compiler)
    started = {}
    with contextlib.closing(audit.limits()) as limits, \
            processes.Background(args.jobs) as background:
        early = listing.Early(background, args.timeout, lambda p: program.apart(p, tree), limits)

        def made(index, plan):
            # Each compiler is probed as its first unit is planned, and gcc's driver asked about
            # each kind of unit, while the rest are planned; a --compiler is checked first, once
            # all are planned.
            if compiler:
                return
            if not started:
                contain(args, tree)
                processes.bounded(limits)
            for key in probe_keys(plan):
                if key not in started:
                    started[key] = background.submit(probed, key, units[index].directory,
                                                     args.timeout)
            answered = started[plan.key]
            early.planned(plan, units[index].directory, lambda: answered.result()[0][1])

        planned = plan_units(units, str(path), compiler, tree, made)
        if planned.plans and compiler:
            contain(args, tree)
            processes.bounded(limits)
            with context.scratch_directory(f"{ME}.") as directory:
                probe.check_listing(compiler, args.timeout, directory, args.compiler)
        say_planned(planned, path, tree)
        knobs = frozenset().union(*(p.defined for p in planned.plans.values()))
        found_by = probe_compilers(planned, units, args.timeout, compiler, tree, path, started,
                                   background)
        ran = audit_planned(args, progress, units, planned, found_by, tree, knobs, path, limits,
                            early.asked)
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
                                       texts, project.patch_top(str(path), units, tree)))

