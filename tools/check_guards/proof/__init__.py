"""The proof (here, in its order), and its parts:

    proposed     the fixes the proof tries, and those withdrawn, with the reason
    fixes        the fix of a header that only adds lines, as its shape asks
    copies       the regular files of a unit copied into a scratch tree, bounded
    scratch      the scratch trees before and after the patch, and one for a fix alone
    readers      a unit read in a tree: -E for its text and listing, -S for its code, digests
    compare      the proof's passes: units compared before and after, and what each withdraws
    timing       -E of the units that entered a header again, in interleaved rounds
    stats        the times summed up: fastest, median, the saving a round and its interval
    diffs        the patch: a unified diff of each fixed header, with git's a/ and b/ paths
    words        the proof's record in words for the user

The proof of a patch, in its order, never writing the user's tree: in the sandbox on the tree
itself with the fixed headers bound over it, read-only, else on scratch copies of the files the
changed units read and of the directories they search (scratch): the fixes proposed (proposed),
the files each unit reads listed (readers), then pass after pass the units compared before and
after the patch and what a fix disproves withdrawn (compare), until a pass withdraws none; then
-E timed in interleaved rounds (timing, stats), and the patch written (diffs)."""

import os
from dataclasses import dataclass

from guardgen_common import context
from guardgen_common.outputs import plural

from . import compare, diffs, proposed, readers, scratch, stats, timing
from .diffs import diff
from .words import lines
from .readers import Unit
from .timing import ROUNDS

__all__ = ["Proof", "prove", "ROUNDS", "Unit", "diff", "lines"]


@dataclass
class Proof:
    """A patch proven: its text, the record that goes into the JSON as "proof", and each patched
    header's text, path -> (before, after)."""
    patch: str
    record: dict
    fixed: dict


def prove(headers, units, jobs, timeout, rounds=ROUNDS, say=None, taken=None, top="."):
    """The patch for `headers` (records of the build's own headers entered again) and its proof,
    as a Proof. `units` are the proof's Units, those that entered any of them again; `taken` the
    names in the build's files that a new guard must not take; `top` the project's top, where
    the patch is applied, its paths relative to it. A unit is proven when its
    preprocessed text is the same, each line at the file and line its line markers give it
    (which __builtin_LINE() and std::source_location take), else when the assembly it compiles
    to is and no precompiled header was read for it; a header whose fix changes some unit's
    code, or does not lower its re-entries, is withdrawn with the reason, and the rest proved
    again. On scratch copies, a unit whose text there is not its text in the tree proves
    nothing."""
    say = say or (lambda text: None)
    proposal = proposed.propose(headers, units, set() if taken is None else taken, top)
    with context.scratch_directory("check-guards-proof.") as directory:
        trees = scratch.Trees(directory)
        say(f"proof: listing the files that {plural(len(units), 'unit')} read")
        readers.list_files(units, jobs, timeout)
        trial = compare.Trial(proposal, units, trees, jobs, timeout, say)
        while True:
            trial.preprocess()
            if trial.withdraw_failed():
                break
            if trial.withdraw_unseen() or trial.withdraw_unreproduced():
                continue
            differing = trial.differing()
            code = trial.codes(differing)
            if not (trial.withdraw_culprits(differing, code) or trial.withdraw_unlowered()):
                break  # nothing withdrawn: what is left is proven
        clocked = [u for u in trial.chosen if u.again]
        times = timing.rounds(clocked, trees, jobs, timeout, rounds, say)
    return Proof(diffs.patch(proposal.fixes), _record(trial, clocked, times, top),
                 {p: (fix.text, fix.new) for p, fix in proposal.fixes.items()})


def _record(trial, clocked, times, top):
    """The proof's record, its fields in the order they have always been written, every round's
    seconds last."""
    reentries, fixes = trial.reentries(), trial.proposed.fixes
    return {
        "units": len(trial.chosen),
        "reentries_before": reentries[0],
        "reentries_after": reentries[1],
        "output_identical": trial.identical,
        **stats.summary(times),
        "withdrawn": trial.proposed.withdrawn,
        "rounds": len(times["before"]),
        "timed_units": len(clocked),
        "patched": sorted(fixes),
        "by_code": len(trial.by_code),
        "fixes": [fixes[p].record for p in sorted(fixes)],
        "times_s": {"before": times["before"], "after": times["after"]},
        "seen_in": "tree" if trial.trees.bound else "copies",
        "top": os.path.realpath(top),
    }
