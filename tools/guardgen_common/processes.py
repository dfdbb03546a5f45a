"""Running programs: each bounded in time and started in a process group of its own, from the main
thread or from workers. The groups still running are kept in one registry, so that an
interruption stops every one of them at once, whatever the threads are doing. Where a
sandbox is set (guardgen_common.sandbox), every program runs in it, and nothing it starts can
outlive the tool. A keeper process, started when first needed, removes the run's scratch
directories however the tool ends, even by SIGKILL or the OOM killer, which no handler of the
tool's own can see, and, for programs run without the sandbox, stops whatever is left of them."""

import os
import select
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time

from . import context, keeper, registry, system
from .failure import Failure
from .names import printable

if not system.WINDOWS:
    import resource


class Interrupted(BaseException):
    """A signal that ends the run, raised by the code of this module in the thread that next
    starts or waits for a program, so that the run cleans up on its way out."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


# The first signal that interrupted the run (None: none yet). A handler only records it: raised
# from a handler, an exception lands wherever the main thread is, inside a library's lock too
# (a pool's submit), and can leave it waiting for ever. The relay thread, woken by the signal
# itself, stops every program; the threads waiting for them then raise Interrupted; and where
# the run has not ended GRACE seconds later, the relay ends the tool itself.
_interrupted = None
GRACE = 2.0
def run(argv, cwd, timeout, keep_output=False, stdin=subprocess.DEVNULL, bare=False, binds=(),
        clocked=False):
    """Runs `argv` in `cwd`; returns (seconds, exit status, output or b"", standard error). One
    that has not ended after `timeout` seconds is stopped, with all it started, and reported.
    `binds`, (file, over) pairs, are files that the program sees in place of others, read-only:
    only in a sandbox. With `clocked`, the seconds are timed inside the sandbox, where there is
    one (see Clock), so that its own start is not in them."""
    seconds, status, output, said = run_to_file(argv, cwd, timeout, keep_output, stdin,
                                                bare=bare, binds=binds, clocked=clocked)
    with said:
        return seconds, status, output, said.read()


def run_to_file(argv, cwd, timeout, keep_output=False, stdin=subprocess.DEVNULL, limits=None,
                bare=False, binds=(), passed=False, clocked=False):
    """As run, with standard error as a file, to be read from its start and closed: a long
    listing is then read a line at a time, never whole. `limits` (a Limits) bounds the
    program's memory and the size of what it says. Standard error goes to a file without a
    name, read once the program has ended: a compiler writes its listing a line at a time, and a
    pipe would wake the tool for every line. A `bare` program runs as it is, with an empty
    environment: the sandbox itself, tried. `binds` and `clocked` as run takes them."""
    if binds and not context.sandboxed():
        raise Failure("files bound over others need the sandbox")
    said = tempfile.TemporaryFile()
    clock = Clock() if clocked and context.sandboxed() and not bare else None
    try:
        start = time.perf_counter()
        process = _start(argv, cwd, stdin, keep_output, None if passed else said, limits, bare,
                         binds, clock)
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


def check_interrupted():
    """Raises Interrupted where a signal has interrupted the run."""
    if _interrupted is not None:
        raise Interrupted(_interrupted)


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


def _start(argv, cwd, stdin, keep_output, said, limits, bare=False, binds=(), clock=None):
    process = registry.start(check_interrupted, lambda: _launch(
        argv, cwd, stdin, keep_output, said, limits, bare, binds, clock))
    # A signal that landed while it started: the relay's stop may have come before it was known.
    if _interrupted is not None:
        _stop(process)
        check_interrupted()
    return process


def _launch(argv, cwd, stdin, keep_output, said, limits, bare, binds, clock):
    """Starts the program, as _start and the context ask: in the registry's lock."""
    command = clock.wrap(argv) if clock is not None else argv
    command, env = (command, {}) if bare else context.prepared(command, cwd, binds)
    # What a program writes goes to a file without a name, read once it has ended: a process it
    # left behind that holds a pipe would keep the run waiting for the pipe's end.
    output = tempfile.TemporaryFile() if keep_output else None
    process = subprocess.Popen(
        command, cwd=cwd, stdin=stdin,
        stdout=output if keep_output else subprocess.DEVNULL,
        stderr=said, env=env, pass_fds=(clock.writing,) if clock else (),
        preexec_fn=limits.apply if limits and limits.active else None, **system.NEW_GROUP,
    )
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
        check_interrupted()
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
    check_interrupted()
    return output


