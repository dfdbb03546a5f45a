"""Reading the files that a build names, which may be hostile: only regular files, by their real
path, opened without following a link in the last step and without waiting on a FIFO or a
device, and never more than a bounded size; where `roots` is given, only a file whose real path
lies inside one of those directories. What /proc, /sys and /dev hold is the machine's state,
never a source, and is never read."""

import errno
import functools
import os
import stat

# A header's text, a response file, at the most.
LIMIT = 16 << 20
KERNEL = ("/proc", "/sys", "/dev")
FLAGS = (os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0)
         | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))


# A path's real path, asked again and again for the same headers in one run, so kept. What it
# leads to is looked at again, without following a link, when it is opened.
real_path = functools.lru_cache(maxsize=65536)(os.path.realpath)


def under(path, directories):
    """Whether `path` is one of `directories` or lies below one."""
    return any(path == d or path.startswith(d.rstrip(os.sep) + os.sep) for d in directories)


def outermost(paths):
    """`paths` without those that lie inside another of them, in order."""
    kept = []
    for path in sorted(set(paths), key=len):
        if not under(path, kept):
            kept.append(path)
    return sorted(kept)


def _refusal(real, info, roots):
    """Why the file at the real path `real` (its stat `info`) is not read, or None."""
    if not stat.S_ISREG(info.st_mode) or (os.name != "nt" and under(real, KERNEL)):
        return "not a regular file"
    if roots is not None and not under(real, roots):
        return "outside the tree"
    return None


def regular(path, roots=None):
    """The real path of `path` where it is a regular file (inside `roots` where given), else
    None."""
    try:
        real = real_path(path)
        return None if _refusal(real, os.stat(real), roots) else real
    except (OSError, ValueError):
        return None


def executable(path):
    """Whether `path` is a regular file (see regular) that may be run."""
    return regular(path) is not None and os.access(path, os.X_OK)


def open_regular(path, roots=None, limit=LIMIT):
    """The file at `path` opened to read (binary), where it is a regular file of at most `limit`
    bytes (inside `roots` where given); else an OSError that says why. It is looked at before it
    is opened, as opening some devices does something, and again once open."""
    try:
        real = real_path(path)
        refusal = _refusal(real, os.stat(real), roots)
    except ValueError:  # a NUL in the name
        raise OSError(errno.EINVAL, "not a name a file can have", path) from None
    if refusal:
        raise OSError(errno.EINVAL, refusal, path)
    descriptor = os.open(real, FLAGS)
    try:
        info = os.fstat(descriptor)
        refusal = _refusal(real, info, roots)
        if refusal:
            raise OSError(errno.EINVAL, refusal, path)
        if limit is not None and info.st_size > limit:
            raise OSError(errno.EFBIG, f"larger than {limit_text(limit)}", path)
    except BaseException:
        os.close(descriptor)
        raise
    return os.fdopen(descriptor, "rb")


def read_at_most(f, limit):
    """What the open file `f` holds from where it stands: `limit` bytes and one more at the most
    (all of it where `limit` is None). Its size is asked first: a read of `limit` bytes takes
    that much memory before it reads any, a tenth of a millisecond and more for each file."""
    if limit is None:
        return f.read()
    wanted = max(1, min(os.fstat(f.fileno()).st_size - f.tell() + 1, limit + 1))
    data = f.read(wanted)
    if len(data) == wanted <= limit:
        data += f.read(limit + 1 - wanted)  # it has grown since
    return data


def read_bytes(path, roots=None, limit=LIMIT):
    """The bytes of the file at `path` (see open_regular), or None where it is not read."""
    try:
        with open_regular(path, roots, limit) as f:
            return read_at_most(f, limit)[:limit]
    except OSError:
        return None


def read_text(path, roots=None, limit=LIMIT):
    """The text of the file at `path` (see open_regular), or None where it is not read."""
    data = read_bytes(path, roots, limit)
    return None if data is None else data.decode("utf-8", errors="replace")


def limit_text(limit):
    return f"{limit >> 20} MiB" if limit >= 1 << 20 else f"{limit} bytes"
