"""Where a run stands, said on standard error as it moves."""

import os
import sys
import threading


class Progress:
    """Where a run stands, on standard error: on a terminal, one line rewritten as it moves; off
    one (a CI log), a line every CHECK_GUARDS_PROGRESS seconds (default 30) while it runs."""

    def __init__(self, me):
        self.me, self.text, self.lock = me, None, threading.Lock()
        self.terminal = sys.stderr.isatty()
        try:
            self.every = float(os.environ.get("CHECK_GUARDS_PROGRESS", "30"))
        except ValueError:
            self.every = 30.0
        self.every = self.every if 0 < self.every <= 3600 else 30.0
        self.ended = threading.Event()
        if not self.terminal:
            threading.Thread(target=self._tick, daemon=True).start()

    def _tick(self):
        while not self.ended.wait(self.every):
            with self.lock:
                if self.text:  # the same again too: a log that says nothing looks hung
                    print(f"{self.me}: {self.text}", file=sys.stderr, flush=True)

    def __call__(self, text, last=False):
        with self.lock:
            self.text = None if last else text
            if self.terminal:
                print(f"\r\033[K{self.me}: {text}", end="\n" if last else "", file=sys.stderr,
                      flush=True)

    def end(self):
        self.ended.set()
