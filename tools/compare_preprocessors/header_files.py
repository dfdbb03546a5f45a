"""The headers given with --header: each a regular file of the current directory's tree, never
reached through a link that leads out, of at most files.LIMIT bytes, with a name an #include
can say; checked before anything runs, and read again, with the same checks, where its text
is wanted."""

import errno
import os
import re
from pathlib import Path

from guardgen_common import files, tree
from guardgen_common.failure import Failure
from guardgen_common.files import LIMIT, under
from guardgen_common.names import printable

# What C leaves undefined between the quotes of #include "NAME" (and a trigraph, which some
# standards turn into another character): a name that holds any of them cannot be written.
UNWRITABLE = re.compile(r"""['"\\]|//|/\*|\?\?""")


def includable(name):
    """Why the file name `name` cannot be written between the quotes of an #include, or None:
    C has no escapes there, so a name with a line break, a control character, a quote, a
    backslash, // or /* (or a trigraph), or that is not UTF-8, is refused, never rewritten."""
    if printable(name) != name:
        return "a control character (a line break, say)"
    match = UNWRITABLE.search(name)
    if match:
        return f"{match[0]}, which C does not allow in an #include's name"
    return None


def tree_of(directory):
    """The tree that --header files must lie in: the top of the outermost git work tree that
    holds `directory`, else `directory` itself (see guardgen_common.tree); its real path. A
    Failure where that can be no user's tree (the home directory, or the system's)."""
    found = tree.top(directory)
    why = tree.refusal(found)
    if why:
        raise Failure(f"--header: {found}, the current directory's tree, is {why}: refused; run "
                      "it in the project whose headers it reads")
    return found


def outside(given, real, tree):
    """Why the header given as `given` (its real path `real`) is not taken from `tree`, or None:
    it lies outside, or a symbolic link on its way leads out. Where it leads is never said."""
    if under(real, [tree]):
        return None
    if under(os.path.normpath(os.path.abspath(given)), [tree]):
        return f"a symbolic link on its way leads out of {tree}, the current directory's tree"
    return f"outside {tree}, the current directory's tree"


def read_in_tree(path, tree):
    """The bytes of the header at `path`, where it is a regular file of at most LIMIT bytes
    inside `tree`: opened without following a link in its last step, looked at with fstat once
    open, and where the system can say, the file opened found inside `tree` too (a directory on
    its way swapped for a link meanwhile). Else an OSError that says why."""
    with files.open_regular(path, roots=[tree], limit=LIMIT) as f:
        opened = f"/proc/self/fd/{f.fileno()}"
        if os.path.islink(opened) and not under(os.readlink(opened), [tree]):
            raise OSError(errno.EINVAL, "outside the tree", str(path))
        return files.read_at_most(f, LIMIT)[:LIMIT]


def checked(paths, tree):
    """The headers given, each an absolute path with its links resolved; refused in one line,
    before anything runs and before any of its text is read, if one lies outside `tree` (see
    tree_of) or is led out of it by a symbolic link, is missing, a directory, no regular file (a
    FIFO, a device), larger than LIMIT, unreadable, or has a path that no #include or listing
    can say."""
    found = []
    for given in paths:
        shown = printable(given)
        real = Path(os.path.realpath(given))
        why = outside(given, str(real), tree)
        if why:
            raise Failure(f"--header {shown}: {why}: refused")
        if real.is_dir():
            raise Failure(f"--header {shown}: is a directory")
        if not real.exists():
            raise Failure(f"--header {shown}: no such file")
        try:
            read_in_tree(real, tree)
        except OSError as error:
            raise Failure(f"--header {shown}: {error.strerror}") from None
        why = includable(real.name) or ("a control character (a line break, say) in its "
                                        "directory's path" if printable(str(real)) != str(real)
                                        else None)
        if why:
            raise Failure(f"--header {shown}: its name holds {why}: refused")
        found.append(real)
    return found


def text_of(header):
    """The text of a header that checked took, read again as it is now, with the same checks
    (inside the current directory's tree, a regular file, the same bound)."""
    try:
        data = read_in_tree(header, tree_of(os.getcwd()))
    except OSError:
        raise Failure(f"--header {printable(header)}: no longer a regular file of at most "
                      f"{files.limit_text(LIMIT)} in the current directory's tree") from None
    return data.decode("utf-8", errors="replace")

