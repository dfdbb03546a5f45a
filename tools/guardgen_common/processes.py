"""Running a program: bounded in time, started in a process group of its own, from the main
thread or from workers, in what guardgen_common.context gives (the sandbox, where there is one,
out of which nothing it starts can outlive the tool), registered while it runs
(guardgen_common.registry), so that an interruption stops every one at once, whatever the
threads are doing; what it writes kept in files without a name, read once it has ended."""

import os
import select
import shlex
import subprocess
import sys
import tempfile
import time
from concurrent.futures import FIRST_EXCEPTION, ThreadPoolExecutor, wait

from . import context, registry, signals, system
from .failure import Failure


def run_program(argv, cwd, timeout, keep_output=False, stdin=subprocess.DEVNULL, bare=False,
                binds=(), clocked=False, added=None):
    """Runs `argv` in `cwd`; returns (seconds, exit status, output or b"", standard error). One
    that has not ended after `timeout` seconds is stopped, with all it started, and reported.
    `binds`, (file, over) pairs, are files that the program sees in place of others, read-only:
    only in a sandbox. With `clocked`, the seconds are timed inside the sandbox, where there is
    one (see Clock), so that its own start is not in them. `added`: variables added to the
    program's environment."""
    seconds, status, output, said = run_program_to_file(argv, cwd, timeout, keep_output, stdin,
                                                        bare=bare, binds=binds, clocked=clocked,
                                                        added=added)
    with said:
        return seconds, status, output, said.read()


class Background:
    """Work that may run programs, `jobs` at a time in worker threads, while the caller goes on
    (submit, as a pool's). Where the caller is stopped within it (an interruption, a failure),
    every program still running is stopped before the workers are waited for, as they wait on
    those programs."""

    def __init__(self, jobs):
        self.pool = ThreadPoolExecutor(max_workers=max(1, jobs))

    def submit(self, function, *args):
        return self.pool.submit(function, *args)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is not None:
            registry.stop_all()
        self.pool.shutdown(wait=True, cancel_futures=True)


def in_parallel(function, items, jobs):
    """[function(item) for item in items], `jobs` at a time in worker threads (see Background);
    the first to fail stops the rest at once, not once those before it have ended."""
    with Background(jobs) as background:
        futures = [background.submit(function, item) for item in items]
        done, _ = wait(futures, return_when=FIRST_EXCEPTION)
        for future in done:
            if future.exception() is not None:
                raise future.exception()
        return [f.result() for f in futures]


def bounded(limits):
    """`limits` (a Limits), their launcher started now in the environment every program gets."""
    limits.warm(context.prepared([], None)[1])
    return limits


def run_program_to_file(argv, cwd, timeout, keep_output=False, stdin=subprocess.DEVNULL,
                        limits=None, bare=False, binds=(), passed=False, clocked=False,
                        added=None, kept=(), meanwhile=None):
    """As run_program, with standard error as a file, to be read from its start and closed: a
    long listing is then read a line at a time, never whole. `limits` (a Limits) bounds the
    program's memory and the size of what it says. Standard error goes to a file without a
    name, read once the program has ended: a compiler writes its listing a line at a time, and a
    pipe would wake the tool for every line. A `bare` program runs as it is, with an empty
    environment: the sandbox itself, tried. `binds` and `clocked` as run_program takes them;
    `added`, variables added to the program's environment; `kept`, descriptors the program
    inherits as they are (of a program run without bounds). `meanwhile()`, where given, is
    called once the program has started, before it is waited for: what fails in it stops the
    program."""
    if binds and not context.sandboxed():
        raise Failure("files bound over others need the sandbox")
    said = tempfile.TemporaryFile()
    clock = Clock() if clocked and context.sandboxed() and not bare else None
    try:
        start = time.perf_counter()
        process = _start(argv, cwd, stdin, keep_output, None if passed else said, limits, bare,
                         binds, clock, added, kept)
        if meanwhile is not None:
            try:
                meanwhile()
            except BaseException:
                _stop(process)
                raise
        output = _wait(process, argv, timeout)
        seconds = time.perf_counter() - start
        if clock is not None:
            seconds = clock.seconds(seconds)
    except BaseException:
        said.close()
        raise
    finally:
        if clock is not None:
            clock.close()
    said.seek(0)
    return seconds, process.returncode, output or b"", said


