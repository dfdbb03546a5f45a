"""The proof's record in words for the user."""

from guardgen_common import measured
from guardgen_common.names import printable
from guardgen_common.outputs import plural


def saving(proof):
    """What the rounds say of the time the patch saves a round: the saving (or the loss) with
    its interval where it is measurable, else why not."""
    median, low, high = (proof["saving_s"], proof["saving_interval_s"]["low"],
                         proof["saving_interval_s"]["high"])
    share = f"{measured.CONFIDENCE:.0%} interval"
    if proof["measurable"]:
        if median < 0:
            return f"loss {-median:.3f} s a round ({-high:.3f} to {-low:.3f} s, {share})"
        return f"saving {median:.3f} s a round ({low:.3f} to {high:.3f} s, {share})"
    why = {measured.FEW: f"too few rounds to tell ({proof['rounds']}, at least "
                         f"{measured.MIN_RUNS} needed)",
           measured.ZERO: f"its {share}, {low:.3f} to {high:.3f} s a round, holds 0",
           measured.WIDE: f"its {share}, {low:.3f} to {high:.3f} s a round, is wider than the "
                          f"saving itself ({median:.3f} s)"}
    return f"no measurable saving: {why[proof['not_measurable']]}"


def lines(proof):
    """The proof in a few lines for the user, and where its patch applies."""
    if not proof["patched"] and not proof["withdrawn"]:
        return "\nThe patch is empty: no header of the build's own is entered again.\n"
    out = [f"\nProof of the patch ({plural(len(proof['patched']), 'header')}, "
           f"{plural(proof['units'], 'unit')}, {plural(proof['rounds'], 'interleaved round')} of "
           + ("-E in the tree, the patch bound over it):" if proof.get("seen_in") == "tree"
              else "-E on scratch copies):")
           if proof["patched"] else "\nProof of the patch: every fix withdrawn, none written:"]
    if proof["units"]:
        by_code = proof.get("by_code", 0)
        out.append(("  code: the same in every unit: "
                    + (f"{plural(proof['units'] - by_code, 'unit')} by the preprocessed text "
                       f"(each line at its file and line, as the line markers say), {by_code} "
                       "by the assembly it compiles to" if by_code else "the preprocessed text "
                       "the same, each line at its file and line, as the line markers say"))
                   if proof["output_identical"] else
                   "  output: not the same from one run to the next, whatever the patch")
        saved = proof["reentries_before"] - proof["reentries_after"]
        out.append(f"  re-entries of the patched headers: {proof['reentries_before']} before, "
                   f"{proof['reentries_after']} after: {plural(saved, 'open')} saved (each "
                   "header's fewer, or it is withdrawn)")
        b, a = proof["before_s"], proof["after_s"]
        timed_units = proof.get("timed_units", proof["units"])
        out.append(f"  -E time of the {plural(timed_units, 'unit')} that entered one again: "
                   f"before {b['fastest']:.3f} s fastest ({b['median']:.3f} median), "
                   f"after {a['fastest']:.3f} s ({a['median']:.3f}); {saving(proof)}")
        out.append("  Opening a file costs more on a network mount or some Windows set-ups than "
                   "here: there each open saved is worth more.")
    for w in proof["withdrawn"]:
        out.append(f"  withdrawn: {printable(w['path'])}: {printable(w['reason'])}")
    if proof["patched"] and proof.get("top"):
        out.append(f"  its paths start at the project's top, {printable(proof['top'])}: run git "
                   "apply there.")
    return "\n".join(out) + "\n"
