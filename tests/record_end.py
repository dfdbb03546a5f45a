#!/usr/bin/python3
"""record_end.py ENDED PID_FILE OUT ERR COMMAND...

Runs COMMAND with its standard output and error going to OUT and ERR, writes its process id to
PID_FILE once it runs, and when it ends writes to ENDED how: "exit N", or "signal SIGNAME" (a
shell's status cannot tell an exit with 130 from an end by SIGINT)."""

import os
import signal
import subprocess
import sys

ended, pid_file, out, err = sys.argv[1:5]
with open(out, "w") as stdout, open(err, "w") as stderr:
    child = subprocess.Popen(sys.argv[5:], stdout=stdout, stderr=stderr)
with open(pid_file + ".new", "w") as f:
    f.write(str(child.pid))
os.replace(pid_file + ".new", pid_file)
code = child.wait()
with open(ended, "w") as f:
    f.write(f"signal {signal.Signals(-code).name}" if code < 0 else f"exit {code}")
