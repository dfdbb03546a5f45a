"""The fixes the proof tries: each header's fix as fixes.py makes it, or why it has none, and
those withdrawn since, each with the reason, in the order they went."""

import os
from typing import NamedTuple

from guardgen_common import run_texts
from guardgen_common.names import shown_path

from ..audit import catalogue
from . import fixes as fixing


class Fix(NamedTuple):
    """A header's fix: its path as the patch shows it, its text before and after, the record."""
    shown: str
    text: str
    new: str
    record: dict


class Proposed:
    """The fixes still proposed (path -> Fix), and those withdrawn as {"path", "reason"}."""

    def __init__(self):
        self.fixes, self.withdrawn = {}, []

    def withdraw(self, path, reason):
        self.withdrawn.append({"path": path, "reason": reason})
        self.fixes.pop(path, None)


def propose(headers, units, taken, top):
    """The fixes of `headers` (records of the build's own headers entered again), read from where
    `units` may read, each shown by its path from `top`, the project's top, where git apply takes
    the patch; withdrawn before any run, a header outside it and one that no added line can keep
    from being entered again. `taken` are the names a new guard must not take; the ones given are
    added."""
    proposed = Proposed()
    readable = sorted({d for u in units for d in (u.roots or ())}) if units else None
    top = os.path.realpath(top)
    for h in headers:
        shown = shown_path(os.path.realpath(h["path"]), top)
        if os.path.isabs(shown):
            proposed.withdraw(h["path"], f"it lies outside the project's top, {top}, where git "
                              "apply takes the patch")
            continue
        text = run_texts.read(h["path"], readable)
        made = (fixing.fixed(text, h, fixing.fresh_name(shown, taken)) if text is not None
                else None)
        if made is None:
            shape = catalogue.SHAPES.get(h["shape"])
            why = shape.no_fix if shape else "no line can be added that ends its re-entries"
            proposed.withdraw(h["path"], f"{why} ({h['shape'] or 'not read'})")
            continue
        proposed.fixes[h["path"]] = Fix(shown, text, *made)
    return proposed
