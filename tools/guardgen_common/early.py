"""The first thing a companion does, before it imports the rest: an interruption that lands while
Python loads the tool's modules ends it at once, by the status a shell gives that signal, 128 + N,
never with a traceback. Nothing has been started yet that would need stopping; signals'
catch_interruptions takes over once the tool runs. One that was ignored (nohup) stays ignored.

Until this runs, Python's own handler turns SIGINT into KeyboardInterrupt, which Python drops
where it lands in a callback (a module lock's, while a module loads). So this module loads
nothing: _signal is built in and loaded with Python (signal would load enum, some milliseconds
more in which an interruption could be lost)."""

import os
import _signal


def _end(number, _frame):
    os._exit(128 + number)


for _name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGBREAK"):
    _number = getattr(_signal, _name, None)
    if _number is not None and _signal.getsignal(_number) != _signal.SIG_IGN:
        _signal.signal(_number, _end)
