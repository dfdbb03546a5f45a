"""The proof's passes over the fixes still proposed: the units that read one preprocessed in both
trees and compared, those whose text differs compiled to assembly, and the fixes each pass
withdraws: all where a unit fails on the copies, those that change a unit's code (with the
culprit found, and why), and those that do not lower their header's re-entries."""

import os
import threading

from guardgen_common.names import shown_path
from guardgen_common.outputs import plural

from . import fixes as fixing
from .readers import compiled, parallel, preprocess


def counter(fixes):
    """count(walked, only=None): the re-entries in a listing of the headers fixed in `fixes`, or
    of `only` of them."""
    def count(walked, only=None):
        seen, again = set(), 0
        for _, path in walked:
            if path in fixes and only in (None, path):
                again += path in seen
                seen.add(path)
        return again
    return count


def _shown(path):
    return shown_path(path, os.getcwd())


class Trial:
    """Where the proof of `proposed`'s fixes stands, pass after pass, on the `trees`: the units
    chosen (those that read a fix) and each one's (before, after) from preprocess, those proven by
    their code, whether the outputs held still from one run to the next, and each unit's code
    before the patch, the same in every pass."""

    def __init__(self, proposed, units, trees, jobs, timeout, say):
        self.proposed, self.units, self.trees = proposed, units, trees
        self.jobs, self.timeout, self.say = jobs, timeout, say
        self.chosen, self.results, self.by_code = [], [], set()
        self.identical, self.before_code = True, {}
        self.passes, self.refused = 0, None

    def preprocess(self):
        """Copies the files of the units that read a fix into both trees, afresh, and
        preprocesses each unit in both."""
        fixes = self.proposed.fixes
        self.chosen = [u for u in self.units if u.files & set(fixes)]
        self.refused = self.trees.make(self.chosen, fixes)
        self.passes += 1
        if self.refused:
            self.results = []
            return
        trees, timeout, total, done = self.trees, self.timeout, len(self.chosen), [0]
        lock = threading.Lock()
        self.say(f"proof, pass {self.passes}: 0 of {plural(total, 'unit')} preprocessed before "
                 "and after the patch")

        def both(unit):
            pair = preprocess(unit, trees.before, timeout), preprocess(unit, trees.after, timeout)
            with lock:
                done[0] += 1
                self.say(f"proof, pass {self.passes}: {done[0]} of {plural(total, 'unit')} "
                         "preprocessed before and after the patch")
            return pair

        self.results = parallel(self.jobs, both, self.chosen)

    def withdraw_failed(self):
        """Withdraws every fix where a unit could not be preprocessed on the copies, before or
        after (an output that is not there proves nothing, the same on both sides or not); true
        where it did."""
        broken = [u for u, (b, a) in zip(self.chosen, self.results)
                  if b[0] is None or a[0] is None]
        if not broken and not self.refused:
            return False
        for path in sorted(self.proposed.fixes):
            self.proposed.withdraw(path, self.refused or "the proof could not preprocess "
                                   f"{_shown(broken[0].path)} on the scratch copies "
                                   f"({plural(len(broken), 'unit')} failed there)")
        self.identical, self.chosen = False, []
        return True

    def withdraw_unseen(self):
        """Withdraws the fixes that a unit reads where it read a file of the build's outside the
        scratch copies (an #include of an absolute path, as a unity build's unit has): the
        patch was not seen there, so nothing is proven of it; the paths withdrawn."""
        gone = set()
        for unit, (b, a) in zip(self.chosen, self.results):
            outside = list(dict.fromkeys([*b[2], *a[2]]))  # the first as the listing has it
            if not outside:
                continue
            for path in sorted(unit.files & set(self.proposed.fixes)):
                gone.add(path)
                self.proposed.withdraw(path, f"the proof cannot see it in {_shown(unit.path)}, "
                                       f"which reads {_shown(outside[0])} by its absolute path, "
                                       "from the tree and not the scratch copies of "
                                       "--no-sandbox (the sandbox binds the patch over the tree)")
        return gone

    def withdraw_unreproduced(self):
        """Withdraws the fixes that a unit reads whose text on the scratch copies before the
        patch is not its text in the tree (it tests a file that the copies do not hold, as
        __has_include("sub/file") or a name with ../ can): the copies do not stand for the tree
        there, so nothing is proven of it; the paths withdrawn. None in the sandbox, which runs
        on the tree itself."""
        gone = set()
        if self.trees.bound:
            return gone
        for unit, (b, _) in zip(self.chosen, self.results):
            if b[0] == unit.text:
                continue
            for path in sorted(unit.files & set(self.proposed.fixes)):
                gone.add(path)
                self.proposed.withdraw(path, "the scratch copies of --no-sandbox do not reproduce "
                                       f"{_shown(unit.path)}: its text there is not its text in "
                                       "the tree, as where it tests a file they do not hold "
                                       "(the sandbox proves it on the tree itself)")
        return gone

    def differing(self):
        """The units whose text differs, as (unit, before, after); none where none of them read
        a fix, as then it changes from one run to the next (__TIME__, say)."""
        out = [(u, b, a) for u, (b, a) in zip(self.chosen, self.results) if b[0] != a[0]]
        if out and not any({p for _, p in a[1]} & set(self.proposed.fixes) for _, _, a in out):
            self.identical = False
            return []
        if out:
            self.say(f"proof, pass {self.passes}: compiling the {plural(len(out), 'unit')} whose "
                     "text differs, before and after")
        return out

    def codes(self, differing):
        """(Code before, Code after) of each of `differing`; proven by its code, those whose
        code is there and the same."""
        def pair(item):
            unit = item[0]
            if unit not in self.before_code:
                self.before_code[unit] = compiled(unit, self.trees.before, self.timeout)
            return self.before_code[unit], compiled(unit, self.trees.after, self.timeout)

        code = parallel(self.jobs, pair, differing)
        self.by_code = {u.path for (u, _, _), (b, a) in zip(differing, code)
                        if b.digest and b.digest == a.digest}
        return code

    def withdraw_culprits(self, differing, code):
        """Withdraws the fixes that change the code of a unit of `differing` (with its `code`)
        that its code does not prove, a unit that reads one withdrawn already left to the next
        pass; the paths withdrawn."""
        gone = set()
        for (unit, _, (_, walked, _)), (old, new) in zip(differing, code):
            read = {p for _, p in walked}
            if unit.path in self.by_code or read & gone:
                continue  # proven by its code, or proved again with what is left
            read &= set(self.proposed.fixes)
            for path, reason in culprits(unit, (old, new), read, self.proposed.fixes,
                                         self.trees, self.timeout):
                gone.add(path)
                self.proposed.withdraw(path, f"its fix changes the code of {_shown(unit.path)}: "
                                       f"{reason}")
        return gone

    def withdraw_unlowered(self):
        """Withdraws the fixes that do not lower their header's re-entries; the paths
        withdrawn."""
        count, gone = counter(self.proposed.fixes), set()
        for path in list(self.proposed.fixes):
            was = sum(count(b[1], path) for b, _ in self.results)
            now = sum(count(a[1], path) for _, a in self.results)
            if now >= was:
                gone.add(path)
                self.proposed.withdraw(path, "its fix does not lower its re-entries "
                                       f"({was} before, {now} after)")
        return gone

    def reentries(self):
        """The re-entries of the headers fixed, [before, after], in the units last preprocessed."""
        count = counter(self.proposed.fixes)
        return [sum(count(b[1]) for b, _ in self.results),
                sum(count(a[1]) for _, a in self.results)]


