"""The proof's scratch trees in its scratch directory: "b" and "a", the same copies of the files
the chosen units read, with the fixed texts written in "a"; "c", a copy of "b" with one file
rewritten, to try one fix alone."""

import os
import shutil

from . import copies


def write(tree, path, text):
    """Writes `text` as the file `path` (absolute) of `tree`, its newlines as they are."""
    with open(tree + path, "w", newline="") as f:
        f.write(text)


class Trees:
    """The trees before and after the patch, and the one for a fix alone."""

    def __init__(self, directory):
        self.before, self.after, self.alone = (os.path.join(directory, n) for n in "bac")

    def make(self, units, fixes):
        """Makes both trees anew with the files of `units`, the `fixes` (path -> Fix) written in
        the tree after."""
        for tree in (self.before, self.after):
            shutil.rmtree(tree, ignore_errors=True)
            for unit in units:
                copies.copy_into(tree, unit.files, unit.roots, unit.argv[0])
                os.makedirs(tree + unit.directory, exist_ok=True)
        for path, fix in fixes.items():
            write(self.after, path, fix.new)

    def one_fix(self, path, text):
        """The tree for a fix alone: the tree before, with `path` as `text`."""
        shutil.rmtree(self.alone, ignore_errors=True)
        shutil.copytree(self.before, self.alone)
        write(self.alone, path, text)
        return self.alone
