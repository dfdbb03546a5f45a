"""The proof's times summed up: each side's fastest and median, and the saving a round with its
interval, measurable or not by the rule both companions share (guardgen_common.measured)."""

import statistics

from guardgen_common import measured

# What the saving's bootstrap is seeded with: the same rounds give the same interval.
SEED = "check-guards/saving"


def summary(times):
    """The record's fields of `times` (every round's seconds before and after): before_s and
    after_s, each fastest and median; saving_s, the median of a round's before less after, and
    saving_interval_s, its interval; measurable, by measured's rule, and where it is not,
    not_measurable says why (measured.FEW, ZERO or WIDE)."""
    before, after = times["before"], times["after"]
    saving = measured.median([b - a for b, a in zip(before, after)], SEED)
    return {
        "before_s": {"fastest": min(before, default=0.0),
                     "median": statistics.median(before) if before else 0.0},
        "after_s": {"fastest": min(after, default=0.0),
                    "median": statistics.median(after) if after else 0.0},
        "saving_s": saving.estimate,
        "saving_interval_s": {"low": saving.low, "high": saving.high},
        "measurable": saving.measurable,
        "not_measurable": saving.unmeasured,
    }
