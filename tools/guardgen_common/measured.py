"""When runs measure a difference, by one rule for both companions: at least MIN_RUNS of them,
and an interval from a bootstrap (the estimate again on runs drawn with replacement, from a
generator seeded by the caller, so that the same runs give the same answer) that lies on the
estimate's side of zero and is no wider than the estimate itself."""

from dataclasses import dataclass

# The interval: the central 95 % of REPLICATES estimates, each on runs drawn again.
CONFIDENCE = 0.95
REPLICATES = 1000
# Fewer runs than this measure nothing: the fastest or the median of fewer moves with every run,
# and a bootstrap of them has only a handful of distinct values.
MIN_RUNS = 6

# Why runs measure no difference: too few of them, an interval that holds zero, or one wider
# than the estimate, which the runs then do not pin down.
FEW = "runs"
ZERO = "zero"
WIDE = "wide"


def interval(values, confidence=CONFIDENCE):
    """The central `confidence` share of `values`: (low, high)."""
    ordered = sorted(values)
    tail = (1 - confidence) / 2
    last = len(ordered) - 1
    return ordered[round(tail * last)], ordered[round((1 - tail) * last)]


def unmeasured(estimate, low, high, runs):
    """Why `runs` runs, whose `estimate` has the interval `low` to `high`, measure no
    difference from zero (FEW, ZERO or WIDE), or None where they do."""
    if runs < MIN_RUNS:
        return FEW
    if not (low > 0 < estimate or high < 0 > estimate):
        return ZERO
    if high - low > abs(estimate):
        return WIDE
    return None


@dataclass(frozen=True)
class Measure:
    """An estimate from `runs` runs, its interval, and why it measures nothing, if it does not."""

    estimate: float
    low: float
    high: float
    runs: int

    @property
    def unmeasured(self):
        return unmeasured(self.estimate, self.low, self.high, self.runs)

    @property
    def measurable(self):
        return self.unmeasured is None


def median(values, seed):
    """The median of `values` as a Measure, its interval from REPLICATES medians of as many
    values drawn from them with replacement by random.Random(`seed`); 0 from 0 to 0 where there
    are none."""
    # Loaded here: only a run that measures needs them, and they cost a tool's start 20 ms.
    import random
    import statistics

    if not values:
        return Measure(0.0, 0.0, 0.0, 0)
    rng = random.Random(seed)
    drawn = [statistics.median(rng.choices(values, k=len(values))) for _ in range(REPLICATES)]
    low, high = interval(drawn)
    return Measure(statistics.median(values), low, high, len(values))
