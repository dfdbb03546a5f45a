"""What bounds a program the companions run: its memory, the size of what it writes, no core dump;
set on the launcher that starts it, so that it starts bounded, never above what the tool was
given."""

from . import launcher, system

if not system.WINDOWS:
    import resource


class Limits:
    """What bounds a program: its address space and the size of any file it writes (its
    standard error, where that is a file), and no core dump. Set on the launcher that starts
    each such program (see launcher), soft and hard alike, so that the program starts bounded
    and can raise none of them; never above a bound the tool was itself given. close() ends
    the launcher."""

    def __init__(self, memory, said):
        self.memory, self.said, self.launcher = memory, said, None
        self.bounds = [] if system.WINDOWS else [
            (kind, _lowered(kind, value)) for kind, value in (
                (resource.RLIMIT_AS, memory), (resource.RLIMIT_FSIZE, said),
                (resource.RLIMIT_CORE, 0))]

    def warm(self, env):
        """Starts the launcher now, with `env` (the run's mark in it), so that it is ready by the
        first program: a Python takes tens of milliseconds to start."""
        if self.active and self.launcher is None:
            self.launcher = launcher.Launcher(self.bounds, env)

    def start(self, argv, cwd, env, stdin, stdout, stderr):
        """`argv` started bounded (see launcher.Launcher.start); the launcher started first
        where it is not yet, with the program's environment."""
        self.warm(env)
        return self.launcher.start(argv, cwd, env, stdin, stdout, stderr)

    def close(self):
        if self.launcher is not None:
            self.launcher.close()
            self.launcher = None

    @property
    def active(self):
        return bool(self.bounds)


def _lowered(kind, value):
    """`value`, or the hard bound of `kind` where that is lower: a bound cannot be raised."""
    hard = resource.getrlimit(kind)[1]
    return value if hard == resource.RLIM_INFINITY else min(value, hard)
