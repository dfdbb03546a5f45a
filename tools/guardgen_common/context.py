"""What every program a companion runs runs in, as the tool's run configures it once: the sandbox
(guardgen_common.sandbox) or the tool's PATH, the locale whose messages the tools read, an
environment of the run's own, and the run's scratch directories, which it may see."""

import contextlib
import os
import tempfile

from . import keeper
from .files import under

# The locale of every program the tools run: their messages and listings are read by the tools,
# so they are the untranslated ones in ASCII quotes, whatever the user's locale.
MESSAGES = "C"


class Context:
    """The sandbox every program runs in (None: none), the PATH a program gets without it (None:
    the tool's), and the scratch directories alive now, which the sandbox lets programs read,
    or, where `scratch_writable`, write."""

    def __init__(self):
        self.sandbox = None
        self.path = None
        self.scratch = []
        self.scratch_writable = False
        self.env = None

    def prepared(self, command, cwd, binds):
        """The command that runs `command` in `cwd` as configured, and its environment."""
        if self.sandbox is None:
            return command, self.environment()
        # The mark too: a sandbox the tool ends before bwrap has asked to die with its parent
        # would outlive it, but for the keeper, which finds it by the mark.
        mark = keeper.mark()
        readable, writable = ((), self.scratch) if self.scratch_writable else (self.scratch, ())
        return (self.sandbox.wrap(command, cwd, readable, writable, mark=mark, binds=binds),
                dict(self.sandbox.environment(), GUARDGEN_RUN=mark))

    def environment(self):
        """The environment of a program run without the sandbox: the run's mark, and a private
        HOME, TMPDIR and XDG_CACHE_HOME, so that what a program keeps there is not the user's and
        is gone with the run; made at the first."""
        if self.env is None:
            private = keeper.private_directory()
            self.env = dict(os.environ, HOME=private, TMPDIR=private, XDG_CACHE_HOME=private,
                            LC_ALL=MESSAGES, GUARDGEN_RUN=keeper.mark())
            if self.path is not None:
                self.env["PATH"] = os.pathsep.join(self.path)
        return self.env


_context = Context()


def search_path(roots=()):
    """The directories of the PATH that may be searched: absolute ones only, and none inside
    `roots` (a tree of the user's). An empty entry or a relative one means the directory a
    program happens to run in."""
    found = []
    for d in os.environ.get("PATH", "").split(os.pathsep):
        if d and os.path.isabs(d) and "\0" not in d and not under(os.path.realpath(d), roots) \
                and not under(os.path.normpath(d), roots) and d not in found:
            found.append(d)
    return found


def configure(sandbox=None, path=None, scratch_writable=False):
    """Runs every program from now on in `sandbox` (a sandbox.Sandbox), or, without one, with
    `path` (a list of directories) as its PATH. With `scratch_writable`, the programs in the
    sandbox may write the scratch directories (a preprocessor told to write its output there)."""
    _context.sandbox, _context.path = sandbox, path
    _context.scratch_writable = scratch_writable


def sandboxed():
    """Whether programs run in a sandbox, where files can be bound over others (see
    processes.run_program)."""
    return _context.sandbox is not None


def prepared(command, cwd, binds=()):
    """The command that runs `command` in `cwd`, as configured, and its environment; `binds`, as
    processes.run_program takes them, only in the sandbox."""
    return _context.prepared(command, cwd, binds)


@contextlib.contextmanager
def scratch_directory(prefix):
    """A temporary directory for the run's own files, removed when the block ends, and by the
    keeper if the tool is killed before that."""
    with tempfile.TemporaryDirectory(prefix=prefix) as directory:
        keeper.remove_at_end(directory)
        _context.scratch.append(directory)
        try:
            yield directory
        finally:
            _context.scratch.remove(directory)
