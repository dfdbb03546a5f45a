"""Verdicts from the times a preprocessor entered a header, evidence of another kind than the
cost of its includes: counted in its own record (its listing, gcc and clang: -H, cl:
/showIncludes; or the files it opened, strace), or estimated by the clock against a copy that
no preprocessor can skip; and why a record cannot tell."""

from guardgen_common.outputs import plural

from .verdicts import BODY_FACTOR


def entries_verdict(found, includes, slack=0.0):
    """"skipped" where the header was entered at most twice in `includes` includes (a header may
    skip itself only from its second include on), "re-read" where about once per include, else
    "unclear"; `slack`: how far an estimate of the entries may be off."""
    if found is None:
        return "unclear"
    if found <= 2 + slack:
        return "skipped"
    if found >= 0.9 * includes:
        return "re-read"
    return "unclear"


def entries_unclear(found, includes):
    """Why `found` entries in `includes` includes give no verdict."""
    return (f"it entered the header {found:g} times in {includes} includes: neither at most "
            "twice nor about once per include")


# What each record is, and what it shows, as the lines that say why one cannot tell name them.
RECORDS = {
    "listing": ("listing (-H)", "listed"),
    "showIncludes": ("listing (/showIncludes)", "listed"),
    "opens": ("opens (strace)", "opened"),
}


def unfit(how, found, includes, header, error=None):
    """Why the record `how` cannot tell whether a header is entered again, or None where it can:
    it must show the unguarded `header`, which each of `includes` includes enters, about once
    per include (`found` times; None where the run failed, saying `error`). A preprocessor that
    opens a file once and keeps its text, or lists only some entries, fails this."""
    noun, verb = RECORDS[how]
    if found is None:
        return f"its {noun} cannot tell: {error}"
    if abs(found - includes) <= 0.1 * includes:
        return None
    return (f"its {noun} cannot tell: it {verb} {header} {plural(found, 'time')} in {includes} "
            "includes, which each enter it")



# What the clock's estimate of the entries may be off by, as a share of the includes.
CLOCK_SLACK = 0.05


def clock_estimate(times, includes):
    """(verdict, entries, why it is unclear or None) from the runs of a header included
    `includes` times, of a copy that no preprocessor can skip, of a header of one declaration
    (an include's own cost) and of an empty source: the header's cost over the one declaration's,
    as a share of the copy's, times the includes. Unclear where the copy's body costs less than
    BODY_FACTOR times an include's own cost, or is not well above how far the empty source's runs
    move, and where the header seems to cost well more than the copy, which the runs then cannot
    have measured."""
    fastest = {kind: min(runs) for kind, runs in times.items()}
    spread = max(times["empty"]) - min(times["empty"])
    body = fastest["copy"] - fastest["fixed"]
    if body < BODY_FACTOR * (fastest["fixed"] - fastest["empty"]):
        return ("unclear", None, f"the header's body costs less than {BODY_FACTOR} times an "
                "include's own cost, which a preprocessor that keeps the text pays either way")
    if body <= 0 or body < 2 * spread:
        return "unclear", None, "the copy's cost is lost in the spread of the runs"
    found = round(max(0.0, includes * (fastest["header"] - fastest["fixed"]) / body), 1)
    if found > (1.1 + CLOCK_SLACK) * includes:
        verdict = "unclear"
    else:
        verdict = entries_verdict(found, includes, CLOCK_SLACK * includes)
    return verdict, found, entries_unclear(found, includes) if verdict == "unclear" else None


def undef_verdict(found):
    """guard.h, its guard lifted, and guard.h again, by its entries: entered twice, as it must
    be, "re-read"; once, "skipped"."""
    return {2: "re-read", 1: "skipped"}.get(found, "unclear")
