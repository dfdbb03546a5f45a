"""The proof's times summed up: each side's fastest and median, and the saving a round with its
interval."""

import statistics


def summary(times):
    """The record's fields of `times` (every round's seconds before and after): before_s and
    after_s, each fastest and median; saving_s, the median of a round's before less after, from
    saving_low_s to saving_high_s; measurable where the saving is timed and that range leaves 0
    out."""
    before, after = times["before"], times["after"]
    differences = [b - a for b, a in zip(before, after)]
    low, high = (min(differences), max(differences)) if differences else (0.0, 0.0)
    return {
        "before_s": {"fastest": min(before, default=0.0),
                     "median": statistics.median(before) if before else 0.0},
        "after_s": {"fastest": min(after, default=0.0),
                    "median": statistics.median(after) if after else 0.0},
        "saving_s": statistics.median(differences) if differences else 0.0,
        "saving_low_s": low,
        "saving_high_s": high,
        "measurable": bool(differences) and (low > 0 or high < 0),
    }
