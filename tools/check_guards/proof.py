"""The proof of a patch, made on scratch copies of the files the changed units read, never on the
user's tree: two trees of the same files, one of them patched. In both, every changed unit is
preprocessed: the same text (line markers and blank lines aside) proves it at once; where the
text differs (an unguarded header of declarations read once instead of twice), the unit is
compiled to assembly on standard output in both trees, the scratch paths mapped away, and the
same code proves it. A header whose fix changes some unit's code is withdrawn, with the reason
(it moves __LINE__, or it is read again on purpose, such as a list of X(...) entries), and so is
one whose fix does not lower its re-entries; the rest are proved again. Then -E of the changed
units is timed in interleaved rounds."""

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

    def __init__(self, unit, argv, defaults, roots=None, again=True):
        self.directory, self.argv, self.defaults = unit.directory, argv, defaults
        self.path = unit.path
        self.again = again  # whether it entered a header again: only those are timed
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
    """The unified diff of one file, with git's a/ and b/ paths. Lines are matched without
    difflib's heuristic that takes common lines (#endif, }) for junk, so that lines added show as
    added alone; a last line without its newline is marked as git marks it."""
    a, b = before.splitlines(keepends=True), after.splitlines(keepends=True)
    matcher = difflib.SequenceMatcher(None, a, b, autojunk=False)
    out = [f"--- a/{shown}\n", f"+++ b/{shown}\n"]

    def line(mark, text):
        out.append(mark + text if text.endswith("\n") else
                   f"{mark}{text}\n\\ No newline at end of file\n")

    for group in matcher.get_grouped_opcodes(3):
        first, last = group[0], group[-1]
        old = (first[1], last[2] - first[1])
        new = (first[3], last[4] - first[3])
        out.append(f"@@ -{_span(*old)} +{_span(*new)} @@\n")
        for tag, i1, i2, j1, j2 in group:
            for text in a[i1:i2] if tag == "equal" else ():
                line(" ", text)
            for text in a[i1:i2] if tag in ("replace", "delete") else ():
                line("-", text)
            for text in b[j1:j2] if tag in ("replace", "insert") else ():
                line("+", text)
    return "".join(out) if len(out) > 2 else ""


def _span(start, length):
    """A hunk's range as diff writes it: from 1, the length left out where it is 1."""
    return f"{start + 1}" if length == 1 else f"{start + (length > 0)},{length}"


def assembly_argv(argv, tree):
    """The unit's argv in `tree`, made to compile to assembly on standard output (nothing is
    written) instead of preprocessing, with the scratch tree's name mapped away."""
    out = []
    for word in argv_in(argv, tree):
        if word == "-E":
            out += ["-S", "-o", "-"]
            if tree:
                out += [f"-ffile-prefix-map={tree}=", f"-fdebug-prefix-map={tree}="]
        elif word != "-H":
            out.append(word)
    return out


def compiled(unit, tree, timeout):
    """The digest of the assembly that `unit` compiles to in `tree`, or None where it fails or
    is no unit of gcc's or clang's."""
    if "/showIncludes" in unit.argv:
        return None
    _, status, output, said = processes.run_to_file(
        assembly_argv(unit.argv, tree), tree + unit.directory, timeout, keep_output=True)
    said.close()
    if status != 0:
        return None
    return hashlib.sha256(output.replace(tree.encode(), b"") if tree else output).hexdigest()


def _write(tree, path, text):
    with open(tree + path, "w", newline="") as f:
        f.write(text)


