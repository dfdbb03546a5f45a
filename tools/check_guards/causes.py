"""Why a unit entered a header again, from the listing's tree (which header was open when it was
entered again, and which were entered in between) and from the text of the files involved. The
causes, and how each is found, are the catalogue's: each comes with the lines behind it (the
#include that entered it again, for other_name the first route's too, and the #undef), each
with what it is as the tree has it."""

from . import catalogue
from .directives import include_line


class Frame:
    """One entry of a file in the listing's tree: the entry that included it (`up`), which
    #include of its parent's entry naming it this was, and the entries it included, in order,
    with the #include lines found for them so far. A chain of frames is the route from the unit
    to an entry."""

    __slots__ = ("path", "occurrence", "up", "index", "times", "children", "lines", "after")

    def __init__(self, path, up=None):
        self.path, self.up, self.times, self.children, self.lines = path, up, {}, [], []
        self.occurrence, self.index, self.after = 0, 0, 0
        if up is not None:
            # The n-th of its parent's entry naming this header, and its place among them all.
            self.occurrence = up.times[path] = up.times.get(path, -1) + 1
            self.index = len(up.children)
            up.children.append(self)

    def included_at(self, readable=None):
        """(path, line, text) of the #include in its parent that entered it, or None: each of
        the parent's entries in turn, at an #include below the one of the entry before it where
        there is one (an #include in a branch not taken is passed over that way)."""
        up = self.up
        while len(up.lines) <= self.index:
            child = up.children[len(up.lines)]
            line = include_line(up.path, child.path, child.occurrence, readable, up.after)
            if line is not None:
                up.after = max(up.after, line[1])
            up.lines.append(line)
        return up.lines[self.index]


def explain(source, walked, shape_of, readable=None):
    """(header, cause, lines) for each re-entry in one unit whose file is `source`: `walked` is
    its listing as (depth, path), `shape_of(path)` gives a header's (reason, macro); the text of
    the files is read only inside `readable`. The lines are catalogue.Named."""
    stack, first, order, found = [Frame(source)], {}, [], []
    for depth, path in walked:
        del stack[depth:]
        parent = stack[-1]
        frame = Frame(path, parent)
        if path in first:
            first_frame, since = first[path]
            reentry = catalogue.Reentry(
                path, parent.path, [f.path for f in stack], first_frame.up.path, order, since,
                *shape_of(path), frame.included_at(readable), readable, frame, first_frame)
            found.append((path, *catalogue.find_cause(reentry)))
        else:
            first[path] = (frame, len(order))
        order.append(path)
        stack.append(frame)
    return found
