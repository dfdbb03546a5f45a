"""The tree: where the user's build lies, decided from the path of the database the user named
(and --tree) alone, never from anything a unit says; and the directories a unit may name
besides: the system's and its compiler's. A unit that names a path outside them is refused."""

import os
import pwd

from guardgen_common import files
from guardgen_common.files import under
from guardgen_common.processes import Failure

# The system's programs, libraries and headers: what every compiler needs to run.
SYSTEM = ("/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32")
# Directories that are the machine's, never a build's tree: themselves, and (the first five)
# anything below them.
BELOW_NEVER = ("/proc", "/sys", "/dev", "/etc", "/run")
NEVER = ("/", "/tmp", "/var", "/var/tmp", "/usr", "/home", "/boot", "/opt", "/srv", "/mnt",
         "/media", "/root", *SYSTEM, *BELOW_NEVER)
GITDIR = 4096  # the most of a .git file read


def homes():
    """The real paths of the user's home directories: $HOME, and the one the system gives."""
    found = []
    for home in (os.environ.get("HOME"), _system_home()):
        if home and os.path.isabs(home) and "\0" not in home:
            found.append(os.path.realpath(home))
    return list(dict.fromkeys(found))


def _system_home():
    try:
        return pwd.getpwuid(os.getuid()).pw_dir
    except (KeyError, AttributeError):
        return None


def refusal(real):
    """Why the directory at the real path `real` can be no tree, or None."""
    if real in NEVER or under(real, BELOW_NEVER):
        return "a directory of the system's, not a build's"
    if any(under(home, [real]) for home in homes()):
        return "the home directory, or one above it"
    return None


def _work_tree(here):
    """Whether `here` is the top of a git work tree: its .git a directory, or a .git file that
    names a repository that is there (a submodule's, a linked work tree's). Only `here` is
    taken: where that repository lies never widens the tree."""
    marker = os.path.join(here, ".git")
    if os.path.isdir(marker) and not os.path.islink(marker):
        return True
    data = files.read_bytes(marker, limit=GITDIR) if files.regular(marker) else None
    if data is None:
        return False
    text = data.decode("utf-8", errors="replace").strip()
    if not text.startswith("gitdir:") or "\0" in text:
        return False
    return os.path.isdir(os.path.join(here, text[len("gitdir:"):].strip()))


def top(directory):
    """The top of the outermost git work tree that holds `directory` and may be a tree, else
    `directory` itself (its real path)."""
    here = start = os.path.realpath(directory)
    found = None
    while True:
        if refusal(here) is None and _work_tree(here):
            found = here
        parent = os.path.dirname(here)
        if parent == here:
            return found or start
        here = parent


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
    return _outermost(trees)


def _outermost(paths):
    kept = []
    for path in sorted(set(paths), key=len):
        if not under(path, kept):
            kept.append(path)
    return sorted(kept)


def installation(program):
    """The directories of a compiler's installation: its real directory and, where that is a
    bin, the one above it (its libraries and headers), where that can hold no user's files."""
    real = os.path.dirname(os.path.realpath(program))
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
    return _outermost(found)


def outside(path, roots):
    """Whether `path` (absolute) really lies out of `roots`, whatever links or /proc spellings
    lead there."""
    return "\0" in path or not under(os.path.realpath(path), roots)
