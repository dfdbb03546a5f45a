"""The sandboxes of bubblewrap (bwrap), the sandbox Flatpak uses.

An enclosure (enclose) is the one a whole run of check-guards' own reading happens in: it sees
only the directories it is given (the tree, the system's programs and libraries, the compilers'
and the tool's own installations), read-only, with a private /tmp; no HOME, no /etc but the
loader's and the alternatives' links, no network, no other process, no capability, and none of
the tool's environment. Every program of the run starts inside it, and what the run needs bound
over a file there is bound by a nested bwrap (Nested).

A Sandbox is the one each program runs in where there is no enclosure (each preprocessor
compare-preprocessors times): it sees the system's programs and libraries and the directories
it is given (the tree, the programs' installations, the tool's interpreter) read-only, the
scratch directories writable where the tool asks, a private /tmp and /var/tmp, and nothing else
(no HOME, no /etc but the loader's and the alternatives' links); /dev is a minimal one, /proc
the sandbox's own; no capability is held, by root either; there is no network, no other process
to see, no terminal to write to, and the environment holds only what the tool sets. The sandbox
dies with the tool, and every process in it with the sandbox: nothing that a program starts
can write a file outside the scratch directories, send a byte, read the tool's environment or
outlive the tool.

Neither is given bwrap's --new-session: the tool starts each program in a session of its own
already (no terminal), and with it bwrap's first process inside leaves the process group that
stopping the program kills, while for a moment it is not yet bound to die with its parent
either; a sandbox stopped in that moment would run on."""

import os
import sys

from . import context, processes, system
from .failure import Failure
from .files import executable, outermost, under
from .tree import SYSTEM

INSTALL = "apt-get install bubblewrap"

# The compiler's own variables for where headers are: they change the answer, as flags do, and
# are the user's own, so they are passed in; nothing else of the tool's environment is.
PASSED = ("CPATH", "C_INCLUDE_PATH", "CPLUS_INCLUDE_PATH", "OBJC_INCLUDE_PATH", "INCLUDE",
          "EXTERNAL_INCLUDE")


def passed(names=PASSED):
    """The user's own values of `names` that a sandbox is given, those that can be set."""
    return {n: os.environ[n] for n in names if n in os.environ and "\0" not in os.environ[n]}


class Sandbox:
    """bwrap at `bwrap`, with `path` (a list of absolute directories) as the PATH of what runs in
    it, and `readable` (directories: the tree, the programs' installations) seen read-only
    beside the system's programs and libraries; nothing else of the machine."""

    def __init__(self, bwrap, path, readable):
        self.bwrap, self.path = bwrap, list(path)
        # A program needs no terminal: a header led to /dev/ptmx would wait on it for good.
        self.base = [bwrap, "--tmpfs", "/", *_view(()), "--dev", "/dev", "--ro-bind",
                     "/dev/null", "/dev/ptmx", "--proc", "/proc", "--tmpfs", "/tmp",
                     "--tmpfs", "/var/tmp"]
        self.base += self._binds([*readable, *interpreter()], "--ro-bind")
        self.base += ["--unshare-all", *unprivileged(), "--die-with-parent", "--clearenv",
                      "--setenv", "PATH", os.pathsep.join(self.path),
                      "--setenv", "HOME", "/tmp", "--setenv", "TMPDIR", "/tmp",
                      "--setenv", "LC_ALL", context.MESSAGES]
        for name, value in passed().items():
            self.base += ["--setenv", name, value]

    def _binds(self, directories, option):
        """The options that bind each of `directories`, as written and where it really lies,
        but where the system's directories show it already; the outermost of them only."""
        wanted = []
        for directory in directories:
            if not directory or not os.path.isabs(directory) or "\0" in directory:
                continue
            real = os.path.realpath(directory)
            if not os.path.isdir(real):
                continue
            for shown in {os.path.normpath(directory), real}:
                seen = shown == real and under(real, SYSTEM)
                if (option == "--bind" or not seen) and not shown.startswith("/proc/"):
                    wanted.append((shown, real))
        out = []
        for shown in outermost(s for s, _ in wanted):
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


# What every program in a sandbox needs of the system beside its directories (tree.SYSTEM): the
# loader's cache, the links Debian's alternatives make (cc, c++).
SYSTEM_FILES = ("/etc/ld.so.cache", "/etc/ld.so.conf", "/etc/ld.so.conf.d", "/etc/alternatives")
# An ordinary user's id inside an enclosure started by root: no capability is then held, and
# the files of other users that only they may read stay unread.
NOBODY = "65534"


