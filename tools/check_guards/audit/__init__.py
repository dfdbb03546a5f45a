"""The audit: the units run, and the headers each entered, summed as it ends (here), and why
each was entered again:

    catalogue    each cause and shape: how it is found, its words, advice, rule, kind and fix
    directives   the #include and #undef lines of a file, and which #include names a header
    causes       why a unit entered a header again, asking the catalogue's causes in turn

Running the units: in worker threads, each compiler bounded in time, memory and the size of
its listing, in a process group of its own (an interruption, which only the main thread receives,
stops them all through guardgen_common.registry). The headers each unit entered
are added up as it ends, so that memory grows with the headers, not with the units; then each
header's size, whether it is the system's, and its shape."""

import os
from collections import Counter
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from dataclasses import dataclass, field

from guardgen_common import entries, files, processes, registry, run_texts, shapes
from guardgen_common.failure import Failure
from guardgen_common.files import under
from guardgen_common.limits import Limits
from guardgen_common.outputs import readable_size

from . import catalogue, causes

# A preprocessor needs far less than this; a unit that reads /dev/zero is stopped here.
MEMORY = 1 << 30
# A listing longer than this is no real unit's (a large one is a few MB).
LISTING = 64 << 20


@dataclass
class Outcome:
    """What one unit gave: the headers it entered, or why it failed."""

    file: str
    walked: list = field(default_factory=list)  # (depth, path) of each header entered, in order
    status: object = 0  # the compiler's exit status, "timeout", "not run", "refused" or "unclear"
    message: str = ""

    @property
    def counts(self):
        return Counter(path for _, path in self.walked)


def outcome_of(unit, command, style, timeout, limits=None, roots=None):
    """The Outcome of one unit, listed by `command` (a plan.listing.Command), which gives the
    listing as `style` (see entries.walk_of); the listing's paths taken only inside `roots` (see
    entries.taken)."""
    argv = command.argv
    try:
        _, status, _, said = processes.run_program_to_file(argv, unit.directory, timeout,
                                                           limits=limits, added=command.env)
    except Failure as failure:
        return Outcome(unit.path, status="timeout", message=str(failure))
    except OSError as error:
        return Outcome(unit.path, status="not run", message=f"{argv[0]}: {error.strerror}")
    with said:
        if status != 0:
            if limits and limits.active and os.fstat(said.fileno()).st_size >= LISTING:
                message = f"its listing passed {readable_size(LISTING)}: stopped"
            else:
                message = entries.first_error(
                    files.read_at_most(said, 1 << 16).decode(errors="replace"))
            return Outcome(unit.path, status=status, message=message)
        try:
            return Outcome(unit.path, list(entries.walk_of(style)(said, unit.directory, roots)))
        except entries.Unclear as unclear:
            return Outcome(unit.path, status="unclear", message=str(unclear))


def limits():
    """What bounds each unit's compiler (close it once the units have run); its launcher is
    started with processes.bounded once the programs are contained, while the run is planned."""
    return Limits(MEMORY, LISTING)


def list_entries(units, commands, styles, jobs, timeout, progress, take, limits, roots=None):
    """Lists the headers each unit enters, its compiler run `jobs` at a time, and hands each
    Outcome to `take(index, outcome)` in this thread as the unit ends; none is kept here.
    `roots` gives for each unit where the headers its listing names may lie."""
    pool = ThreadPoolExecutor(max_workers=jobs)
    try:
        pending, done, queued = {}, 0, iter(enumerate(zip(units, commands, styles)))
        # At most twice the workers are queued at once: the futures of a database of 100 000
        # units are not all made up front.
        while True:
            for index, (unit, command, style) in queued:
                pending[pool.submit(outcome_of, unit, command, style, timeout, limits,
                                    roots[index] if roots else None)] = index
                if len(pending) >= 2 * jobs:
                    break
            if not pending:
                break
            finished, _ = wait(pending, return_when=FIRST_COMPLETED)
            for future in finished:
                take(pending.pop(future), future.result())
                done += 1
                progress(done, len(units))
    except BaseException:
        # Stopped here, before the workers are waited for: they wait on their compilers.
        registry.stop_all()
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown()


@dataclass
class Header:
    path: str
    system: bool = False
    size: int = 0
    units: int = 0  # that entered it more than once
    entries: int = 0
    reentries: int = 0  # entries beyond the first in each unit, summed
    shape: str = None  # how its guard reads (catalogue.SHAPES); None: a system header entered
    # once a unit, not read
    line: int = None
    text: str = ""
    macro: str = None
    # The macro the compiler takes for its guard that the build may set from outside (a -D, a
    # test of its value, a #define with a value): a fix takes the header for unguarded.
    setting: str = None
    # In a shard's record, (shape, line, text) as one run reads it where a unit of another shard
    # sets its guard's macro (see as_settings).
    as_setting: tuple = None
    read: bool = False  # whether its file has been looked at
    causes: Counter = field(default_factory=Counter)  # of its re-entries
    # (path, line, role) -> (order, text, route) of the lines behind them (see catalogue.Named)
    includes: dict = field(default_factory=dict)

    @property
    def bytes_reread(self):
        return self.reentries * self.size


