"""From the runs to the answers, touching nothing outside: the cost of an include in each style
with an interval, and the verdicts, which say "unclear" where the runs do not settle them."""

import math
import re
import statistics
from dataclasses import dataclass, field

# The include styles: guardgen's three, and the companion's own #pragma once.
STYLES = ("eg", "ig", "ng", "once")
STYLE_NAMES = {
    "eg": "external guard",
    "ig": "internal guard",
    "ng": "no guard",
    "once": "#pragma once",
}

# A preprocessor skips a guarded header it has seen when a bare include of it (ig) costs less
# than this share of an include of the unguarded header (ng). Measured on this project's machine:
# gcc and tcc 0.01 to 0.05, clang 0.3 to 0.5 (it still looks the header up each time), mcpp 0.9
# to 1.1 (it reads the header again).
SKIP_THRESHOLD = 0.7

# The intervals: 95 % of the fits to runs drawn again, with replacement, from each count's runs.
CONFIDENCE = 0.95
REPLICATES = 1000

DECLARATION = re.compile(r"^\s*extern\s+int\s+i\s*;\s*$", re.MULTILINE)


@dataclass
class Cost:
    """start-up + cost x count, fitted to the fastest run at each count, and the interval of the
    cost from the replicates."""

    start_ms: float
    ns_per_include: float
    low: float
    high: float
    replicates: list = field(default_factory=list, repr=False)


def line_through(times):
    """(ns per include, start-up ms) of the least-squares line through the fastest run at each
    count. A run is slowed, never sped up, by what else the machine does, so the fastest is the
    steadiest measure."""
    counts = sorted(times)
    slope, intercept = statistics.linear_regression(counts, [min(times[c]) for c in counts])
    return slope * 1e9, intercept * 1e3


def interval(values, confidence=CONFIDENCE):
    """The central `confidence` share of `values`: (low, high)."""
    ordered = sorted(values)
    tail = (1 - confidence) / 2
    last = len(ordered) - 1
    return ordered[round(tail * last)], ordered[round((1 - tail) * last)]


def estimate(times, rng, replicates=REPLICATES):
    """The cost of `times` (count -> seconds of each run) with its interval: the line is fitted
    again to runs drawn with replacement from each count's own, `replicates` times."""
    ns, start_ms = line_through(times)
    drawn = [
        line_through({c: rng.choices(runs, k=len(runs)) for c, runs in times.items()})[0]
        for _ in range(replicates)
    ]
    low, high = interval(drawn)
    return Cost(start_ms, ns, low, high, drawn)


def measurable(cost):
    """Whether the runs pin the cost down to within itself: the interval lies above zero and is
    no wider than the cost. Where the largest count adds too little to the start-up, it is not."""
    return cost.low > 0 and cost.high - cost.low <= cost.ns_per_include


def skip_verdict(guarded, ng, threshold=SKIP_THRESHOLD):
    """"skipped" when an include of a `guarded` header costs less than `threshold` of an ng
    include over the whole interval of their ratio, "re-read" when it costs that or more over the
    whole interval, and "unclear" otherwise, and wherever the ng cost itself is not clearly above
    zero."""
    if ng.low <= 0:
        return "unclear"
    ratios = [g / n if n > 0 else math.inf for g, n in zip(guarded.replicates, ng.replicates)]
    low, high = interval(ratios)
    if high < threshold:
        return "skipped"
    if low >= threshold:
        return "re-read"
    return "unclear"


def guarded_header_verdict(costs, threshold=SKIP_THRESHOLD):
    """Whether a bare include of the internally guarded header (ig) is skipped."""
    return skip_verdict(costs["ig"], costs["ng"], threshold)


def guard_undef_verdict(declarations):
    """guard.h, its guard lifted, and guard.h again: read again, as it must be, the declaration
    comes twice ("re-read"); once, where a preprocessor skipped it all the same ("skipped")."""
    return {2: "re-read", 1: "skipped"}.get(declarations, "unclear")


def pragma_once_verdict(declarations, largest):
    """From the output at the largest count: one declaration, "honoured"; one per include,
    "ignored"; with fewer than two includes, or anything else, "unclear"."""
    found = declarations["once"]
    if largest >= 2 and found == 1:
        return "honoured"
    if largest >= 2 and found == largest:
        return "ignored"
    return "unclear"


def count_declarations(text):
    return len(DECLARATION.findall(text))


def output_problem(declarations, largest):
    """Why the output at the largest count is no preprocessing of guardgen's files, or None: the
    unguarded source must declare once per include, the guarded ones once. (style, found,
    expected) of the first style that does not."""
    for style, expected in (("ng", largest), ("eg", 1), ("ig", 1)):
        if declarations[style] != expected:
            return style, declarations[style], expected
    return None
