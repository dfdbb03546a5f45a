"""Where a user's tree lies: the top of the outermost git work tree that holds a directory, else
the directory itself; never the machine's own directories, the home directory or one above
it. What the tools read of a user's files lies in such a tree."""

import os
import pwd

from . import files
from .files import under

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


