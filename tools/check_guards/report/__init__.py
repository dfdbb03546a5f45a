"""The record in words (here: the table and the totals), and in other forms:

    formats      compiler-style lines and SARIF

The answer as a user reads it: a table of the headers the build enters again, those whose text
is processed again first (they are what can cost time), with the cause of their re-entries, the
lines behind it and the fix; and the totals. Bytes are called what they are, bytes scanned
again: a guarded header entered again is opened and scanned to its #endif, which is no measure
of time."""

from guardgen_common.markdown import cell, code_cell
from guardgen_common.names import shown_path
from guardgen_common.outputs import plural, readable_size

from ..audit import catalogue
from .. import record


def units_apart(summary):
    """(the units audited, those that were not, in words such as "2 failed, 1 skipped")."""
    failed = len(summary["failed"])
    skipped = sum(summary.get("skipped", {}).values())
    apart = ", ".join([f"{failed} failed"] * bool(failed) + [f"{skipped} skipped"] * bool(skipped))
    return summary["totals"]["units"] - failed - skipped, apart


def nothing_found(summary, baseline):
    """The sentence for a table without a row: that no header is entered again (or newly, beyond
    the `baseline`) is said only of the units audited, and not at all where none was."""
    audited, apart = units_apart(summary)
    if audited <= 0:
        return ("No unit was audited" + (f" ({apart})" if apart else "")
                + ": nothing is known of the build's headers.")
    where = f" in the {plural(audited, 'unit')} audited ({apart})" if apart else ""
    if baseline:
        return f"No header of the build's own is newly entered again{where}, beyond the baseline."
    return f"No header of the build's own is entered more than once{where or ' in a unit'}."


def table(summary, top, limit, everything=False, hint=True, baseline=False):
    """The headers the build entered again, those processed again first: the user's own (all of
    them with `everything`, the system's too), at most `limit` rows, then a line for the
    system's, the totals, and how to measure what they cost; paths relative to `top` where they
    lie below it. With `baseline`, the headers are those new to the baseline."""
    again = [h for h in summary["headers"] if h["reentries"] > 0]
    own = again if everything else record.own_again(again)
    lines = []
    if own:
        lines += ["| header | re-entries | units | read again | bytes scanned again | cause "
                  "| fix |", "|---|---:|---:|---|---:|---|---|"]
        for h in own[:limit]:
            lines.append(f"| {cell(shown_path(h['path'], top))} | {h['reentries']} | {h['units']} "
                         f"| {h.get('kind') or '?'} | {h['bytes_reread']} "
                         f"| {catalogue.said(h, code_cell)} | {cell(catalogue.advice(h, top))} |")
        if len(own) > limit:
            lines.append(f"\n{len(own) - limit} more (--limit shows more)")
    else:
        lines.append(nothing_found(summary, baseline))
    system = [h for h in again if h["system"]]
    if system and not everything:
        lines.append(f"\nSystem headers: {len(system)} entered again, "
                     f"{plural(sum(h['reentries'] for h in system), 'time')}, "
                     f"{readable_size(sum(h['bytes_reread'] for h in system))} scanned again "
                     "(--all lists them)")
    t = summary["totals"]
    apart = units_apart(summary)[1]
    processed = t.get("reentries_processed", 0)
    lines.append(
        f"\nUnits: {t['units']}" + (f" ({apart})" if apart else "")
        + f"; headers: {t['headers']}, entered {t['entries']} times, {t['reentries']} of them "
        f"again ({processed} processed again, {t['reentries'] - processed} only scanned); "
        f"bytes scanned again: {readable_size(t['bytes_reread'])} of "
        f"{readable_size(t['bytes_read'])} read")
    if own and hint:
        lines.append("Bytes are no measure of time: a header only scanned again costs an open and "
                     "a scan to its #endif. To measure it, --patch FILE proves the fix and times "
                     "-E before and after.")
    return "\n".join(lines) + "\n"


