"""The first thing a companion does, before it imports the rest: an interruption that lands while
Python loads the tool's modules ends it at once, by the status a shell gives that signal, 128 + N,
never with a traceback. Nothing has been started yet that would need stopping; signals'
catch_interruptions takes over once the tool runs. One that was ignored (nohup) stays ignored."""

import os
import signal


def _end(number, _frame):
    os._exit(128 + number)


for _name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGBREAK"):
    _number = getattr(signal, _name, None)
    if _number is not None and signal.getsignal(_number) != signal.SIG_IGN:
        signal.signal(_number, _end)
