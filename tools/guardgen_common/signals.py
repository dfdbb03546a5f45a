"""Interruptions (Ctrl-C, kill, a closed terminal: system.INTERRUPTIONS) end a run at once: the
handler only records the first, a relay thread stops every program, the threads waiting for
them raise Interrupted, and where the run has not ended GRACE seconds later, the relay ends the
tool. The tool ends by the signal, as a shell expects. What stops the programs and what removes
the run's files are the caller's to give: kept here is only what is the process's own, the
signal that landed first and the pipe that wakes the relay."""

import os
import signal
import sys
import threading
import time

from . import system

if not system.WINDOWS:
    import resource

GRACE = 2.0


class Interrupted(BaseException):
    """A signal that ends the run, raised by the code that runs programs in the thread that next
    starts or waits for one, so that the run cleans up on its way out."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


class _Interruption:
    """The first signal that interrupted the run (None: none yet), and the pipe its handler wakes
    the relay by where the system does not. A handler only records it: raised from a handler,
    an exception lands wherever the main thread is, inside a library's lock too (a pool's
    submit), and can leave it waiting for ever."""

    def __init__(self):
        self.number = None
        self.wake = None


# Signals are the process's: one record of them.
_first = _Interruption()


def interrupted():
    """Whether a signal has interrupted the run."""
    return _first.number is not None


def check_interrupted():
    """Raises Interrupted where a signal has interrupted the run."""
    if _first.number is not None:
        raise Interrupted(_first.number)


def _interrupt(number, _frame):
    if _first.number is None:
        _first.number = number
    if system.WINDOWS:
        os.write(_first.wake, bytes([number]))


def _relay(reading, stop, end):
    """The relay thread: woken by the first interruption (its number written to `reading` by the
    signal's own handler, whatever the main thread is doing), stops every program, then gives
    the run GRACE seconds to end by itself before it ends the tool."""
    while True:
        try:
            said = os.read(reading, 1)
        except InterruptedError:
            continue
        if not said:
            return
        if said[0] in system.INTERRUPTIONS:
            break
    if _first.number is None:
        _first.number = said[0]
    stop()
    time.sleep(GRACE)
    _end_now(_first.number, stop, end)


def _wind_up(stop, end, flush=True):
    """What every end by a signal does first: what is left running stopped (`stop()`), the
    keeper's removals done (`end(wait)`, GRACE seconds at most), and with `flush` what the tool
    has said written out."""
    stop()
    end(wait=GRACE)
    for stream in (sys.stdout, sys.stderr) if flush else ():
        try:
            stream.flush()
        except (OSError, ValueError):
            pass


def _end_now(number, stop, end):
    """Ends the tool from the relay thread: what was left running stopped, the keeper's removals
    done, the end by the signal where the main thread had set its default action, else with the
    status a shell gives it, 128 + N. Nothing is flushed: the main thread may hold a stream,
    blocked in a write to a reader that does not read, and what it had not written is lost with
    the run, which the status says."""
    _wind_up(stop, end, flush=False)
    if not system.WINDOWS and signal.getsignal(number) == signal.SIG_DFL:
        os.kill(os.getpid(), number)
        time.sleep(0.1)
    os._exit(128 + number)


def catch_interruptions(stop, end):
    """Makes each interruption stop the run: every program at once (by `stop()`), Interrupted
    raised in the threads that wait for them, and the tool ended within GRACE seconds whatever
    it does, what is left stopped and the run's files removed first (by `end(wait)`, in `wait`
    seconds at most). One that was ignored when the tool started (nohup) stays ignored."""
    caught = [n for n in system.INTERRUPTIONS if signal.getsignal(n) != signal.SIG_IGN]
    if not caught:
        return
    reading, _first.wake = os.pipe()
    if not system.WINDOWS:
        # Written by the signal's handler in C the moment the signal lands: the relay wakes even
        # while the main thread is inside a long call that runs no Python handler.
        os.set_blocking(_first.wake, False)
        signal.set_wakeup_fd(_first.wake, warn_on_full_buffer=False)
    threading.Thread(target=_relay, args=(reading, stop, end), name="interruptions",
                     daemon=True).start()
    for number in caught:
        signal.signal(number, _interrupt)


def end_with_parent(reading, stop):
    """Ends the process, what is left running stopped first (by `stop()`), once `reading`, the
    end of a pipe whose other end only its parent holds, reads its end: the parent has gone,
    however it ended, SIGKILL too, and what it started must not run on without it."""
    def watch():
        while True:
            try:
                if not os.read(reading, 1):
                    break
            except InterruptedError:
                continue
            except OSError:
                break
        stop()
        os._exit(128 + signal.SIGKILL)

    threading.Thread(target=watch, name="parent", daemon=True).start()


def end_by_signal(number, stop, end):
    """Ends the process by signal `number`, with its default action, so that a shell sees the
    interruption; where the system cannot do that, with the status a shell gives it, 128 + N.
    `stop` and `end` as catch_interruptions takes them."""
    if not system.WINDOWS:
        # The default action of some (SIGQUIT) dumps core: the same end, without the file. Set
        # first, so that the relay, should it end the tool meanwhile, ends it by the signal too.
        resource.setrlimit(resource.RLIMIT_CORE, (0, resource.getrlimit(resource.RLIMIT_CORE)[1]))
        signal.signal(number, signal.SIG_DFL)
    _wind_up(stop, end)
    if not system.WINDOWS:
        os.kill(os.getpid(), number)
    sys.exit(128 + number)