MOVES = "it moves lines whose numbers its code holds (__LINE__, __builtin_LINE(), " \
    "std::source_location)"


def uncompared(code):
    """Why the proof cannot compare the code of `code` (before, after), or None where it can."""
    pch = next((c.precompiled for c in code if c.precompiled), None)
    if pch:
        return ("its preprocessed text changes, and its code could not be compared: it reads "
                f"the precompiled header {_shown(pch)}, which -E does not read")
    if code[0].digest is None:
        return "its preprocessed text changes, and its code could not be compared"
    return None


def culprits(unit, code, candidates, fixes, trees, timeout):
    """(path, why) of each of the `candidates` (headers whose fix `unit` read) that changes its
    `code` (Code before, after) on its own, each tried alone on `trees`; all of them where none
    does alone, or where the code cannot be compared. The why is that the fix moves lines where
    the code is the same once the header's lines keep their numbers, else that the header is
    read again on purpose."""

    def same(path, text):
        found = compiled(unit, trees.one_fix(path, text), timeout)
        return found.digest is not None and found == code[0]

    why = uncompared(code)
    if why:
        return [(p, why) for p in sorted(candidates)]
    guilty = [p for p in sorted(candidates) if len(candidates) == 1 or not same(p, fixes[p].new)]
    if not guilty:
        return [(p, "the fixes of the headers it reads change its code together, though none "
                 "does alone") for p in sorted(candidates)]
    out = []
    for path in guilty:
        fix = fixes[path]
        numbered = fixing.numbered(fix.new, fix.record)
        moves = numbered != fix.new and same(path, numbered)
        out.append((path, MOVES if moves else "it is read again on purpose"))
    return out
