"""What differs between the systems the tool runs on, kept in this one place: the name of the
guardgen program and the line ends it writes, the preprocessors known by name, how a program and
everything it started are stopped, and the signals that interrupt a run."""

import os
import signal
import subprocess

WINDOWS = os.name == "nt"

GUARDGEN = "guardgen.exe" if WINDOWS else "guardgen"

# guardgen writes the platform's line ends: the bytes of each "\n" in its files.
LINE_END_BYTES = 2 if WINDOWS else 1

# The commands that preprocess a file, for the names the tool knows, and the ones it takes by
# default where they are installed.
KNOWN_COMMANDS = {
    "gcc": "gcc -E",
    "clang": "clang -E",
    "tcc": "tcc -E",
    "mcpp": "mcpp",
    "cc": "cc -E",
    "cpp": "cpp",
    "cl": "cl /nologo /E",
    "clang-cl": "clang-cl /nologo /E",
}
DEFAULT_NAMES = ("gcc", "clang", "tcc", "mcpp", "cl") if WINDOWS else ("gcc", "clang", "tcc", "mcpp")

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


# The signals that interrupt a run: the terminal's Ctrl-C, kill, and a closed terminal.
INTERRUPTIONS = [signal.SIGINT, signal.SIGTERM]
if hasattr(signal, "SIGHUP"):
    INTERRUPTIONS.append(signal.SIGHUP)
if hasattr(signal, "SIGBREAK"):
    INTERRUPTIONS.append(signal.SIGBREAK)
