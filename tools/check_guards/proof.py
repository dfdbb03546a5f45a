"""The proof of a patch, made on scratch copies of the files the changed units read, never on the
user's tree: two trees of the same files, one of them patched; in both, every changed unit is
preprocessed and its output compared (line markers and blank lines aside), its re-entries
counted again, and its -E timed in interleaved rounds. A header whose fix changes some unit's
output (one meant to be read again, such as a list of X(...) entries) is withdrawn, with the
reason, and the rest proved again."""

import difflib
import hashlib
import os
import shutil
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

from guardgen_common import entries, processes, shapes
from guardgen_common.names import printable
from guardgen_common.outputs import plural

from . import copies, fixes
from .compilers import under

ROUNDS = 5
# Options whose value is a path, as the allowlist passes them: joined, or as the next word.
PATH_JOINED = ("-I", "-isystem", "-iquote", "-idirafter", "-cxx-isystem", "-iframework", "-F",
               "/I", "/FI", "/external:I", "-imsvc")
PATH_NEXT = ("-include", "-imacros")


def rerooted(path, tree):
    """`path` (absolute) in the scratch `tree`, where the copy holds it."""
    moved = tree + path
    return moved if os.path.lexists(moved) else path


def argv_in(argv, tree, timed=False):
    """A unit's argv with the paths into its copied files moved into `tree`; without -H where it
    is `timed`. The compiler stays the one outside: a copy in the scratch tree never runs."""
    out, take = argv[:1], False
    for word in argv[1:]:
        if take:
            out.append(rerooted(word, tree) if os.path.isabs(word) else word)
            take = False
            continue
        option = next((o for o in PATH_JOINED if word.startswith(o) and len(word) > len(o)
                       and os.path.isabs(word[len(o):])), None)
        if option:
            out.append(option + rerooted(word[len(option):], tree))
        elif word in ("-H", "/showIncludes") and timed:
            continue
        else:
            out.append(rerooted(word, tree) if os.path.isabs(word) else word)
            take = word in PATH_NEXT
    return out


def normal(output, tree):
    """The output with the scratch tree's name taken out, without line markers and blank lines:
    what must not change."""
    digest = hashlib.sha256()
    for line in output.replace(tree.encode(), b"").splitlines():
        stripped = line.strip()
        if stripped and not (stripped.startswith(b"# ") and stripped[2:3].isdigit()) \
                and not stripped.startswith(b"#line"):
            digest.update(stripped + b"\n")
    return digest.hexdigest()


class Unit:
    """A changed unit as the proof runs it: its directory and argv, and the files it reads that
    are not the compiler's own."""

    def __init__(self, unit, argv, defaults, roots=None):
        self.directory, self.argv, self.defaults = unit.directory, argv, defaults
        self.path = unit.path
        self.roots = roots  # where the files it reads may be copied from
        self.files = set()


def preprocess(unit, tree, timeout):
    """(output digest, listing as [(depth, path)] with the tree taken out) of `unit` in `tree`."""
    _, status, output, said = processes.run_to_file(
        argv_in(unit.argv, tree), tree + unit.directory, timeout, keep_output=True)
    with said:
        try:
            walked = [(d, p[len(tree):] if p.startswith(tree + os.sep) else p)
                      for d, p in entries.walker(unit.argv)(said, tree + unit.directory)]
        except entries.Unclear:
            return None, []
    if status != 0:
        return None, walked
    return normal(output, tree), walked


def _parallel(jobs, work, items):
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(work, items))


def timed(units, tree, jobs, timeout):
    """Seconds to preprocess all `units` in `tree`, `jobs` at a time, the output thrown away."""
    start = time.perf_counter()
    _parallel(jobs, lambda u: processes.run(argv_in(u.argv, tree, timed=True),
                                            tree + u.directory, timeout), units)
    return time.perf_counter() - start


def diff(before, after, shown):
    """The unified diff of one file, with git's a/ and b/ paths."""
    return "".join(difflib.unified_diff(before.splitlines(keepends=True),
                                        after.splitlines(keepends=True),
                                        f"a/{shown}", f"b/{shown}"))


