"""What a companion writes: its result files, checked before the long run so that a finished run
is not lost to a path that cannot be written, then each written as a new file beside its target
and renamed over it once whole, so that an interrupted run or a full disk leaves nothing
partial and a link in its place is replaced, never followed; and sizes as a person reads them.

A link where an output goes that lies in the audited tree, or leads into it, was put there by
whoever made the tree, not by the user (a committed `fix.diff` linked to ~/.bashrc): it is
refused, as is a directory link of the tree's that leads out of it.

Standard output ("-", /dev/stdout), standard error (/dev/stderr) and the null device are
written directly, as they are: there is nothing to replace, and a user may not create a file
beside them in /dev."""

import contextlib
import json
import os
import re
import stat
import sys

from . import keeper
from .failure import Failure
from .files import under
from .names import printable

TEMPORARY = getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)


def _links(absolute):
    """(link, where it lies, where it leads) for each component of the absolute path
    `absolute` that is a symbolic link, from the top."""
    parts = absolute.split(os.sep)
    found = []
    for k in range(2, len(parts) + 1):
        prefix = os.sep.join(parts[:k]) or os.sep
        if os.path.islink(prefix):
            found.append((prefix, os.path.realpath(os.path.dirname(prefix)),
                          os.path.realpath(prefix)))
    return found


def target(path, tree=None):
    """The absolute path to write `path` to, or a Failure in one line: a directory or any file
    that is not a regular one (a device, a FIFO) is refused, and so, where `tree` (the
    directories of the audited tree) is given, is a link there that lies in the tree or leads
    into it, or a directory link of the tree's that leads out of it."""
    if "\0" in path:
        raise Failure(f"{printable(path)}: not a name a file can have")
    absolute = os.path.abspath(path)
    for link, lies, leads in _links(absolute):
        last = link == absolute
        if tree and ((last and (under(lies, tree) or under(leads, tree)))
                     or (not last and under(lies, tree) and not under(leads, tree))):
            raise Failure(f"{printable(path)}: a link of the audited tree's, or into it "
                          f"({printable(link)} to {printable(leads)}): refused, as it is not "
                          "yours to follow; give the path it leads to, or remove it")
    if os.path.isdir(absolute) and not os.path.islink(absolute):
        raise Failure(f"{printable(path)}: is a directory")
    try:
        info = os.lstat(absolute)
    except OSError:
        info = None
    if (info is not None and not stat.S_ISREG(info.st_mode) and not stat.S_ISLNK(info.st_mode)
            and not direct(absolute)):
        raise Failure(f"{printable(path)}: not a regular file: refused (- writes to standard "
                      "output)")
    return absolute


# The names of the streams a process has open, as a shell spells them.
STREAMS = {"-": 1, "/dev/stdout": 1, "/dev/fd/1": 1, "/proc/self/fd/1": 1,
           "/dev/stderr": 2, "/dev/fd/2": 2, "/proc/self/fd/2": 2}


def direct(path):
    """Where `path` is written directly rather than replaced: 1 or 2 for standard output or
    error, "null" for the null device, None for a file."""
    if path in STREAMS:
        return STREAMS[path]
    if os.name == "nt":
        return None
    absolute = os.path.abspath(path)
    if absolute in STREAMS:
        return STREAMS[absolute]
    return "null" if os.path.realpath(absolute) == os.devnull else None


def check_writable(path, tree=None):
    """Fails now, rather than after the long run, if `path` cannot be written ("-" is standard
    output); see target."""
    if path is None or direct(path):
        return
    absolute = target(path, tree)
    parent = os.path.dirname(absolute)
    if not (os.path.isdir(parent) and os.access(parent, os.W_OK)):
        raise Failure(f"{printable(path)}: cannot write there")


