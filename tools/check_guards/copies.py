"""The scratch copies the proof runs on: only regular files of the tree and of the system's
directories that the listing named, each read as files.open_regular reads it (no link
followed in the last step, no FIFO or device waited on, at most a bounded size), and never the
compiler itself. A file that is not copied is not there in the scratch tree: a unit that needs
it fails there, and the proof says so."""

import os

from guardgen_common import files

# A file of a build's, copied for the proof, at the most.
LIMIT = 64 << 20


def copy_into(tree, paths, roots, compiler=None):
    """Copies each of `paths` (absolute) to the same path below `tree`, where it is a regular
    file inside `roots` and not `compiler`'s program; returns those not copied."""
    program = os.path.realpath(compiler) if compiler else None
    left = []
    for path in sorted(paths):
        target = tree + path
        if os.path.lexists(target):
            continue
        real = files.regular(path, roots)
        if real is None or real == program:
            left.append(path)
            continue
        try:
            with files.open_regular(path, roots, LIMIT) as source:
                os.makedirs(os.path.dirname(target), exist_ok=True)
                descriptor = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL
                                     | getattr(os, "O_NOFOLLOW", 0), 0o600)
                with os.fdopen(descriptor, "wb") as copy:
                    copy.write(source.read(LIMIT))
                # The same time as the file's: __TIMESTAMP__ says it.
                info = os.fstat(source.fileno())
                os.utime(target, ns=(info.st_atime_ns, info.st_mtime_ns))
        except OSError:
            left.append(path)
    return left
