"""The headers a compiler entered while it preprocessed a file, from its own listing: gcc and
clang with -H write one line to standard error for every header they enter, each time they
enter it, as dots (how deep it is included) and the path as they opened it:

    . include/config.h
    .. /usr/include/stdio.h

A header listed twice was read twice; one that a guard let the compiler skip is not listed
again."""

import os
import re
from collections import Counter

LISTED = re.compile(r"^\.+ (.+)$")


def entered(listing, directory):
    """How many times each header was entered (Counter of absolute paths with links resolved),
    from the standard error `listing` of a compiler that ran in `directory`."""
    counts = Counter()
    for line in listing.splitlines():
        match = LISTED.match(line)
        if match:
            counts[os.path.realpath(os.path.join(directory, match[1]))] += 1
    return counts


def messages(listing):
    """The lines of `listing` that are the compiler's own messages, not the headers it entered."""
    return [line.strip() for line in listing.splitlines()
            if line.strip() and not LISTED.match(line)]


def first_error(listing):
    """The message that says best why the compiler failed: the first that speaks of an error,
    else the first."""
    said = messages(listing)
    return next((line for line in said if "error" in line.lower()), said[0] if said else "")
