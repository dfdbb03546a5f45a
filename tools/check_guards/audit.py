"""Running the units: in worker threads, each compiler bounded in time in a process group of its
own (an interruption, which only the main thread receives, stops them all through the registry
of guardgen_common.processes); then the headers they entered, summed over the units, with each
header's size, whether it is the system's, and its shape."""

import os
from collections import Counter
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field

from guardgen_common import entries, processes, shapes
from guardgen_common.processes import Failure


@dataclass
class Outcome:
    """What one unit gave: the headers it entered, or why it failed."""

    file: str
    counts: Counter = field(default_factory=Counter)
    status: object = 0  # the compiler's exit status, or "timeout"
    message: str = ""


def run_unit(unit, argv, timeout):
    try:
        _, status, _, listing = processes.run(argv, unit.directory, timeout)
    except Failure as failure:
        return Outcome(unit.path, status="timeout", message=str(failure))
    except OSError as error:
        return Outcome(unit.path, status="not run", message=f"{argv[0]}: {error.strerror}")
    text = listing.decode(errors="replace")
    if status != 0:
        return Outcome(unit.path, status=status, message=entries.first_error(text))
    return Outcome(unit.path, entries.entered(text, unit.directory))


def run_units(units, argvs, jobs, timeout, progress):
    """The Outcome of each unit, in the units' order, `jobs` at a time."""
    pool = ThreadPoolExecutor(max_workers=jobs)
    try:
        futures = {pool.submit(run_unit, u, a, timeout): i
                   for i, (u, a) in enumerate(zip(units, argvs))}
        outcomes = [None] * len(units)
        for done, future in enumerate(as_completed(futures), 1):
            outcomes[futures[future]] = future.result()
            progress(done, len(units))
    except BaseException:
        # Stopped here, before the workers are waited for: they wait on their compilers.
        processes.stop_all()
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown()
    return outcomes


@dataclass
class Header:
    path: str
    system: bool = False
    size: int = 0
    units: int = 0  # that entered it more than once
    entries: int = 0
    reentries: int = 0  # entries beyond the first in each unit, summed
    reason: str = None  # None: a system header entered once a unit, not read
    line: int = None
    text: str = ""
    macro: str = None

    @property
    def bytes_reread(self):
        return self.reentries * self.size

    @property
    def bytes_read(self):
        return self.entries * self.size


def under(path, directories):
    return any(path == d or path.startswith(d.rstrip(os.sep) + os.sep) for d in directories)


def headers(outcomes, system_directories):
    """Every header entered by the units that ran, summed over them. `system_directories` gives
    for each outcome the directories whose headers are the system's."""
    found = {}
    for outcome, directories in zip(outcomes, system_directories):
        for path, count in outcome.counts.items():
            header = found.setdefault(path, Header(path))
            header.entries += count
            if count > 1:
                header.units += 1
                header.reentries += count - 1
            header.system = header.system or under(path, directories)
    for header in found.values():
        # The shape is read where it can matter: the build's own headers, and any entered again.
        # The system's many others entered once a unit are only measured.
        describe(header, shape=not header.system or header.reentries > 0)
    return found


def describe(header, shape=True):
    """The header's size and (with `shape`) its shape, from its file as it is now."""
    try:
        header.size = os.path.getsize(header.path)
        if not shape:
            return
        with open(header.path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        header.reason = "unreadable"
        return
    found = shapes.shape(text)
    header.reason, header.line, header.text, header.macro = (found.reason, found.line,
                                                             found.text, found.macro)
