"""The keeper of a run: a process of its own session, started when first needed, that stops what
the tool left running and removes the run's files however the tool ends, even by SIGKILL or the
OOM killer, which no handler of the tool's own can see. There is one for the tool's process: the
mark it looks for is the one every program the tool starts carries in its environment."""

import os
import shutil
import subprocess
import sys
import tempfile
import threading

from . import system

# What the keeper runs: it waits for the tool's end, seen as the end of a pipe that only the tool
# holds, and then stops every process that carries the run's mark in its environment (the
# programs the tool started, in the sandbox or not, and all they started), and removes the
# directories the tool named on the pipe: the run's private one and its scratch directories. The
# mark is inherited by every descendant, so none escapes by starting another.
PROGRAM = r"""
import os, shutil, signal, sys, time
for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
    signal.signal(number, signal.SIG_IGN)
mark, removed = sys.argv[1].encode(), []
said = b""
while True:
    more = os.read(0, 4096)
    if not more:
        break
    said += more
removed += [path.decode(errors="surrogateescape") for path in said.split(b"\0") if path]
def marked():
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit() and int(name) != os.getpid():
            try:
                with open(f"/proc/{name}/environ", "rb") as f:
                    if mark in f.read().split(b"\0"):
                        found.append(int(name))
            except OSError:
                pass
    return found
for _ in range(100):
    left = marked()
    if not left:
        break
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    time.sleep(0.01)
for path in removed:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.unlink(path)
        except OSError:
            pass
"""


class Keeper:
    """The keeper of a run, started when first needed, and the run's private directory, which it
    removes with the rest."""

    def __init__(self):
        self.process = self.pipe = self.private = None
        self.started = False
        self.mark = f"GUARDGEN_RUN={os.getpid()}.{os.urandom(8).hex()}"
        self.lock = threading.Lock()

    def start(self):
        with self.lock:
            if self.started:
                return
            self.started = True
            if system.WINDOWS or not os.path.isdir("/proc"):
                return
            reading, self.pipe = os.pipe()
            try:
                self.process = subprocess.Popen(
                    [sys.executable, "-I", "-S", "-c", PROGRAM, self.mark], stdin=reading,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, close_fds=True,
                    start_new_session=True)
            finally:
                os.close(reading)

    def marked(self):
        """The run's mark, the keeper started to look for it."""
        self.start()
        return self.mark.split("=", 1)[1]

    def private_directory(self):
        """The run's private directory, made when first asked for, the keeper started to
        remove it."""
        if self.private is None:
            self.start()
            self.private = tempfile.mkdtemp(prefix="guardgen-run.")
            self.remove_at_end(self.private)
        return self.private

    def remove_at_end(self, path):
        """Has the keeper remove `path` (a directory, or a file) when the tool ends, however it
        ends."""
        self.start()
        if self.pipe is not None:
            os.write(self.pipe, os.fsencode(path) + b"\0")

    def end(self, wait=10):
        """Stops what is left and removes the private directory; waits for the keeper, `wait`
        seconds at most."""
        with self.lock:
            pipe, self.pipe = self.pipe, None
        if pipe is not None:
            os.close(pipe)
            try:
                self.process.wait(wait)
            except subprocess.TimeoutExpired:
                pass
        if self.private:
            shutil.rmtree(self.private, ignore_errors=True)


_keeper = Keeper()


def mark():
    """The mark of the tool's run (its value), the keeper started to look for it."""
    return _keeper.marked()


def private_directory():
    """The run's private directory, removed when the tool ends, however it ends."""
    return _keeper.private_directory()


def remove_at_end(path):
    """Has `path` removed when the tool ends, however it ends, should it still be there: a file
    that is renamed into place once it is whole."""
    _keeper.remove_at_end(path)


def end(wait=10):
    """Has the keeper stop what is left and remove the run's files now; waits for it, `wait`
    seconds at most."""
    _keeper.end(wait)
