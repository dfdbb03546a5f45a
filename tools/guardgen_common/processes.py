"""Running programs: each bounded in time and started in a process group of its own, from the main
thread or from workers. The groups still running are kept in one registry, so that an
interruption, which only the main thread receives, stops every one of them from there."""

import os
import select
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time

from . import system


class Failure(Exception):
    """An error to report in one line."""


class Interrupted(BaseException):
    """A signal that ends the run, raised where the main thread is, so that it cleans up on the
    way."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


# The programs running now, and whether the run is being stopped (then no new one starts).
_lock = threading.Lock()
_live = set()
_stopping = False


def run(argv, cwd, timeout, keep_output=False, stdin=subprocess.DEVNULL):
    """Runs `argv` in `cwd`; returns (seconds, exit status, output or b"", standard error). One
    that has not ended after `timeout` seconds is stopped, with all it started, and reported.
    Standard error goes to a file without a name, read once the program has ended: a compiler
    writes its listing a line at a time, and a pipe would wake the tool for every line."""
    with tempfile.TemporaryFile() as said:
        start = time.perf_counter()
        with _lock:
            if _stopping:
                raise Failure("stopped")
            process = subprocess.Popen(
                argv, cwd=cwd, stdin=stdin,
                stdout=subprocess.PIPE if keep_output else subprocess.DEVNULL,
                stderr=said, **system.NEW_GROUP,
            )
            _live.add(process)
        output = _wait(process, argv, timeout)
        seconds = time.perf_counter() - start
        said.seek(0)
        return seconds, process.returncode, output or b"", said.read()


def _ended(process, timeout):
    """Waits for `process` to end, for `timeout` seconds at most. Where the system can say when a
    process ends (a pidfd, on Linux), it is told at once; Popen.wait with a timeout would poll,
    and notice the end up to 50 ms late."""
    if hasattr(os, "pidfd_open"):
        try:
            descriptor = os.pidfd_open(process.pid)
        except OSError:
            descriptor = None
        if descriptor is not None:
            try:
                ready, _, _ = select.select([descriptor], [], [], timeout)
            finally:
                os.close(descriptor)
            if not ready:
                raise subprocess.TimeoutExpired(process.args, timeout)
    process.wait(timeout)


def _wait(process, argv, timeout):
    """Waits for `process` to end, bounded in time and interruptible; its output, if it is kept."""
    try:
        if process.stdout is None:
            output = None
            _ended(process, timeout)
        else:
            output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        system.stop_group(process)
        process.communicate()
        raise Failure(f"'{shlex.join(argv)}' did not end within {timeout:g} s: stopped it") from None
    except BaseException:
        # An interruption: nothing that this run started may outlive the tool.
        system.stop_group(process)
        process.wait()
        raise
    finally:
        with _lock:
            _live.discard(process)
    return output


def stop_all():
    """Stops every program still running, with all it started, and starts no new one."""
    global _stopping
    with _lock:
        _stopping = True
        live = list(_live)
    for process in live:
        system.stop_group(process)


def _interrupt(number, _frame):
    raise Interrupted(number)


def catch_interruptions():
    """Makes each interruption raise Interrupted in the main thread. One that was ignored when the
    tool started (nohup) stays ignored."""
    for number in system.INTERRUPTIONS:
        if signal.getsignal(number) != signal.SIG_IGN:
            signal.signal(number, _interrupt)


def end_by_signal(number):
    """Ends the process by signal `number`, with its default action, so that a shell sees the
    interruption; where the system cannot do that, with the status a shell gives it, 128 + N."""
    stop_all()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    if not system.WINDOWS:
        signal.signal(number, signal.SIG_DFL)
        os.kill(os.getpid(), number)
    sys.exit(128 + number)


def run_as_command(me, main):
    """Runs `main` on the command line's arguments as the command `me`: its status; for an error,
    one line "me: what" on standard error and status 1; for an interruption, every program it
    started stopped and the end by that signal."""
    catch_interruptions()
    try:
        sys.exit(main(sys.argv[1:]))
    except Failure as failure:
        print(f"{me}: {failure}", file=sys.stderr)
        sys.exit(1)
    except Interrupted as interruption:
        end_by_signal(interruption.number)
    except OSError as error:
        print(f"{me}: " + (f"{error.filename}: {error.strerror}" if error.filename else str(error)),
              file=sys.stderr)
        sys.exit(1)
