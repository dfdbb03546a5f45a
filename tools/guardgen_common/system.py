"""What differs between Linux and Windows, kept in this one place: guardgen's name and line
ends, how a Windows build's path is read, how a program is started in a group of its own, how it
is stopped with all it started, and the signals that interrupt a run."""

import os
import signal
import subprocess

WINDOWS = os.name == "nt"

# The name of the guardgen program, and the bytes of each "\n" in the files it writes.
GUARDGEN = "guardgen.exe" if WINDOWS else "guardgen"
LINE_END_BYTES = 2 if WINDOWS else 1


def windows_path(path):
    """A path from a Windows build, as it is taken here: its backslashes are separators on
    Windows alone."""
    return path if WINDOWS else path.replace("\\", "/")


def written_bytes(text):
    """The bytes that `text` takes in a file written with those line ends."""
    return len(text) + text.count("\n") * (LINE_END_BYTES - 1)


# Each program runs in a group of its own, so that it can be stopped with all it started (gcc
# starts cc1, for one), and so that the terminal's Ctrl-C reaches the tool alone, which then
# stops it.
if WINDOWS:
    NEW_GROUP = {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP}
else:
    NEW_GROUP = {"start_new_session": True}


def stop_group(process):
    """Stops `process` and whatever it started, at once."""
    if WINDOWS:
        subprocess.run(["taskkill", "/F", "/T", "/PID", str(process.pid)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    else:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


# The signals that interrupt a run: the terminal's Ctrl-C and Ctrl-\, kill, and a closed terminal.
INTERRUPTIONS = [signal.SIGINT, signal.SIGTERM]
for name in ("SIGHUP", "SIGQUIT"):
    if hasattr(signal, name):
        INTERRUPTIONS.append(getattr(signal, name))
if hasattr(signal, "SIGBREAK"):
    INTERRUPTIONS.append(signal.SIGBREAK)
