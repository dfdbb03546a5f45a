"""Programs started already bounded, without a fork of the tool. Bounds set in a child before
it runs a program need a fork of the tool (Python cannot run code in a vfork'd child), and a fork
of a large process with threads costs tens of milliseconds, held under the start's lock: more
than a small compiler run takes. So a small process of its own, the launcher, is started once
with the bounds set on itself, soft and hard alike, and starts each program it is asked to; each
inherits the bounds at its start and can raise none of them. The launcher keeps each ended
program unreaped until the tool has its status, so that its process group can be stopped until
then as a child's can.

The tool asks over a socket (one message a request, the program's standard input, output and
error passed with it as descriptors); the launcher answers with the program's pid, or why it
could not start, and later with its exit status."""

import errno
import json
import os
import socket
import subprocess
import sys
import threading

# A request's text is sent in pieces of this size: a message of a packet socket is bounded.
PIECE = 1 << 15

# The launcher: its socket's descriptor, then the bounds as kind=value.
SCRIPT = r"""
import json, os, resource, socket, subprocess, sys, threading
threading.stack_size(1 << 18)
sock = socket.socket(fileno=int(sys.argv[1]))
for bound in sys.argv[2:]:
    kind, value = map(int, bound.split("="))
    resource.setrlimit(kind, (value, value))
sending = threading.Lock()
def send(answer):
    with sending:
        sock.send(json.dumps(answer).encode())
def wait(pid):
    info = os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
    code = info.si_status if info.si_code == os.CLD_EXITED else -info.si_status
    send({"pid": pid, "status": code})
def start(request, fds):
    given = dict(zip(request["fds"], fds))
    try:
        process = subprocess.Popen(
            request["argv"], cwd=request["cwd"], env=request["env"],
            stdin=given.get("stdin", subprocess.DEVNULL),
            stdout=given.get("stdout", subprocess.DEVNULL),
            stderr=given.get("stderr", subprocess.DEVNULL), start_new_session=True)
    except OSError as error:
        send({"id": request["id"], "errno": error.errno or 0, "error": error.strerror or ""})
        return
    finally:
        for fd in fds:
            os.close(fd)
    # Its status is the launcher's to take: none of subprocess's own waits may take it.
    process.returncode = 0
    send({"id": request["id"], "pid": process.pid})
    threading.Thread(target=wait, args=(process.pid,), daemon=True).start()
while True:
    head, fds, _, _ = socket.recv_fds(sock, 64, 8)
    if not head:
        break
    size, text = int(head), b""
    while len(text) < size:
        piece = sock.recv(1 << 16)
        if not piece:
            sys.exit()
        text += piece
    request = json.loads(text)
    if "reap" in request:
        os.waitpid(request["reap"], 0)
    else:
        start(request, fds)
"""


class Launched:
    """A program the launcher started: as much of subprocess.Popen as the tool uses."""

    def __init__(self, launcher, args):
        self.launcher, self.args = launcher, args
        self.pid = self.returncode = None
        self._ended = threading.Event()

    def wait(self, timeout=None):
        if not self._ended.wait(timeout):
            raise subprocess.TimeoutExpired(self.args, timeout)
        return self.returncode

    def _end(self, status):
        self.returncode = status
        self.launcher.ask({"reap": self.pid})
        self._ended.set()


class Launcher:
    """The launcher of programs bounded by `bounds` ((kind, value) of resource's limits), its
    own environment `env`; started at once, ended by close()."""

    def __init__(self, bounds, env):
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.socket, self._sending, self._lock = ours, threading.Lock(), threading.Lock()
        self._starting, self._running, self._next, self._closed = {}, {}, 0, False
        with theirs:
            self.process = subprocess.Popen(
                [sys.executable, "-I", "-S", "-c", SCRIPT, str(theirs.fileno()),
                 *(f"{kind}={value}" for kind, value in bounds)],
                pass_fds=(theirs.fileno(),), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def start(self, argv, cwd, env, stdin=None, stdout=None, stderr=None):
        """Starts `argv` in `cwd` with `env`; its standard streams the descriptors given (None:
        the null device). Returns a Launched; raises OSError where it cannot start."""
        launched, answer, started = Launched(self, argv), {}, threading.Event()
        named = [(name, fd) for name, fd in (("stdin", stdin), ("stdout", stdout),
                                             ("stderr", stderr)) if fd is not None]
        with self._lock:
            if self._closed:
                raise OSError(errno.EPIPE, "the launcher has ended")
            self._next += 1
            key = self._next
            self._starting[key] = (launched, answer, started)
        self.ask({"id": key, "argv": list(argv), "cwd": os.fspath(cwd) if cwd else None,
                  "env": env, "fds": [name for name, _ in named]}, [fd for _, fd in named])
        started.wait()
        if "pid" not in answer:
            raise OSError(answer.get("errno") or errno.EPIPE,
                          answer.get("error") or "the launcher has ended")
        return launched

    def ask(self, request, fds=()):
        text = json.dumps(request).encode()
        with self._sending:
            try:
                socket.send_fds(self.socket, [str(len(text)).encode()], list(fds))
                for at in range(0, len(text), PIECE):
                    self.socket.send(text[at:at + PIECE])
            except OSError:
                pass  # the launcher has ended: the reader ends what waits for it

    def _read(self):
        while True:
            try:
                message = self.socket.recv(1 << 16)
            except OSError:
                message = b""
            if not message:
                break
            answer = json.loads(message)
            with self._lock:
                if "id" in answer:
                    launched, into, started = self._starting.pop(answer["id"])
                    into.update(answer)
                    if "pid" in answer:
                        launched.pid = answer["pid"]
                        self._running[launched.pid] = launched
                    started.set()
                    continue
                launched = self._running.pop(answer["pid"], None)
            if launched is not None:
                launched._end(answer["status"])
        # The launcher is gone: what waits for it ends, as killed.
        with self._lock:
            self._closed = True
            for _, _, started in self._starting.values():
                started.set()
            running, self._running = list(self._running.values()), {}
        for launched in running:
            launched.returncode = -9
            launched._ended.set()

    def close(self):
        """Ends the launcher once the programs it started have ended."""
        try:
            self.socket.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._reader.join()
        self.socket.close()