def _view(readable):
    """bwrap's options that show the system and `readable` (absolute directories or files),
    read-only, where they really lie and as they are written; a link among the system's (/bin
    on a merged /usr) as the same link."""
    out = []
    for path in SYSTEM:
        if os.path.islink(path):
            out += ["--symlink", os.readlink(path), path]
        elif os.path.isdir(path):
            out += ["--ro-bind", path, path]
    for path in SYSTEM_FILES:
        if os.path.lexists(path):
            out += ["--ro-bind", path, path]
    shown = []
    for path in readable:
        if path and os.path.isabs(path) and "\0" not in path and os.path.exists(path):
            real = os.path.realpath(path)
            shown += [(real, real), (real, os.path.normpath(path))]
    for real, where in dict.fromkeys(shown):
        if not (real == where and under(real, SYSTEM)):
            out += ["--ro-bind", real, where]
    return out


def enclose(bwrap, readable, environment, cwd):
    """The words that run a command in an enclosure that sees `readable`, with `environment`
    (a dict: nothing else of the tool's) in `cwd`."""
    # A compiler needs no terminal: a header led to /dev/ptmx would wait on it for good.
    words = [bwrap, "--tmpfs", "/", "--dev", "/dev", "--ro-bind", "/dev/null", "/dev/ptmx",
             "--proc", "/proc", "--tmpfs", "/tmp",
             *_view(readable), "--unshare-all", "--unshare-user", "--die-with-parent",
             "--clearenv"]
    if os.getuid() == 0:
        words += ["--uid", NOBODY, "--gid", NOBODY]
    for name, value in environment.items():
        words += ["--setenv", name, value]
    return [*words, "--chdir", cwd, "--"]


class Nested:
    """Inside an enclosure: programs run as they are, in its view, and those that need a file
    bound over another (wrap's `binds`) run in a nested bwrap that binds them, and only that."""

    def __init__(self, bwrap):
        self.bwrap = bwrap

    def wrap(self, argv, cwd, readable=(), writable=(), mark=None, binds=()):
        if not binds:
            return list(argv)
        return [self.bwrap, "--dev-bind", "/", "/",
                *(word for source, over in binds for word in ("--ro-bind", source, over)),
                "--chdir", os.path.realpath(cwd) if cwd else "/", "--", *argv]

    def environment(self):
        return dict(os.environ, LC_ALL=context.MESSAGES)


def nested(path):
    """The Nested of an enclosure, where a bwrap nested in it can bind a file; else None."""
    bwrap = find(path)
    true = next((p for p in ("/usr/bin/true", "/bin/true") if executable(p)), None)
    if bwrap is None or true is None:
        return None
    inside = Nested(bwrap)
    try:
        _, status, _, _ = processes.run_program(inside.wrap([true], "/", binds=((true, true),)),
                                                "/", 30, bare=True)
    except (OSError, Failure):
        return None
    return inside if status == 0 else None


def find(path):
    """bwrap on `path` (the absolute directories of the tool's PATH), else None."""
    for directory in path:
        candidate = os.path.join(directory, "bwrap")
        if executable(candidate):
            return candidate
    return None


def interpreter():
    """The installation of the Python that runs the tool, which some programs in a sandbox run
    too (the clock of compare-preprocessors)."""
    return [os.path.dirname(os.path.realpath(sys.executable)), sys.base_prefix, sys.prefix]


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
    sandbox = Sandbox(found(path, trusted, kept), path, readable)
    true = next((p for p in ("/usr/bin/true", "/bin/true") if executable(p)), None)
    try:
        _, status, _, said = processes.run_program(sandbox.wrap([true or "true"], "/"), "/", 30,
                                                   bare=True)
        said = said.decode(errors="replace").strip()
    except (OSError, Failure) as error:
        status, said = None, str(error)
    if status != 0:
        raise cannot_start(sandbox.bwrap, (said.splitlines() or [f"status {status}"])[0], kept)
    return sandbox


def found(path, trusted=lambda program: True, kept="the database's compilers"):
    """bwrap as found on `path`; Failure in one line where it is not, or `trusted` refuses it."""
    bwrap = find(path)
    if bwrap is None or not trusted(bwrap):
        raise Failure(f"bubblewrap (bwrap) is not installed: it keeps {kept} in "
                      f"a sandbox; install it ({INSTALL}), or give --no-sandbox to run them "
                      "without")
    return bwrap


def cannot_start(bwrap, reason, kept="the database's compilers"):
    """The Failure of a sandbox that `bwrap` could not start, for `reason` (what it said)."""
    return Failure(f"bubblewrap ({bwrap}) cannot start a sandbox here ({reason}): it keeps "
                   f"{kept} in one; allow user namespaces, or install it "
                   f"({INSTALL}), or give --no-sandbox to run them without")
