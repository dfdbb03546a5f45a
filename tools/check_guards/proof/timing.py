"""The proof's timing: -E of the units that entered a header again, in interleaved rounds on the
trees before and after the patch, the output thrown away; every round's seconds kept."""

import time

from guardgen_common import measured, processes

from .readers import argv_in, parallel

# As many rounds as a saving needs to be measured at all: fewer never are.
ROUNDS = measured.MIN_RUNS


def timed(units, view, jobs, timeout):
    """Seconds to preprocess all `units` in `view` (a scratch.View), `jobs` at a time, the output
    thrown away."""
    start = time.perf_counter()
    parallel(jobs, lambda u: processes.run_program(argv_in(u.argv, view.prefix, timed=True),
                                                   view.prefix + u.directory, timeout,
                                                   binds=view.binds), units)
    return time.perf_counter() - start


def rounds(units, trees, jobs, timeout, count, say):
    """Every round's seconds, as {"before": [...], "after": [...]}: `count` rounds (none where no
    unit is given), the tree before timed first in the even ones, after it in the odd ones."""
    times = {"before": [], "after": []}
    for round_ in range(count if units else 0):
        for name in (("before", "after") if round_ % 2 == 0 else ("after", "before")):
            times[name].append(timed(units, trees.before if name == "before" else trees.after,
                                     jobs, timeout))
        say(f"proof: round {round_ + 1} of {count} of -E timed")
    return times
