"""The tree: where the user's build lies, decided from the path of the database the user named
(and --tree) alone, never from anything a unit says; and the directories a unit may name
besides: the system's and its compiler's. A unit that names a path outside them is refused."""

import os

from guardgen_common.failure import Failure
from guardgen_common import files
from guardgen_common.files import outermost, under
from guardgen_common.tree import NEVER, SYSTEM, homes, refusal, top

__all__ = ["allowed", "homes", "installation", "of", "outside", "refusal", "top"]

def of(database, given=()):
    """The tree of the database at `database` (an absolute path): the top of the outermost work
    tree that holds it, else its directory; with the directories `given` by --tree beside it.
    Where the database's own place can be no tree, `given` alone; neither, a Failure."""
    trees = []
    for directory in given:
        real = os.path.realpath(directory) if "\0" not in directory else ""
        if not os.path.isdir(real):
            raise Failure(f"--tree {directory}: no directory there")
        why = refusal(real)
        if why:
            raise Failure(f"--tree {directory}: {why}: refused")
        trees.append(real)
    own = top(os.path.dirname(database))
    why = refusal(own)
    if why and not trees:
        raise Failure(f"{own}: the database lies in {why}, which is never taken for the tree: "
                      "give --tree with the directory that holds the build's sources")
    if not why:
        trees.append(own)
    return outermost(trees)


def installation(program):
    """The directories of a compiler's installation: its real directory and, where that is a
    bin, the one above it (its libraries and headers), where that can hold no user's files."""
    real = os.path.dirname(files.real_path(program))
    found = [real]
    parent = os.path.dirname(real)
    if os.path.basename(real) == "bin" and parent not in NEVER and not any(
            under(home, [parent]) or under(parent, [home]) for home in homes()):
        found.append(parent)
    return found


def allowed(tree, programs=()):
    """Where a unit's paths may lie: the tree, the system's directories, and the installations
    of `programs` (its compilers)."""
    found = list(tree) + [d for d in SYSTEM if os.path.isdir(d)]
    for program in programs:
        found += installation(program)
    return outermost(found)


def outside(path, roots):
    """Whether `path` (absolute) really lies out of `roots`, whatever links or /proc spellings
    lead there."""
    return "\0" in path or not under(files.real_path(path), roots)
