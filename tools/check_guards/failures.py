"""The units that failed, said on standard error: each in one line, or, where most of a run's
units failed for one reason (a database made on another machine, paths outside the tree, a
compiler or a header not found), that reason once for all of them."""

import os
import re

from guardgen_common.outputs import plural

from . import say


def failure(unit, status, message):
    """What the record says of a unit that failed: its file, its entry in the database (which
    orders the failures, whatever order the units end in), its status and message."""
    return {"file": unit.path, "entry": unit.entry, "status": status, "message": message}


# The reasons that many units fail for at once, from each one's message: a database made on
# another machine (its paths are not here, or the unit's own file is not found by its compiler,
# or its compiler is not), or a header the units include that is not there (one the build
# makes, not made yet), or paths outside the tree (an out-of-source build's sources not given).
PATHS = ("paths", "the database's paths do not exist here ({}, for one): was it made on another "
         "machine?")
OUTSIDE = ("tree", "their files lie outside the tree ({}): give --tree with the directory that "
           "holds the sources")
COMMON = [
    (re.compile(r"(?:its .+ lies outside the tree|a response file outside the tree): refused"),
     OUTSIDE),
    (re.compile(r"its directory (?P<path>.+) does not exist"), PATHS),
    (re.compile(r"(?P<own>.+) does not exist"), PATHS),
    (re.compile(r"its compiler '(?P<path>.+)' is not found on the PATH"),
     ("compiler", "their compiler '{}' is not found on the PATH (--compiler names one to use "
      "instead)")),
    (re.compile(r"its compiler '(?P<path>.+)' is no program that can be run"),
     ("compiler", "their compiler '{}' is no program that can be run here (--compiler names one "
      "to use instead)")),
    (re.compile(r".*\berror: '?(?P<path>.+?)'?(?:: No such file or directory| file not found)"),
     ("header", "a header they include is not found: {} (one the build makes? build it first)")),
]


def common_reason(failure, tree=()):
    """(what the units that failed as `failure` did share, the words that say it): a reason of
    COMMON, else its status and message as they are. Where the file named is the unit's own,
    the unit's path is said; for paths outside the tree, the tree (`tree`, the user's), never
    the path the unit named."""
    status, message = failure["status"], failure["message"]
    for pattern, (kind, words) in COMMON:
        match = pattern.fullmatch(message)
        if not match:
            continue
        if kind == "tree":
            if status != "refused":
                continue
            return (status, kind, ""), words.format(", ".join(tree))
        named = match[1]
        if "own" in match.groupdict() or (
                kind == "header" and os.path.basename(named) ==
                os.path.basename(failure["file"])):
            (kind, words), named = PATHS, failure["file"]
        return (status, kind, "" if kind == "paths" else named), words.format(named)
    return (status, message), message or "no message"


def say_failed(failed, total, database, tree=()):
    """Says each of `failed` ({file, status, message}) in one line; where most of the `total`
    units failed for one reason, that reason once, for all of them (`tree`: the tree's
    directories, for the reason that their paths lie outside it)."""
    groups = {}
    for failure in failed:
        key, words = common_reason(failure, tree)
        groups.setdefault(key, (words, []))[1].append(failure)
    for (status, *_), (words, members) in groups.items():
        if len(members) > 1 and 2 * len(members) > total:
            how = {"refused": "refused", "unclear": "unclear"}.get(status, f"failed ({status})")
            say(f"{database}: {len(members)} of {plural(total, 'unit')} {how}: {words}")
            continue
        for f in members:
            say(f"{f['file']}: unclear: {f['message']}" if f["status"] == "unclear" else
                f"{f['file']}: {f['message']}" if f["status"] == "refused" else
                f"{f['file']}: failed ({f['status']}): {f['message'] or 'no message'}")