# The clock of a program timed in the sandbox: it starts the program, waits for it and writes the
# seconds between to the descriptor it is given (which the program does not inherit), then ends
# as the program did. Timed from outside, every run would take in the sandbox's own start too,
# some milliseconds, and many more and more unevenly on a loaded machine.
CLOCK = r"""
import os, signal, sys, time
report = int(sys.argv[1])
os.set_inheritable(report, False)
try:
    start = time.perf_counter()
    pid = os.posix_spawnp(sys.argv[2], sys.argv[2:], os.environ)
    _, status = os.waitpid(pid, 0)
    os.write(report, repr(time.perf_counter() - start).encode())
except OSError as error:
    sys.stderr.write(f"{sys.argv[2]}: {error.strerror}\n")
    sys.exit(127)
code = os.waitstatus_to_exitcode(status)
if code < 0:
    signal.signal(-code, signal.SIG_DFL)
    os.kill(os.getpid(), -code)
sys.exit(code)
"""


class Clock:
    """A pipe for the seconds that CLOCK, run in the sandbox in front of a program, reports."""

    def __init__(self):
        self.reading, self.writing = os.pipe()
        os.set_blocking(self.reading, False)

    def wrap(self, argv):
        return [sys.executable, "-I", "-S", "-c", CLOCK, str(self.writing), *argv]

    def started(self):
        """Closes the end the program's clock writes to, which it holds now."""
        if self.writing is not None:
            os.close(self.writing)
            self.writing = None

    def seconds(self, outside):
        """The seconds the clock reported, else `outside`, the seconds timed outside the sandbox,
        where it did not get to report or reported what cannot be (more than those)."""
        self.started()
        try:
            inside = float(os.read(self.reading, 64).decode())
        except (OSError, ValueError):
            return outside
        return inside if 0 <= inside <= outside else outside

    def close(self):
        self.started()
        os.close(self.reading)


def _start(argv, cwd, stdin, keep_output, said, limits, bare=False, binds=(), clock=None,
           added=None, kept=()):
    process = registry.start(signals.check_interrupted, lambda: _launch(
        argv, cwd, stdin, keep_output, said, limits, bare, binds, clock, added, kept))
    # A signal that landed while it started: the relay's stop may have come before it was known.
    if signals.interrupted():
        _stop(process)
        signals.check_interrupted()
    return process


def _launch(argv, cwd, stdin, keep_output, said, limits, bare, binds, clock, added, kept):
    """Starts the program, as _start and the context ask: in the registry's lock."""
    command = clock.wrap(argv) if clock is not None else argv
    command, env = (command, {}) if bare else context.prepared(command, cwd, binds)
    if added:
        env = {**env, **added}
    # What a program writes goes to a file without a name, read once it has ended: a process it
    # left behind that holds a pipe would keep the run waiting for the pipe's end.
    output = tempfile.TemporaryFile() if keep_output else None
    if limits and limits.active:
        process = limits.start(command, cwd, env, None if stdin == subprocess.DEVNULL else stdin,
                               output.fileno() if keep_output else None,
                               sys.stderr.fileno() if said is None else said.fileno())
    else:
        process = subprocess.Popen(
            command, cwd=cwd, stdin=stdin,
            stdout=output if keep_output else subprocess.DEVNULL,
            stderr=said, env=env, pass_fds=(*kept, *((clock.writing,) if clock else ())),
            **system.NEW_GROUP)
    if clock is not None:
        clock.started()
    process.output = output
    return process


def _stop(process):
    system.stop_group(process)
    process.wait()
    _read_output(process)
    registry.discard(process)


def _ended(process, timeout):
    """Waits for `process` to end, for `timeout` seconds at most. Where the system can say when a
    process ends (a pidfd, on Linux), it is told at once; Popen.wait with a timeout would poll,
    and notice the end up to 50 ms late. poll, unlike select, takes a descriptor of any
    number."""
    if hasattr(os, "pidfd_open"):
        try:
            descriptor = os.pidfd_open(process.pid)
        except OSError:
            descriptor = None
        if descriptor is not None:
            try:
                waiting = select.poll()
                waiting.register(descriptor, select.POLLIN)
                if not waiting.poll(timeout * 1000):
                    raise subprocess.TimeoutExpired(process.args, timeout)
            finally:
                os.close(descriptor)
    process.wait(timeout)


def _wait(process, argv, timeout):
    """Waits for `process` to end, bounded in time and interruptible; its output, if it is kept."""
    try:
        _ended(process, timeout)
        output = _read_output(process)
    except subprocess.TimeoutExpired:
        system.stop_group(process)
        process.wait()
        _read_output(process)
        signals.check_interrupted()
        raise Failure(f"'{shlex.join(argv)}' did not end within {timeout:g} s: stopped it") from None
    except BaseException:
        # Nothing that this run started may outlive the tool.
        system.stop_group(process)
        process.wait()
        _read_output(process)
        raise
    finally:
        registry.discard(process)
    # A program the relay stopped ended for that: the run ends too.
    signals.check_interrupted()
    return output


def _read_output(process):
    """What `process` wrote, where it is kept (else None); its file closed."""
    if getattr(process, "output", None) is None:
        return None
    with process.output as f:
        f.seek(0)
        return f.read()