def prove(headers, units, jobs, timeout, rounds=ROUNDS, say=None):
    """The patch for `headers` (records of the build's own headers entered again) and its proof:
    (the diff text, the proof's record, each patched header's text before and after). `units` are the proof's Units, those that entered any
    of them again."""
    withdrawn, changed = [], {}
    here = os.getcwd()
    readable = sorted({d for u in units for d in (u.roots or ())}) if units else None
    for h in headers:
        shown = os.path.relpath(h["path"], here)
        if shown.startswith(os.pardir):
            withdrawn.append({"path": h["path"], "reason": "it lies outside the current "
                              "directory, where a patch of git's cannot reach"})
            continue
        text = shapes.read(h["path"], readable)
        new = fixes.fixed(text, h, shown) if text is not None else None
        if new is None or new == text:
            withdrawn.append({"path": h["path"], "reason": f"no fix is known for {h['reason']}"})
            continue
        changed[h["path"]] = (shown, text, new)
    with processes.scratch_directory("check-guards-proof.") as scratch:
        before, after = os.path.join(scratch, "b"), os.path.join(scratch, "a")
        # The files each unit reads, from its listing where it stands.
        for unit, (_, walked) in zip(units, _parallel(jobs, lambda u: preprocess(u, "", timeout),
                                                       units)):
            unit.files = {unit.path} | {p for _, p in walked if not under(p, unit.defaults)}
        identical = True
        while True:
            chosen = [u for u in units if u.files & set(changed)]
            for tree in (before, after):
                shutil.rmtree(tree, ignore_errors=True)
                for unit in chosen:
                    copies.copy_into(tree, unit.files, unit.roots, unit.argv[0])
                    os.makedirs(tree + unit.directory, exist_ok=True)
            for path, (_, _, new) in changed.items():
                with open(after + path, "w", newline="") as f:
                    f.write(new)
            results = _parallel(jobs, lambda u: (preprocess(u, before, timeout),
                                                 preprocess(u, after, timeout)), chosen)
            broken = [u for u, (b, a) in zip(chosen, results) if b[0] is None or a[0] is None]
            if broken:
                # An output that is not there proves nothing, the same on both sides or not.
                for path in sorted(changed):
                    withdrawn.append({"path": path, "reason": "the proof could not preprocess "
                                      f"{os.path.relpath(broken[0].path, here)} on the scratch "
                                      f"copies ({plural(len(broken), 'unit')} failed there)"})
                changed.clear()
                identical, chosen = False, []
                break
            differing = [(u, b, a) for u, (b, a) in zip(chosen, results) if b[0] != a[0]]
            if not differing:
                break
            if not any({p for _, p in a[1]} & set(changed) for _, _, a in differing):
                identical = False  # it changes from one run to the next (__TIME__, say)
                break
            gone = set()
            for unit, (digest, _), (_, walked) in differing:
                if {p for _, p in walked} & gone:
                    continue  # proved again with what is left
                for path in culprits(unit, digest, {p for _, p in walked} & set(changed),
                                     changed, before, os.path.join(scratch, "c"), timeout):
                    gone.add(path)
                    withdrawn.append({"path": path, "reason": "its fix changes the output of "
                                      f"{os.path.relpath(unit.path, here)}: it is meant to be "
                                      "read again"})
                    del changed[path]
        count = _counter(changed)
        reentries = [sum(count(b[1]) for b, _ in results), sum(count(a[1]) for _, a in results)]
        times = {"before": [], "after": []}
        for round_ in range(rounds if chosen else 0):
            for name in (("before", "after") if round_ % 2 == 0 else ("after", "before")):
                times[name].append(timed(chosen, before if name == "before" else after, jobs,
                                         timeout))
            if say:
                say(round_ + 1, rounds)
    record = summary(len(chosen), reentries, times, withdrawn)
    record["output_identical"] = identical
    record["patched"] = sorted(changed)
    patch = "".join(diff(text, new, shown) for _, (shown, text, new) in sorted(changed.items()))
    return patch, record, {p: (text, new) for p, (_, text, new) in changed.items()}


def culprits(unit, digest, candidates, changed, before, tree, timeout):
    """Which of the `candidates` (headers whose fix `unit` read) change its output on their own,
    each tried alone in `tree`; all of them where none does alone."""
    found = []
    for path in sorted(candidates):
        shutil.rmtree(tree, ignore_errors=True)
        shutil.copytree(before, tree)
        with open(tree + path, "w", newline="") as f:
            f.write(changed[path][2])
        if preprocess(unit, tree, timeout)[0] != digest:
            found.append(path)
    return found or sorted(candidates)


def _counter(changed):
    def count(walked):
        seen, again = set(), 0
        for _, path in walked:
            if path in changed:
                again += path in seen
                seen.add(path)
        return again
    return count


def summary(units, reentries, times, withdrawn):
    """The proof's record: the units changed, their re-entries of the patched headers before and
    after, whether every output stayed the same, the times and the saving with its interval."""
    before, after = times["before"], times["after"]
    differences = [b - a for b, a in zip(before, after)]
    low, high = (min(differences), max(differences)) if differences else (0.0, 0.0)
    return {
        "units": units,
        "reentries_before": reentries[0],
        "reentries_after": reentries[1],
        "output_identical": True,
        "before_s": {"fastest": min(before, default=0.0),
                     "median": statistics.median(before) if before else 0.0},
        "after_s": {"fastest": min(after, default=0.0),
                    "median": statistics.median(after) if after else 0.0},
        "saving_s": statistics.median(differences) if differences else 0.0,
        "saving_low_s": low,
        "saving_high_s": high,
        "measurable": bool(differences) and (low > 0 or high < 0),
        "withdrawn": withdrawn,
        "rounds": len(before),
    }


def lines(proof):
    """The proof in a few lines for the user."""
    out = [f"\nProof of the patch ({plural(len(proof['patched']), 'header')}, "
           f"{plural(proof['units'], 'unit')}, {plural(proof['rounds'], 'interleaved round')} of "
           "-E on scratch copies):"]
    if proof["units"]:
        out.append("  output: the same in every unit, line markers and blank lines aside"
                   if proof["output_identical"] else
                   "  output: not the same from one run to the next, whatever the patch")
        saved = proof["reentries_before"] - proof["reentries_after"]
        out.append(f"  re-entries of the patched headers: {proof['reentries_before']} before, "
                   f"{proof['reentries_after']} after: {saved} opens saved")
        b, a = proof["before_s"], proof["after_s"]
        verdict = (f"saving {proof['saving_s']:.3f} s" if proof["measurable"]
                   else "no measurable saving")
        out.append(f"  -E time: before {b['fastest']:.3f} s fastest ({b['median']:.3f} median), "
                   f"after {a['fastest']:.3f} s ({a['median']:.3f}); {verdict} "
                   f"(from {proof['saving_low_s']:.3f} to {proof['saving_high_s']:.3f} s a round)")
        out.append(f"  Opening a file costs more on a network mount or some Windows set-ups than "
                   f"here: there each of the {saved} opens saved is worth more.")
    for w in proof["withdrawn"]:
        out.append(f"  withdrawn: {printable(w['path'])}: {printable(w['reason'])}")
    return "\n".join(out) + "\n"
