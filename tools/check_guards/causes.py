"""Why a unit entered a header again, from the listing's tree (which header was open when it was
entered again, and which were entered in between) and from the text of the files involved. The
causes, and how each is found, are the catalogue's: each comes with the lines behind it (the
#include that entered it again, for other_name the first route's too, and the #undef), each
with what it is as the tree has it."""

from . import catalogue
from .directives import include_line


class Frame:
    """One entry of a file in the listing's tree: the entry that included it (`up`), which
    #include of its parent's naming it this was, and how many times this entry has included
    each header so far. A chain of frames is the route from the unit to an entry."""

    __slots__ = ("path", "occurrence", "up", "times")

    def __init__(self, path, occurrence=0, up=None):
        self.path, self.occurrence, self.up, self.times = path, occurrence, up, {}


def explain(source, walked, shape_of, readable=None):
    """(header, cause, lines) for each re-entry in one unit whose file is `source`: `walked` is
    its listing as (depth, path), `shape_of(path)` gives a header's (reason, macro); the text of
    the files is read only inside `readable`. The lines are catalogue.Named."""
    stack, first, order, found = [Frame(source)], {}, [], []
    for depth, path in walked:
        del stack[depth:]
        parent = stack[-1]
        # Which #include of this entry of the parent's it is: the n-th naming this header.
        occurrence = parent.times[path] = parent.times.get(path, -1) + 1
        frame = Frame(path, occurrence, parent)
        if path in first:
            first_frame, since = first[path]
            reentry = catalogue.Reentry(
                path, parent.path, [f.path for f in stack], first_frame.up.path, order, since,
                *shape_of(path), include_line(parent.path, path, occurrence, readable), readable,
                frame, first_frame)
            found.append((path, *catalogue.find_cause(reentry)))
        else:
            first[path] = (frame, len(order))
        order.append(path)
        stack.append(frame)
    return found