@contextlib.contextmanager
def replacing(path, tree=None):
    """A new file beside `path` (see target) opened to write bytes, renamed over `path` once the
    block has ended and all of it is on the disk; removed, and `path` left as it was, where the
    block or a write fails (a failed write is a Failure in one line)."""
    where = direct(path)
    if where == "null":
        with open(os.devnull, "wb") as f:
            yield f
        return
    if where:
        yield from _stream(where)
        return
    absolute = target(path, tree)
    directory, name = os.path.split(absolute)
    # The directory opened once, where it was found to lie: the file is made and renamed in it,
    # so that a directory swapped for a link meanwhile (by a process of the tree's) leads nowhere.
    folder = _opened(directory, path, tree)
    try:
        while True:
            temporary = f".{name[:200]}.{os.urandom(4).hex()}.tmp"
            try:
                descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | TEMPORARY,
                                     0o666, **_within(folder))
                break
            except FileExistsError:
                continue
    except OSError as error:
        _close(folder)
        raise Failure(f"{printable(path)}: {error.strerror}") from None
    # Removed however the tool ends, should it end before the rename: never a part of a file.
    keeper.remove_at_end(os.path.join(folder[1] if folder else directory, temporary))
    try:
        with os.fdopen(descriptor, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        if folder:
            os.replace(temporary, name, src_dir_fd=folder[0], dst_dir_fd=folder[0])
        else:
            os.replace(os.path.join(directory, temporary), absolute)
    except BaseException as error:
        with contextlib.suppress(OSError):
            if folder:
                os.unlink(temporary, dir_fd=folder[0])
            else:
                os.unlink(os.path.join(directory, temporary))
        if isinstance(error, OSError):
            raise Failure(f"{printable(path)}: {error.strerror}") from None
        raise
    finally:
        _close(folder)


def _opened(directory, path, tree):
    """(descriptor, real path) of `directory` opened, where the system makes files by a
    directory's descriptor and says where one leads (Linux); else None. A Failure where one of
    the tree's (`tree`) that was checked leads out of it once opened (a link swapped in since)."""
    if os.open not in os.supports_dir_fd or not os.path.isdir("/proc/self/fd"):
        return None
    try:
        descriptor = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0)
                             | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise Failure(f"{printable(path)}: {error.strerror}") from None
    actual = os.readlink(f"/proc/self/fd/{descriptor}")
    if tree and under(os.path.normpath(directory), tree) and not under(actual, tree):
        os.close(descriptor)
        raise Failure(f"{printable(path)}: its directory was changed while the tool ran (it now "
                      "leads elsewhere): refused")
    return descriptor, actual


def _within(folder):
    return {"dir_fd": folder[0]} if folder else {}


def _close(folder):
    if folder:
        with contextlib.suppress(OSError):
            os.close(folder[0])


def _stream(number):
    """Standard output (1) or error (2), to write bytes to, flushed at the end; a failed write
    there is a Failure in one line, and what was not written is thrown away."""
    stream = sys.stdout if number == 1 else sys.stderr
    try:
        stream.flush()
        yield stream.buffer
        stream.buffer.flush()
    except OSError as error:
        _discard(stream)
        name = "standard output" if number == 1 else "standard error"
        raise Failure(f"{name}: {error.strerror}") from None


def _discard(stream):
    """Points `stream`'s descriptor at the null device, so that the end of the run does not try
    again to write what failed."""
    with contextlib.suppress(OSError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)


def write_text(path, text, tree=None):
    """Writes `text` to the file `path` (see replacing), or to standard output for "-". A name
    that is not UTF-8 is written as the file system has it."""
    with replacing(path, tree) as f:
        f.write(text.encode("utf-8", errors="surrogateescape"))


def encodable(text, stream):
    """`text` as `stream` can write it, whatever its encoding: a character it cannot encode
    (a byte of a name that is not UTF-8, where it is strict) written as an escape."""
    encoding = getattr(stream, "encoding", None) or "utf-8"
    try:
        text.encode(encoding)
        return text
    except UnicodeEncodeError:
        return text.encode(encoding, "backslashreplace").decode(encoding)


def flush_output(text=""):
    """Writes `text` to standard output (see encodable) and flushes it: a failed write there (a
    full disk) is a Failure in one line, and what was not written is thrown away, so that the
    end of the run does not try again."""
    try:
        sys.stdout.write(encodable(text, sys.stdout))
        sys.stdout.flush()
    except OSError as error:
        _discard(sys.stdout)
        raise Failure(f"standard output: {error.strerror}") from None


def json_text(value):
    """`value` as indented JSON text, a line a value: a "#" before another is written \\u0023,
    as JSON allows, so that no line of it begins a command of Azure Pipelines (##vso[...])
    where it is shown in a CI log."""
    return re.sub("#(?=#)", r"\\u0023", json.dumps(value, indent=2)) + "\n"


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
