"""Why a unit entered a header again, from the listing's tree (which header was open when it was
entered again, and which were entered in between) and from the text of the files involved. The
causes, and how each is found, are the catalogue's: each comes with the lines behind it (the
#include that entered it again, for other_name the first route's too, and the #undef), each
with what it is as the tree has it."""

from . import catalogue
from .directives import Undefs, placed


class Frame:
    """One entry of a file in the listing's tree: the entry that included it (`up`), which of
    its parent's entries it is, and the entries it made, in order, with the #include line of
    each once they are placed. A chain of frames is the route from the unit to an entry."""

    __slots__ = ("path", "up", "index", "children", "lines")

    def __init__(self, path, up=None):
        self.path, self.up, self.index, self.children, self.lines = path, up, 0, [], None
        if up is not None:
            self.index = len(up.children)
            up.children.append(self)

    def included_at(self, readable=None):
        """(path, line, text) of the #include in its parent that entered it, or None: placed
        with all the entries its parent's entry made (see directives.placed)."""
        up = self.up
        if up.lines is None:
            up.lines = placed(up.path, [c.path for c in up.children], readable)
        return up.lines[self.index]


def tree(source, walked):
    """The frame of each entry of `walked` ((depth, path) of a listing), in order, with the
    whole tree made first: an entry's #include is placed knowing all its siblings."""
    stack, frames = [Frame(source)], []
    for depth, path in walked:
        del stack[depth:]
        frame = Frame(path, stack[-1])
        frames.append(frame)
        stack.append(frame)
    return frames


def explain(source, walked, shape_of, readable=None):
    """(header, cause, lines) for each re-entry in one unit whose file is `source`: `walked` is
    its listing as (depth, path), `shape_of(path)` gives a header's (shape, macro); the text of
    the files is read only inside `readable`. The lines are catalogue.Named."""
    first, order, found, stack = {}, [], [], [source]
    undefs = Undefs(order, readable)
    for (depth, path), frame in zip(walked, tree(source, walked)):
        del stack[depth:]
        if path in first:
            first_frame, since = first[path]
            reentry = catalogue.Reentry(
                path, frame.up.path, stack, order, since, *shape_of(path),
                frame.included_at(readable), readable, frame, first_frame, undefs)
            found.append((path, *catalogue.find_cause(reentry)))
        else:
            first[path] = (frame, len(order))
        order.append(path)
        stack.append(path)
    return found
