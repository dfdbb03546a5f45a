"""Why a unit entered a header again, from the listing's tree (which header was open when it was
entered again, and which were entered in between) and from the text of the files involved. The
causes, and how each is found, are the catalogue's: each comes with the lines behind it (the
#include that entered it again, for other_name the first route's too, and the #undef)."""

from . import catalogue
from .directives import include_line


def explain(source, walked, shape_of, readable=None):
    """(header, cause, lines) for each re-entry in one unit whose file is `source`: `walked` is
    its listing as (depth, path), `shape_of(path)` gives a header's (reason, macro); the text of
    the files is read only inside `readable`."""
    stack, first, order, found, times = [source], {}, [], [], {}
    for depth, path in walked:
        del stack[depth:]
        parent = stack[-1]
        # How many times this parent has included this header before: which #include it is.
        occurrence = times[parent, path] = times.get((parent, path), -1) + 1
        if path in first:
            first_parent, since = first[path]
            reentry = catalogue.Reentry(
                path, parent, stack, first_parent, order, since, *shape_of(path),
                include_line(parent, path, occurrence, readable), readable)
            found.append((path, *catalogue.find_cause(reentry)))
        else:
            first[path] = (parent, len(order))
        order.append(path)
        stack.append(path)
    return found