def add(found, counts, system_directories):
    """Adds the headers one unit entered (`counts`) to `found`; `system_directories` are the
    directories whose headers are the system's for that unit."""
    for path, count in counts.items():
        header = found.get(path)
        if header is None:
            header = found[path] = Header(path)
        header.entries += count
        if count > 1:
            header.units += 1
            header.reentries += count - 1
        header.system = header.system or under(path, system_directories)


def describe_all(found, readable=None, knobs=frozenset()):
    for header in found:
        # The shape is read where it can matter: the build's own headers, and any entered again.
        # The system's many others entered once a unit are only measured.
        if not header.read:
            describe(header, readable, read_shape=not header.system or header.reentries > 0,
                     knobs=knobs)


def settle_knobs(found, knobs, texts=None):
    """Marks each of the build's own headers in `found` whose guard's macro is one of `knobs`
    (the settings the build may give, known once every file is read) as guarded by a setting:
    the compiler takes it for a guard, but no fix does; of the settings shape where it is read
    again and its text (in `texts`, path -> text) is all settings' defaults."""
    for header in found.values():
        if not header.system and header.macro is not None and header.macro in knobs:
            text = (texts or {}).get(header.path)
            if text is None:
                header.setting = header.macro
            else:
                settle(header, text, knobs)
                header.setting = header.macro


def as_settings(found, knobs, defined, texts, readable=None):
    """For a shard's record, gives each header of `found` read whose guard's macro no unit of
    the shard sets its as_setting, where a setting of that macro from outside would give it one:
    the shape it would then have, as one run over all reads it, which a merge takes where a unit
    of another shard sets it. For the build's own headers the settings are `knobs` (their texts
    in `texts`, path -> text), for the system's the units' -D alone, `defined`, as the run
    settles them."""
    for header in found.values():
        known = defined if header.system else knobs
        if header.macro is None or header.setting is not None or header.macro in known:
            continue
        text = run_texts.read(header.path, readable) if header.system else texts.get(header.path)
        if text is None:
            continue
        probe = Header(header.path, shape=header.shape, line=header.line, text=header.text,
                       macro=header.macro)
        settle(probe, text, known | {header.macro})
        if probe.setting:
            header.as_setting = (probe.shape, probe.line, probe.text)


def explain(found, source, walked, counts, position=0, readable=None, knobs=frozenset()):
    """Adds the cause of each re-entry in one unit (whose file is `source`, its listing
    `walked`, the entries of each header `counts`, its place in the database `position`) to the
    headers of `found`, once the shape of those entered again is read (where `readable` lets
    their text be read). The lines named are the first INCLUDES (the catalogue's) in the
    database's order, whatever order the units end in."""
    for path, count in counts.items():
        header = found[path]
        if count > 1 and (not header.read or header.shape is None):
            describe(header, readable, knobs=knobs)
    for number, (path, cause, lines) in enumerate(causes.explain(
            source, walked, lambda p: (found[p].shape, found[p].macro), readable)):
        header = found[path]
        header.causes[cause] += 1
        for k, line in enumerate(n for n in lines if n.line is not None):
            name_line(header.includes, line, (position, number, k))


def name_line(named, line, key):
    """Keeps `line` (a catalogue.Named) among the lines `named` for a header where it is one of
    the first INCLUDES (the catalogue's) by `key`, its place in the database's order: a line
    once for each role it has (one #include may be a unit's first and another's second), with
    its first route."""
    path, number, text = line.line
    at = (path, number, line.role)
    route = tuple((p, n) for p, n, _ in line.route)
    if at in named:
        if key < named[at][0]:
            named[at] = (key, text, route)
    elif len(named) < catalogue.INCLUDES:
        named[at] = (key, text, route)
    else:
        last = max(named, key=lambda n: named[n][0])
        if key < named[last][0]:
            del named[last]
            named[at] = (key, text, route)


def describe(header, readable=None, read_shape=True, knobs=frozenset()):
    """The header's size and (with `read_shape`) its shape, from its file as it is now: its text
    read only where it is a regular file inside `readable` (the tree, the compiler's own
    directories), its size wherever it is a regular file. A guard's macro in `knobs`, or one
    #define'd with a value, is marked as a setting."""
    header.read = True
    real = files.regular(header.path)
    if real is None:
        header.shape = "unreadable"
        return
    header.size = os.stat(real).st_size
    if not read_shape:
        return
    text = run_texts.read(header.path, readable)
    if text is None:
        header.shape = "unreadable"
        return
    # The shape as the compiler reads it, which says why it entered the header again; and
    # whether its guard's macro is a setting, which the fix must not rely on.
    found = shapes.shape(text)
    header.shape, header.line, header.text, header.macro = (found.reason, found.line,
                                                            found.text, found.macro)
    settle(header, text, knobs)


def settle(header, text, knobs):
    """Marks `header` (of the text `text`) as guarded by a setting where its guard's macro is
    one of `knobs` or #define'd with a value; where the compiler reads it again all the same
    and it is all settings' defaults, it is of the settings shape, named at its first."""
    if not header.macro:
        return
    settled = shapes.shape(text, knobs, valued=True)
    if settled.reason == header.shape:
        return
    header.setting = header.macro
    shape = catalogue.SHAPES.get(header.shape)
    if settled.reason == "settings" and shape and not shape.sound and shape.fix == "new_guard":
        header.shape, header.line, header.text = settled.reason, settled.line, settled.text
