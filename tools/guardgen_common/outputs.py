"""What a companion writes: its result files, checked before the long run so that a finished run
is not lost to a path that cannot be written, and sizes as a person reads them."""

import os
import sys
from pathlib import Path

from .processes import Failure


def check_writable(path):
    """Fails now, rather than after the long run, if `path` cannot be written ("-" is standard
    output)."""
    if path is None or path == "-":
        return
    target = Path(path)
    if target.is_dir():
        raise Failure(f"{path}: is a directory")
    if target.exists():
        writable = os.access(target, os.W_OK)
    else:
        writable = target.parent.is_dir() and os.access(target.parent, os.W_OK)
    if not writable:
        raise Failure(f"{path}: cannot write there")


def write_text(path, text):
    """Writes `text` to the file `path`, or to standard output for "-"."""
    if path == "-":
        sys.stdout.write(text)
    else:
        Path(path).write_text(text)


def plural(count, word):
    """A count of things as a person says it: "1 unit", "3 units"."""
    return f"{count} {word}" + ("" if count == 1 else "s")


def readable_size(size):
    """A number of bytes as a person reads it: "740 bytes", "12.3 MB"."""
    for unit in ("bytes", "kB", "MB", "GB", "TB"):
        if size < 1000 or unit == "TB":
            return f"{size:.0f} {unit}" if unit == "bytes" else f"{size:.1f} {unit}"
        size /= 1000
    return None
