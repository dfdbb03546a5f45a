"""The cost of an include from its runs: start-up + cost x count, a least-squares line through
the fastest run at each count, with the interval of its fits to runs drawn again (a seeded
bootstrap, as measured draws it)."""

from dataclasses import dataclass, field

from guardgen_common import measured


@dataclass
class Cost:
    """start-up + cost x count, fitted to the fastest run at each count, and the interval of the
    cost from the replicates."""

    start_ms: float
    ns_per_include: float
    low: float
    high: float
    replicates: list = field(repr=False)
    runs: int  # the fewest runs at any count

    @property
    def bounded(self):
        """Whether the runs bound the cost from above: enough of them, and an interval that ends
        above zero."""
        return self.runs >= measured.MIN_RUNS and self.high > 0

    @property
    def measurable(self):
        """Whether the runs measure the cost, by measured's rule, and it is above zero (a cost
        below it is the runs' noise). Where the largest count adds too little to the start-up,
        it is not."""
        return self.ns_per_include > 0 and measured.unmeasured(
            self.ns_per_include, self.low, self.high, self.runs) is None


def deviations(counts):
    """(mean, each count's deviation from it, the sum of their squares): the least-squares slope
    through points at `counts` is the sum of each value times its deviation, over that sum."""
    mean_x = sum(counts) / len(counts)
    weights = [x - mean_x for x in counts]
    return mean_x, weights, sum(w ** 2 for w in weights)


def fit(counts, seconds):
    """(slope, intercept) of the least-squares line through the points."""
    mean_x, weights, sxx = deviations(counts)
    slope = sum(w * y for w, y in zip(weights, seconds)) / sxx
    return slope, sum(seconds) / len(seconds) - slope * mean_x


def line_through(times):
    """(ns per include, start-up ms) of the least-squares line through the fastest run at each
    count. A run is slowed, never sped up, by what else the machine does, so the fastest is the
    steadiest measure."""
    counts = sorted(times)
    slope, intercept = fit(counts, [min(times[c]) for c in counts])
    return slope * 1e9, intercept * 1e3


def redrawn_slopes(times, rng, replicates):
    """The ns per include of `replicates` fits, each to runs drawn with replacement from each
    count's own. Only the fastest of a draw is fitted, so it is drawn directly: of n sorted runs
    drawn n times, the fastest is at index j or later with probability ((n - j) / n) ** n."""
    counts = sorted(times)
    ordered = [sorted(times[c]) for c in counts]
    _, weights, sxx = deviations(counts)
    slopes = []
    for _ in range(replicates):
        total = 0.0
        for w, runs in zip(weights, ordered):
            n = len(runs)
            total += w * runs[int(n * (1 - rng.random() ** (1 / n)))]
        slopes.append(total / sxx * 1e9)
    return slopes


def estimate(times, rng):
    """The cost of `times` (count -> seconds of each run) with its interval, from
    measured.REPLICATES fits to runs drawn again."""
    ns, start_ms = line_through(times)
    drawn = redrawn_slopes(times, rng, measured.REPLICATES)
    low, high = measured.interval(drawn)
    return Cost(start_ms, ns, low, high, drawn, min(map(len, times.values())))