def _read_output(process):
    """What `process` wrote, where it is kept (else None); its file closed."""
    if getattr(process, "output", None) is None:
        return None
    with process.output as f:
        f.seek(0)
        return f.read()


def _interrupt(number, _frame):
    global _interrupted
    if _interrupted is None:
        _interrupted = number
    if system.WINDOWS:
        os.write(_wake, bytes([number]))


def _relay(reading):
    """The relay thread: woken by the first interruption (its number written to `reading` by the
    signal's own handler, whatever the main thread is doing), stops every program, then gives
    the run GRACE seconds to end by itself before it ends the tool."""
    global _interrupted
    while True:
        try:
            said = os.read(reading, 1)
        except InterruptedError:
            continue
        if not said:
            return
        if said[0] in system.INTERRUPTIONS:
            break
    if _interrupted is None:
        _interrupted = said[0]
    registry.stop_all()
    time.sleep(GRACE)
    _end_now(_interrupted)


def _wind_up(flush=True):
    """What every end by a signal does first: what is left running stopped, the keeper's removals
    done (GRACE seconds at most), and with `flush` what the tool has said written out."""
    registry.stop_all()
    keeper.end(wait=GRACE)
    for stream in (sys.stdout, sys.stderr) if flush else ():
        try:
            stream.flush()
        except (OSError, ValueError):
            pass


def _end_now(number):
    """Ends the tool from the relay thread: what was left running stopped, the keeper's removals
    done, the end by the signal where the main thread had set its default action, else with the
    status a shell gives it, 128 + N. Nothing is flushed: the main thread may hold a stream,
    blocked in a write to a reader that does not read, and what it had not written is lost with
    the run, which the status says."""
    _wind_up(flush=False)
    if not system.WINDOWS and signal.getsignal(number) == signal.SIG_DFL:
        os.kill(os.getpid(), number)
        time.sleep(0.1)
    os._exit(128 + number)


_wake = None


def catch_interruptions():
    """Makes each interruption stop the run: every program at once, Interrupted raised in the
    threads that wait for them, and the tool ended within GRACE seconds whatever it does. One that
    was ignored when the tool started (nohup) stays ignored."""
    global _wake
    caught = [n for n in system.INTERRUPTIONS if signal.getsignal(n) != signal.SIG_IGN]
    if not caught:
        return
    reading, _wake = os.pipe()
    if not system.WINDOWS:
        # Written by the signal's handler in C the moment the signal lands: the relay wakes even
        # while the main thread is inside a long call that runs no Python handler.
        os.set_blocking(_wake, False)
        signal.set_wakeup_fd(_wake, warn_on_full_buffer=False)
    threading.Thread(target=_relay, args=(reading,), name="interruptions", daemon=True).start()
    for number in caught:
        signal.signal(number, _interrupt)


def end_by_signal(number):
    """Ends the process by signal `number`, with its default action, so that a shell sees the
    interruption; where the system cannot do that, with the status a shell gives it, 128 + N."""
    if not system.WINDOWS:
        # The default action of some (SIGQUIT) dumps core: the same end, without the file. Set
        # first, so that the relay, should it end the tool meanwhile, ends it by the signal too.
        resource.setrlimit(resource.RLIMIT_CORE, (0, resource.getrlimit(resource.RLIMIT_CORE)[1]))
        signal.signal(number, signal.SIG_DFL)
    _wind_up()
    if not system.WINDOWS:
        os.kill(os.getpid(), number)
    sys.exit(128 + number)


def run_as_command(me, main):
    """Runs `main` on the command line's arguments as the command `me`: its status; for an error,
    one line "me: what" on standard error and status 1; for an interruption, every program it
    started stopped and the end by that signal."""
    catch_interruptions()
    try:
        status = main(sys.argv[1:])
        # A signal that landed while the run wrote its output (a write it cut short returns as
        # if done): the run was interrupted all the same, and never ends as a success.
        check_interrupted()
    except Failure as failure:
        # One without words was said where it happened (in the tool's sandbox).
        if failure.args != (None,):
            print(f"{me}: {printable(failure)}", file=sys.stderr)
        status = 1
    except Interrupted as interruption:
        end_by_signal(interruption.number)
    except OSError as error:
        print(f"{me}: " + printable(f"{error.filename}: {error.strerror}" if error.filename
                                    else error), file=sys.stderr)
        status = 1
    finally:
        registry.stop_all()
        keeper.end()
    sys.exit(status)
