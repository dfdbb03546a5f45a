"""From the runs to the timed verdicts, touching nothing outside: a preprocessor's cost of an
include in each style (see costs), and whether it skips a header it has seen, which says
"unclear" where the runs do not settle it."""

import math
import random
from dataclasses import dataclass

from guardgen_common import measured

from .costs import estimate, line_through

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
# to 1.1 (it reads the header again). On headers of a large body (see BODY), as the clock decides
# now: gcc, clang and cppcheck 0.0 to 0.07, the stand-in of the tests 0.0, and 1 or more with
# --rescan.
SKIP_THRESHOLD = 0.7

# Where the clock decides, each question is timed on a header of a large body (BODY_DECLARATIONS
# declarations, its style named BODY and the form), against an unguarded header of the same body
# (BODY_NG): a preprocessor that keeps a header's text pays an include's own cost (finding the
# file, reading the directive) whether it skips the body or not, so only where the body costs
# well more than that does the ratio say whether the body is skipped. 2000 declarations cost 50
# times an include of noguard.h on gcc, whose lexer is the fastest here, 130 times on clang, 60
# on the stand-in of the tests and 1600 on cppcheck. A verdict needs the body, in the same runs,
# to cost at least BODY_FACTOR times an ng include.
BODY = "body_"
BODY_NG = "body_ng"
BODY_DECLARATIONS = 2000
BODY_FACTOR = 10
# On those headers "skipped" needs a later include to cost less than this share of the body
# unguarded: the clock sees the body's cost, not whether the file is opened again, and a
# preprocessor that opens it again and passes over its inactive lines pays a share of it (mcpp
# about 0.5 here), where the ones that skip it pay 0.0 to 0.07. One that passed over a body
# faster than this would still be told "skipped".
BODY_SKIP_THRESHOLD = 0.25


def threshold(style):
    """The share of its unguarded one's cost below which an include of `style` is skipped."""
    return BODY_SKIP_THRESHOLD if style.startswith(BODY) else SKIP_THRESHOLD


def reference(style):
    """The unguarded style that `style` is judged against."""
    return BODY_NG if style.startswith(BODY) else "ng"


# The intervals of the costs as shown are measured's: its share of the fits to runs drawn again,
# with replacement, from each count's runs. What a timed verdict needs beyond that, so that it
# survives the drift between runs and not only the spread within one (the simulation in the
# tests holds it to fewer than one confident wrong verdict in a thousand):
# - measured.MIN_RUNS runs at every count at least;
# - an ng signal at the largest count (cost x count) at least this many times the start-up's own
#   spread (how far apart the fastest runs at count 0 of the styles lie, where each does the
#   same: the chance in the fastest run, which the fit is made of);
SIGNAL_FACTOR = 2
# - the ratio's interval on one side of the threshold at this confidence, stricter than the
#   costs' so that a run of some twenty verdicts is still seldom wrong once;
VERDICT_CONFIDENCE = 0.999
# - and the same side in each half of the rounds (the even and the odd ones), fitted apart, clear
#   of the threshold by this much, so that a drift which favoured one style for a while cannot
#   decide alone, nor can a ratio so near the threshold that the runs cannot place it.
HALF_MARGIN = 0.1


def halves(times):
    """The runs of the even rounds and of the odd ones, apart (each count's runs are in the order
    of the rounds)."""
    return ({c: runs[0::2] for c, runs in times.items()},
            {c: runs[1::2] for c, runs in times.items()})


def start_up_spread(times_by_style):
    """How far the fastest of a style's runs moves by chance: the fastest runs at count 0 of the
    styles (each the same empty file, so each the same cost) lie this far apart."""
    fastest = [min(times[0]) for times in times_by_style.values() if times.get(0)]
    return max(fastest) - min(fastest) if len(fastest) > 1 else 0.0


def side(ratio, threshold):
    return "skipped" if ratio < threshold else "re-read"


