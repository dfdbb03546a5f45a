"""What bounds a program the companions run: its memory, the size of what it writes, no core dump;
set in the program itself before it starts, never above what the tool was given."""

from . import system

if not system.WINDOWS:
    import resource


class Limits:
    """What bounds a program: its address space and the size of any file it writes (its
    standard error, where that is a file), and no core dump. Set in the child between its start
    and the program's, soft and hard alike, so that the program starts bounded and can raise
    none of them; never above a bound the tool was itself given."""

    def __init__(self, memory, said):
        self.memory, self.said = memory, said
        self.bounds = [] if system.WINDOWS else [
            (kind, _lowered(kind, value)) for kind, value in (
                (resource.RLIMIT_AS, memory), (resource.RLIMIT_FSIZE, said),
                (resource.RLIMIT_CORE, 0))]

    def apply(self):
        """Sets the bounds: run in the child, before the program, where nothing may be imported
        or waited for."""
        for kind, value in self.bounds:
            resource.setrlimit(kind, (value, value))

    @property
    def active(self):
        return bool(self.bounds)


def _lowered(kind, value):
    """`value`, or the hard bound of `kind` where that is lower: a bound cannot be raised."""
    hard = resource.getrlimit(kind)[1]
    return value if hard == resource.RLIM_INFINITY else min(value, hard)
