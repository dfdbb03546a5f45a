"""The project's top, where a patch's paths start as git apply takes them: the work tree that
holds the most of the units' files, never above the tree."""

import os
from collections import Counter

from guardgen_common.files import under

def innermost_top(directory):
    """The top of the innermost work tree that holds `directory` (where git, run there, takes a
    patch's paths from), or None where no .git encloses it."""
    here = directory
    while not os.path.lexists(os.path.join(here, ".git")):
        parent = os.path.dirname(here)
        if parent == here:
            return None
        here = parent
    return here


def project_top(database, units):
    """The directory a patch's paths start from, where git apply takes it: the top of the work
    tree that holds the most of the units' files (the first by name on a tie), else that of the
    database's directory; outside git, the directory the database's and the units' files
    share, else the one the units' share."""
    sources = [os.path.dirname(os.path.realpath(u.path)) for u in units]
    tops = Counter(t for t in map(innermost_top, sources) if t)
    if tops:
        return min(tops, key=lambda t: (-tops[t], t))
    directory = os.path.dirname(os.path.realpath(database))
    found = innermost_top(directory)
    if found:
        return found
    try:
        shared = os.path.commonpath([directory, *sources])
        if os.path.dirname(shared) == shared and sources:
            shared = os.path.commonpath(sources)
    except ValueError:  # on two drives
        shared = directory
    return shared


def patch_top(database, units, tree):
    """Where the patch's paths start (see project_top), never above the tree: a work tree of the
    user's that holds the tree (HOME's own) gives no path outside it."""
    top = project_top(database, units)
    return top if under(os.path.realpath(top), tree) else tree[0]
