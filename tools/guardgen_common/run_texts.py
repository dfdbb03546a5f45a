"""The texts of a run's files, each read once (see read_once), and what is worked out from them
(a file's lines, directives and shape: see per_run) kept as long as the run keeps its texts."""

import contextlib
import functools

from . import files

# What is worked out from the texts (see per_run), forgotten with them.
_worked_out = []


def per_run(maxsize):
    """A function of the texts of a run cached, `maxsize` answers at the most, as long as the run
    that reads each file once (see read_once) keeps its texts: a file's lines, directives and
    shape worked out once."""
    def cached(function):
        function = functools.lru_cache(maxsize=maxsize)(function)
        _worked_out.append(function)
        return function
    return cached


# A header's text read for its shape, at the most: as much as any file of a build is read.
TEXT_LIMIT = files.LIMIT


# The texts read during a run that reads each file once (see read_once), by what was asked.
_texts = None


def read(path, roots=None, limit=TEXT_LIMIT):
    """The text of the header at `path` (at most `limit` bytes), or None where it is no regular
    file (inside `roots`, where given) that can be read: see files.read_text. Within read_once,
    read once, and the same text given again."""
    if _texts is None:
        return files.read_text(path, roots, limit)
    key = (path, None if roots is None else tuple(roots), limit)
    if key not in _texts:
        _texts[key] = files.read_text(path, roots, limit)
    return _texts[key]


@contextlib.contextmanager
def read_once():
    """A run in which each file is read once: the audit, the settings and the proof see the same
    text, and no file is read again."""
    global _texts
    _texts = {}
    for cache in _worked_out:
        cache.cache_clear()
    try:
        yield
    finally:
        _texts = None
        for cache in _worked_out:
            cache.cache_clear()
