"""The scratch copies the proof runs on: the regular files of the tree and of the system's
directories that the listing named, and every regular file of each directory a unit searches
(its -I, -iquote, -isystem and the like, and the directory of each file it reads, where a quoted
name is looked for first), so that __has_include sees there what it sees in the tree; each read
as files.open_regular reads it (no link followed in the last step, no FIFO or device waited on,
at most a bounded size), and never the compiler itself. What is not copied is not there in the
scratch tree: a unit that needs it fails there, and the proof says so."""

import os

from guardgen_common import files

# A file of a build's, copied for the proof, at the most.
LIMIT = 64 << 20
# The files of the directories searched, copied into a scratch tree, at the most.
DIRECTORY_FILES = 10000
DIRECTORY_BYTES = 256 << 20
# The options (as the allowlist passes them, joined) whose value is a directory searched.
SEARCHED = ("-I", "-iquote", "-isystem", "-idirafter", "-cxx-isystem", "-iframework", "-F",
            "/I", "/external:I", "-imsvc")


def searched(unit):
    """The directories that `unit` (a readers.Unit) searches for a header, absolute: those its
    argv names and those of the files it reads."""
    found = [os.path.dirname(p) for p in unit.files]
    for word in unit.argv[1:]:
        option = next((o for o in SEARCHED if word.startswith(o) and len(word) > len(o)), None)
        if option:
            found.append(os.path.normpath(os.path.join(unit.directory, word[len(option):])))
    return list(dict.fromkeys(found))


def moved(unit):
    """The directories of `unit`'s that a scratch tree holds: those it searches that lie in its
    roots (the tree, the system's directories), the compiler's own aside, which stay where they
    are."""
    return [d for d in searched(unit) if os.path.isdir(d)
            and files.under(os.path.realpath(d), unit.roots or ())
            and not files.under(d, unit.defaults)]


def directory_files(directories):
    """The regular files in `directories` (their own, not those below them), or a str that
    says why not: more of them than DIRECTORY_FILES, or more bytes than DIRECTORY_BYTES."""
    out, size = [], 0
    for directory in directories:
        try:
            with os.scandir(directory) as listing:
                for entry in listing:
                    if not entry.is_file(follow_symlinks=False):
                        continue
                    out.append(entry.path)
                    size += entry.stat(follow_symlinks=False).st_size
                    if len(out) > DIRECTORY_FILES or size > DIRECTORY_BYTES:
                        return (f"more than {DIRECTORY_FILES} files or "
                                f"{DIRECTORY_BYTES >> 20} MiB")
        except OSError:
            continue  # not listed: of it only the files the listing named are copied
    return out


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
                    copy.write(files.read_at_most(source, LIMIT)[:LIMIT])
                # The same time as the file's: __TIMESTAMP__ says it.
                info = os.fstat(source.fileno())
                os.utime(target, ns=(info.st_atime_ns, info.st_mtime_ns))
        except OSError:
            left.append(path)
    return left
