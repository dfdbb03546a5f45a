"""The programs running now, from the main thread or from workers, in one registry: so that all
of them can be stopped at once, whatever the threads are doing, and none started after that."""

import threading

from . import system
from .failure import Failure


class Registry:
    """The programs running now, and whether the run is being stopped (then no new one starts)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.live = set()
        self.stopping = False

    def start(self, check, launch):
        """The program `launch()` starts, registered. Both run under the lock that stop_all
        takes, so that a program either starts before stop_all, which stops it, or does not start:
        first `check()`, which may refuse by raising, then Failure "stopped" after stop_all."""
        with self.lock:
            check()
            if self.stopping:
                raise Failure("stopped")
            process = launch()
            self.live.add(process)
        return process

    def discard(self, process):
        """`process`, ended, no longer registered."""
        with self.lock:
            self.live.discard(process)

    def stop_all(self):
        """Stops every program still running, with all it started, and starts no new one."""
        with self.lock:
            self.stopping = True
            live = list(self.live)
        for process in live:
            system.stop_group(process)


# Every program of the tool's process: an interruption stops them all.
_registry = Registry()


def start(check, launch):
    """As Registry.start, in the registry of the tool's programs."""
    return _registry.start(check, launch)


def discard(process):
    _registry.discard(process)


def stop_all():
    """Stops every program the tool still runs, with all it started, and starts no new one."""
    _registry.stop_all()
