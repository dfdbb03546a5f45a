"""The sandbox every program of a database runs in, and every preprocessor compare-preprocessors
times: bubblewrap (bwrap), the sandbox Flatpak uses. Inside it the whole file system is
read-only; /tmp, /var/tmp, /run and HOME are private and empty (what of the tree, the compiler
and the tool's scratch directories lies inside them is bound back, read-only, the scratch
directories writable where the tool asks); /dev is a minimal one, /proc the sandbox's own; no
capability is held, by root either; there is no network, no other process to see, no terminal
to write to, and the environment holds only what the tool sets. The sandbox dies with the tool,
and every process in it with the sandbox: nothing that a compiler starts can write a file
outside the scratch directories, send a byte, read the tool's environment or outlive the
tool."""

import os

from . import processes, system
from .files import executable, under
from .processes import Failure

INSTALL = "apt-get install bubblewrap"

# The compiler's own variables for where headers are: they change the answer, as flags do, and
# are the user's own, so they are passed in; nothing else of the tool's environment is.
PASSED = ("CPATH", "C_INCLUDE_PATH", "CPLUS_INCLUDE_PATH", "OBJC_INCLUDE_PATH", "INCLUDE",
          "EXTERNAL_INCLUDE")


def hidden():
    """The directories made private and empty: the places where a user's and other programs'
    files, sockets and secrets are."""
    found = ["/tmp", "/var/tmp", "/run"]
    home = os.environ.get("HOME")
    if home and os.path.isabs(home):
        found.append(os.path.realpath(home))
    found = [d for d in dict.fromkeys(found) if d != "/" and os.path.isdir(d)]
    return sorted(found, key=len)


def _outermost(paths):
    """`paths` without those that lie inside another of them."""
    kept = []
    for path in sorted(set(paths), key=len):
        if not under(path, kept):
            kept.append(path)
    return kept


class Sandbox:
    """bwrap at `bwrap`, with `path` (a list of absolute directories) as the PATH of what runs in
    it, and `readable` (directories: the tree, the compiler's) bound back where they are
    hidden."""

    def __init__(self, bwrap, path, readable):
        self.bwrap, self.path = bwrap, list(path)
        self.hidden = hidden()
        # A compiler needs no terminal: a header led to /dev/ptmx would wait on it for good.
        self.base = [bwrap, "--ro-bind", "/", "/", "--dev", "/dev", "--ro-bind", "/dev/null",
                     "/dev/ptmx", "--proc", "/proc"]
        for directory in self.hidden:
            self.base += ["--tmpfs", directory]
        self.base += self._binds(readable, "--ro-bind")
        self.base += ["--unshare-all", *unprivileged(), "--die-with-parent", "--new-session",
                      "--clearenv",
                      "--setenv", "PATH", os.pathsep.join(self.path),
                      "--setenv", "HOME", "/tmp", "--setenv", "TMPDIR", "/tmp",
                      "--setenv", "LC_ALL", processes.MESSAGES]
        for name in PASSED:
            if name in os.environ and "\0" not in os.environ[name]:
                self.base += ["--setenv", name, os.environ[name]]

    def _binds(self, directories, option):
        """The options that bind each of `directories` back, as written and where it really
        lies, where a hidden directory covers it (for writing, everywhere: the rest is
        read-only); the outermost of them only."""
        wanted = []
        for directory in directories:
            if not directory or not os.path.isabs(directory) or "\0" in directory:
                continue
            real = os.path.realpath(directory)
            if not os.path.isdir(real):
                continue
            for shown in {os.path.normpath(directory), real}:
                if (under(shown, self.hidden) or option == "--bind") \
                        and not shown.startswith("/proc/"):
                    wanted.append((shown, real))
        out = []
        for shown in _outermost(s for s, _ in wanted):
            real = next(r for s, r in wanted if s == shown)
            out += [option, real, shown]
        return out

    def wrap(self, argv, cwd, readable=(), writable=(), mark=None, binds=()):
        """`argv` to run in the sandbox, in `cwd`, with the directories `readable` bound in
        read-only and `writable` for writing, beside the sandbox's own; `mark`, the run's, set
        in its environment. `binds`, (file, over) pairs, put each file read-only over another,
        last, so that every path that leads to the other reads the file."""
        return [*self.base, *self._binds(readable, "--ro-bind"),
                *self._binds(writable, "--bind"),
                *(word for source, over in binds for word in ("--ro-bind", source, over)),
                *(["--setenv", "GUARDGEN_RUN", mark] if mark else []),
                "--chdir", os.path.realpath(cwd) if cwd else "/", "--", *argv]

    def environment(self):
        """bwrap's own environment: none of the tool's."""
        return {}


def find(path):
    """bwrap on `path` (the absolute directories of the tool's PATH), else None."""
    for directory in path:
        candidate = os.path.join(directory, "bwrap")
        if executable(candidate):
            return candidate
    return None


def unprivileged():
    """What bwrap is given so that nothing in the sandbox holds a capability: for root, a user
    namespace of its own (which bwrap does not make for root unasked) with every capability
    dropped; an ordinary user's sandbox holds none already."""
    if system.WINDOWS or os.geteuid() != 0:
        return []
    return ["--unshare-user", "--cap-drop", "ALL"]


def start(path, readable, trusted=lambda program: True, kept="the database's compilers"):
    """The Sandbox, tried once; Failure in one line where bwrap is missing or cannot start
    here. `trusted(program)` says whether bwrap, as found, may run; `kept` names the programs
    it keeps, in those lines."""
    bwrap = find(path)
    if bwrap is None or not trusted(bwrap):
        raise Failure(f"bubblewrap (bwrap) is not installed: it keeps {kept} in "
                      f"a sandbox; install it ({INSTALL}), or give --no-sandbox to run them "
                      "without")
    sandbox = Sandbox(bwrap, path, readable)
    true = next((p for p in ("/usr/bin/true", "/bin/true") if executable(p)), None)
    try:
        _, status, _, said = processes.run(sandbox.wrap([true or "true"], "/"), "/", 30,
                                           bare=True)
        said = said.decode(errors="replace").strip()
    except (OSError, Failure) as error:
        status, said = None, str(error)
    if status != 0:
        reason = (said.splitlines() or [f"status {status}"])[0]
        raise Failure(f"bubblewrap ({bwrap}) cannot start a sandbox here ({reason}): it keeps "
                      f"{kept} in one; allow user namespaces, or install it "
                      f"({INSTALL}), or give --no-sandbox to run them without")
    return sandbox