def skip_verdict(guarded, ng, limit=SKIP_THRESHOLD):
    """Whether a header included as the times `guarded` is skipped, against the unguarded ng:
    "skipped" when an include of it costs less than `limit` of an ng include, "re-read" when it
    costs that or more, each only where the interval of their ratio, at the verdict's
    confidence, and each half of the rounds agree; else "unclear". Each is a (times, Cost)
    pair."""
    (guarded_times, guarded_cost), (ng_times, ng_cost) = guarded, ng
    ratios = [g / n if n > 0 else math.inf
              for g, n in zip(guarded_cost.replicates, ng_cost.replicates)]
    low, high = measured.interval(ratios, VERDICT_CONFIDENCE)
    if side(low, limit) != side(high, limit):
        return "unclear"
    verdict = side(low, limit)
    margin = HALF_MARGIN if verdict == "re-read" else -HALF_MARGIN
    for guarded_half, ng_half in zip(halves(guarded_times), halves(ng_times)):
        ng_ns = line_through(ng_half)[0]
        if ng_ns <= 0:
            return "unclear"
        if side(line_through(guarded_half)[0] / ng_ns, limit + margin) != verdict:
            return "unclear"
    return verdict


def lacking(times_by_style, style, costs):
    """What the runs lack for a timed verdict on `style`, or None: "runs" where some count has
    fewer than measured.MIN_RUNS, "counts" where the signal of the unguarded style it is judged
    against, at the style's largest count, is not well above the start-up's spread, and "body"
    where that one's body does not cost BODY_FACTOR times an ng include."""
    unguarded = reference(style)
    if any(len(runs) < measured.MIN_RUNS
           for s in (style, unguarded, "ng") for runs in times_by_style[s].values()):
        return "runs"
    cost = costs[unguarded]
    signal = cost.ns_per_include * 1e-9 * max(times_by_style[style])
    if cost.low <= 0 or signal < SIGNAL_FACTOR * start_up_spread(times_by_style):
        return "counts"
    fixed = costs["ng"].high
    if unguarded == BODY_NG and (fixed <= 0 or cost.low < BODY_FACTOR * fixed):
        return "body"
    return None


@dataclass
class Judgement:
    """A preprocessor's costs and timed verdicts, from its runs alone."""

    costs: dict  # style -> Cost
    verdicts: dict  # timed style other than ng and BODY_NG -> "skipped", "re-read" or "unclear"
    # the same styles -> what the runs lack for its verdict ("runs", "counts", "body"), or None
    lacks: dict

    @property
    def lacking(self):
        """What the runs lack for some verdict, if anything."""
        return next((lack for lack in self.lacks.values() if lack), None)


def judge(times_by_style, key, styles=None):
    """Judges a preprocessor from its runs (style -> count -> seconds of each run): the cost of
    each of `styles` (default: all), of ng and of the unguarded styles they are judged against,
    and the verdict of each against its unguarded one (see reference). Each style's replicates
    come from a generator of its own, seeded with `key` and the style's name, so that the same
    runs give the same judgement wherever it is asked for, in whatever order."""
    styles = list(styles or times_by_style)
    costs = {s: estimate(times_by_style[s], random.Random(f"{key}/{s}"))
             for s in dict.fromkeys([*styles, *map(reference, styles), "ng"])}
    found, lacks = {}, {}
    for style in styles:
        if style in ("ng", BODY_NG):
            continue
        unguarded = reference(style)
        lacks[style] = lacking(times_by_style, style, costs)
        if lacks[style]:
            found[style] = "unclear"
        else:
            found[style] = skip_verdict((times_by_style[style], costs[style]),
                                        (times_by_style[unguarded], costs[unguarded]),
                                        threshold(style))
    return Judgement(costs, found, lacks)


def key(seed, name):
    """What a preprocessor's generators are seeded with: the run's seed and its name."""
    return f"{seed}/{name}"


def told(how, verdict, why, unfit_record=None):
    """What the JSON's "how" says of a verdict: the evidence it came from; for an unclear one,
    followed by why that evidence could not tell, and why the preprocessor's record could not
    (`unfit_record`) where it was tried."""
    if verdict != "unclear":
        return how
    return f"{how}: {why}" + (f"; {unfit_record}" if unfit_record else "")


def pending(results, seed, runs):
    """The results with a verdict judged by the clock that the runs so far leave unclear, where
    more rounds may settle it (those of the headers of a large body, the others deciding
    nothing): not where the counts are too small, nor where `runs` more cannot bring the runs to
    enough. A preprocessor whose verdicts come from its own record needs no more rounds for
    them."""
    found = []
    for result in results:
        if result.how != "clock":
            continue
        judgement = judge(result.times, key(seed, result.name))
        have = min(len(r) for times in result.times.values() for r in times.values())
        if have + runs >= measured.MIN_RUNS and any(
                verdict == "unclear" and judgement.lacks[style] != "counts"
                for style, verdict in judgement.verdicts.items() if style.startswith(BODY)):
            found.append(result)
    return found