def prove(headers, units, jobs, timeout, rounds=ROUNDS, say=None, taken=None):
    """The patch for `headers` (records of the build's own headers entered again) and its proof:
    (the diff text, the proof's record, each patched header's text before and after). `units` are
    the proof's Units, those that entered any of them again; `taken` the names in the build's
    files that a new guard must not take. A unit is proven when its preprocessed text is the same
    (line markers and blank lines aside), else when the assembly it compiles to is; a header
    whose fix changes some unit's code, or does not lower its re-entries, is withdrawn with the
    reason, and the rest proved again."""
    say = say or (lambda text: None)
    taken = set() if taken is None else taken
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
        made = fixes.fixed(text, h, fixes.fresh_name(shown, taken)) if text is not None else None
        if made is None:
            withdrawn.append({"path": h["path"], "reason": "no line can be added that ends its "
                              f"re-entries ({h['reason'] or 'not read'})"})
            continue
        changed[h["path"]] = (shown, text, *made)
    by_code, before_code = set(), {}
    with processes.scratch_directory("check-guards-proof.") as scratch:
        before, after = os.path.join(scratch, "b"), os.path.join(scratch, "a")
        say(f"proof: the files of {plural(len(units), 'unit')} listed")
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
            for path, (_, _, new, _) in changed.items():
                _write(after, path, new)
            say(f"proof: {plural(len(chosen), 'unit')} preprocessed before and after the patch")
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
            if differing and not any({p for _, p in a[1]} & set(changed)
                                     for _, _, a in differing):
                identical = False  # it changes from one run to the next (__TIME__, say)
                differing = []
            if differing:
                say(f"proof: {plural(len(differing), 'unit')} whose text differs compiled "
                    "before and after")

            def codes(item):
                unit = item[0]
                if unit not in before_code:
                    before_code[unit] = compiled(unit, before, timeout)
                return before_code[unit], compiled(unit, after, timeout)

            code = _parallel(jobs, codes, differing)
            by_code = {u.path for (u, _, _), (b, a) in zip(differing, code) if b and b == a}
            gone = set()
            for (unit, _, (_, walked)), (old, _) in zip(differing, code):
                read = {p for _, p in walked}
                if unit.path in by_code or read & gone:
                    continue  # proven by its code, or proved again with what is left
                read &= set(changed)
                for path, reason in culprits(unit, old, read, changed, before,
                                             os.path.join(scratch, "c"), timeout):
                    gone.add(path)
                    withdrawn.append({"path": path, "reason": f"its fix changes the code of "
                                      f"{os.path.relpath(unit.path, here)}: {reason}"})
                    del changed[path]
            count = _counter(changed)
            for path in list(changed) if not gone else []:
                was = sum(count(b[1], path) for b, _ in results)
                now = sum(count(a[1], path) for _, a in results)
                if now >= was:
                    gone.add(path)
                    withdrawn.append({"path": path, "reason": "its fix does not lower its "
                                      f"re-entries ({was} before, {now} after)"})
                    del changed[path]
            if not gone:
                break
        count = _counter(changed)
        reentries = [sum(count(b[1]) for b, _ in results), sum(count(a[1]) for _, a in results)]
        times = {"before": [], "after": []}
        clocked = [u for u in chosen if u.again]
        for round_ in range(rounds if clocked else 0):
            for name in (("before", "after") if round_ % 2 == 0 else ("after", "before")):
                times[name].append(timed(clocked, before if name == "before" else after, jobs,
                                         timeout))
            say(f"proof: round {round_ + 1} of {rounds} of -E timed")
    record = summary(len(chosen), reentries, times, withdrawn)
    record["output_identical"] = identical
    record["timed_units"] = len([u for u in chosen if u.again])
    record["patched"] = sorted(changed)
    record["by_code"] = len(by_code)
    record["fixes"] = [changed[p][3] for p in sorted(changed)]
    patch = "".join(diff(text, new, shown) for _, (shown, text, new, _) in sorted(changed.items()))
    return patch, record, {p: (text, new) for p, (_, text, new, _) in changed.items()}


def culprits(unit, code, candidates, changed, before, tree, timeout):
    """(path, why) of each of the `candidates` (headers whose fix `unit` read) that changes its
    `code` on its own, each tried alone in `tree`; all of them where none does alone. The why is
    that the fix moves __LINE__ where the code is the same once the header's lines keep their
    numbers, else that the header is read again on purpose."""

    def same(path, text):
        shutil.rmtree(tree, ignore_errors=True)
        shutil.copytree(before, tree)
        _write(tree, path, text)
        found = compiled(unit, tree, timeout)
        return found is not None and found == code

    if code is None:
        return [(p, "its preprocessed text changes, and its code could not be compared")
                for p in sorted(candidates)]
    guilty = [p for p in sorted(candidates) if len(candidates) == 1 or not same(p, changed[p][2])]
    if not guilty:
        return [(p, "the fixes of the headers it reads change its code together, though none "
                 "does alone") for p in sorted(candidates)]
    out = []
    for path in guilty:
        _, _, new, record = changed[path]
        numbered = fixes.numbered(new, record)
        moves = numbered != new and same(path, numbered)
        out.append((path, "it moves __LINE__" if moves else "it is read again on purpose"))
    return out


def _counter(changed):
    def count(walked, only=None):
        seen, again = set(), 0
        for _, path in walked:
            if path in changed and only in (None, path):
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
        by_code = proof.get("by_code", 0)
        out.append(("  code: the same in every unit: "
                    + (f"{plural(proof['units'] - by_code, 'unit')} by the preprocessed text "
                       f"(line markers and blank lines aside), {by_code} by the assembly it "
                       "compiles to" if by_code else "the preprocessed text the same, line "
                       "markers and blank lines aside"))
                   if proof["output_identical"] else
                   "  output: not the same from one run to the next, whatever the patch")
        saved = proof["reentries_before"] - proof["reentries_after"]
        out.append(f"  re-entries of the patched headers: {proof['reentries_before']} before, "
                   f"{proof['reentries_after']} after: {plural(saved, 'open')} saved (each "
                   "header's fewer, or it is withdrawn)")
        b, a = proof["before_s"], proof["after_s"]
        verdict = (f"saving {proof['saving_s']:.3f} s" if proof["measurable"]
                   else "no measurable saving")
        timed_units = proof.get("timed_units", proof["units"])
        out.append(f"  -E time of the {plural(timed_units, 'unit')} that entered one again: "
                   f"before {b['fastest']:.3f} s fastest ({b['median']:.3f} median), "
                   f"after {a['fastest']:.3f} s ({a['median']:.3f}); {verdict} "
                   f"(from {proof['saving_low_s']:.3f} to {proof['saving_high_s']:.3f} s a round)")
        out.append("  Opening a file costs more on a network mount or some Windows set-ups than "
                   "here: there each open saved is worth more.")
    for w in proof["withdrawn"]:
        out.append(f"  withdrawn: {printable(w['path'])}: {printable(w['reason'])}")
    return "\n".join(out) + "\n"
