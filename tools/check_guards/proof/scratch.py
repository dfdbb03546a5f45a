"""Where the proof runs its units, before the patch and after it, and with one fix alone. In the
sandbox, the user's tree itself, read-only: before as it is, after with each fixed header's text
(written in the scratch directory) bound over the header, so that the units see the patch
through every path they can name, an absolute one in an #include too. Without the sandbox
(--no-sandbox), scratch trees: "b" and "a", the same copies of the files the chosen units read
and of every file in the directories they search, with the fixed texts written in "a"; "c", a
copy of "b" with one file rewritten. A unit run in a copy that reads a file of the build's
outside it did not see the patch there, and says so; one whose text in "b" is not its text in
the tree is not reproduced by the copies, and nothing is proven of it."""

import os
import shutil
from typing import NamedTuple

from guardgen_common import context

from . import copies


class View(NamedTuple):
    """A unit's view of the files: the scratch tree its paths are moved into ("" for the user's
    own), and the (file, over) pairs bound over the user's files."""
    prefix: str = ""
    binds: tuple = ()


def write(path, text, like=None):
    """Writes `text` as the file `path`, its newlines as they are, with the times of the file
    `like` (__TIMESTAMP__ says them) where it is given."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="") as f:
        f.write(text)
    if like:
        info = os.stat(like)
        os.utime(path, ns=(info.st_atime_ns, info.st_mtime_ns))


class Trees:
    """The views before and after the patch, and the one for a fix alone; bound over the user's
    tree in the sandbox (`bound`), else scratch copies."""

    def __init__(self, directory, bound=None):
        self.directory = directory
        self.bound = context.sandboxed() if bound is None else bound
        self.before = self.after = View()
        self.alone = os.path.join(directory, "c")

    def _tree(self, name):
        return os.path.join(self.directory, name)

    def make(self, units, fixes):
        """Makes both views anew for `units`, the `fixes` (path -> Fix) in the one after; None,
        or why the scratch copies cannot be made."""
        if self.bound:
            shutil.rmtree(self._tree("a"), ignore_errors=True)
            binds, same = [], []
            for path, fix in sorted(fixes.items()):
                real = os.path.realpath(path)
                write(self._tree("a") + path, fix.new, real)
                binds.append((self._tree("a") + path, real))
                same.append((real, real))
            # Before, each header bound over itself: both ways start the same nested sandbox
            # with as many binds, so that the time it takes is no part of the saving.
            self.before, self.after = View("", tuple(same)), View("", tuple(binds))
            return None
        # Every directory searched is moved into the copies with all its files, even where the
        # listing named none of them: __has_include tests them, and no -I leads to the tree.
        directories = {u: copies.moved(u) for u in units}
        more = copies.directory_files(sorted({d for found in directories.values() for d in found}))
        if isinstance(more, str):
            return (f"the scratch copies of --no-sandbox hold every file of the directories the "
                    f"units search, and theirs are {more}")
        for name in "ba":
            tree = self._tree(name)
            shutil.rmtree(tree, ignore_errors=True)
            for unit in units:
                copies.copy_into(tree, unit.files | set(more), unit.roots, unit.argv[0])
                for directory in [unit.directory, *directories[unit]]:
                    os.makedirs(tree + directory, exist_ok=True)
        for path, fix in fixes.items():
            write(self._tree("a") + path, fix.new)
        self.before, self.after = View(self._tree("b")), View(self._tree("a"))
        return None

    def one_fix(self, path, text):
        """The view for a fix alone: the one before, with `path` as `text`."""
        shutil.rmtree(self.alone, ignore_errors=True)
        if self.bound:
            real = os.path.realpath(path)
            write(self.alone + path, text, real)
            return View("", ((self.alone + path, real),))
        shutil.copytree(self.before.prefix, self.alone)
        write(self.alone + path, text)
        return View(self.alone)
