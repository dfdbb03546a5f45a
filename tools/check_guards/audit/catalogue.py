"""What check-guards knows of each cause of a re-entry and each shape of a header, kept together
as data, one entry each: how it is found (a cause), how the table and the diagnostics name it,
the fix they advise, its SARIF rule, whether the compiler processes the header's text again or
only scans it, whether it is entered again while still open (where --patch puts #pragma once),
and the fix --patch makes (a shape). Every other module reads it from here, and none tests a
cause by its name.

A cause is found from one re-entry (a Reentry): the causes are asked in their order here and
the first that finds the lines behind it is the cause; the last, unknown, always does. Where
counts tie, the cause first here is the one said.

One idea, kept whole though it is long (tests/layout_test.py allows it): the table of causes
and shapes, and the questions every other module asks of it (its words, advice, rule, kind), so
that a cause or a shape is added in this one place."""

import textwrap
from dataclasses import dataclass

from guardgen_common.markdown import code_span, shape_words
from guardgen_common.names import shown_path

from . import directives


@dataclass
class Reentry:
    """One header entered again in a unit: what the causes are found from, as the listing stands
    when it is entered again (its lists are the walker's own, read at once, not kept)."""

    path: str
    parent: str  # the file whose #include entered it again
    stack: list  # the files open when it was entered again, the unit's first
    order: list  # the files the unit entered so far, in order,
    since: int  # and where in it this header was first entered
    shape: str  # its shape (see SHAPES), and its guard's macro
    macro: str
    again: tuple  # (path, line, text) of the #include that entered it again, or None
    readable: tuple = None  # where the text of the files may be read
    frame: object = None  # its entry in the listing's tree (causes.Frame),
    first_frame: object = None  # and its first entry there
    undefs: object = None  # the #undefs of the files entered (directives.Undefs)

    @property
    def between(self):
        """The files entered since it was first entered, and those still open, each once."""
        return list(dict.fromkeys([*self.order[self.since + 1:], *self.stack]))

    def entering(self, routed=False):
        """The #include that entered it again: "back" where the header is still open there (the
        tree nests it in itself: a cycle), else "again"; with `routed`, with the route to it."""
        role = "back" if self.path in self.stack else "again"
        return Named(self.again, role, self.route(self.frame) if routed else ())

    def first(self):
        """The #include of the unit's first entry of the header, with the route to it."""
        chain = self.route(self.first_frame)
        found = chain[-1] if chain and chain[-1][1] is not None else None
        return Named(found, "first", chain)

    def route(self, frame):
        return tuple(directives.route(frame, self.readable)) if frame is not None else ()


@dataclass(frozen=True)
class Named:
    """A line named behind a re-entry, with what it is there as the listing's tree has it (see
    ROLES), and for a route of its own, the #include lines (path, line, text) from the unit down
    to it."""

    line: tuple  # (path, line, text), or None where it is not found in the text
    role: str
    route: tuple = ()


# The lines named for one header, at the most.
INCLUDES = 10


# What a line named is, in the diagnostics and SARIF.
ROLES = {
    "first": "first reached here",  # the unit's first entry of the header
    "again": "included again here",  # an entry after the first, the header closed there
    "back": "included back here, while it is still open",  # an entry inside its own entry
    "undef": "its guard's macro is #undef'd here",
}


@dataclass(frozen=True)
class Cause:
    name: str
    finds: object  # (Reentry) -> the lines behind it, or None where it is not the cause
    processed: bool  # whether the header's text is read again, or only scanned to its #endif
    explained: str  # the --help line
    advice: str = ""  # the table's fix; {first}, {later}, {undef} and {macro} are filled in
    later: str = "again"  # the role of the line {later} is (see ROLES),
    routed: bool = False  # and whether it is one that came by a route of its own
    rule: str = ""  # SARIF: what it is,
    help: str = ""  # and what to do
    # Whether the header is entered again while it is still open: then #pragma once is seen in
    # time only at its top (just below a new guard's #define), else just before its #endif.
    while_open: bool = False


@dataclass(frozen=True)
class Shape:
    name: str
    sound: bool  # whether it lets the compiler skip the header when it is included again
    advice: str  # the table's fix; {line} and {macro} are filled in
    rule: str  # SARIF: what it is,
    help: str  # and what to do
    fix: str = "new_guard"  # the fix --patch makes: new_guard, pragma_once, or None
    no_fix: str = "no line can be added that ends its re-entries"  # why, where it makes none


def _undefined(r):
    found = r.macro and (r.undefs.first(r.macro, r.since, r.stack) if r.undefs is not None
                         else directives.undef_of(r.macro, r.between, r.readable))
    return [r.entering(), Named(found, "undef")] if found else None


def _other_name(r):
    # Another route where the compiler looked the header up another way the first time (from
    # another directory, or by another name): each #include with the route that led to it.
    first = r.first()
    # Two lookups are told apart only where both lines are known.
    looked = directives.lookup(first.line), directives.lookup(r.again)
    if first.line == r.again or None in looked or looked[0] == looked[1]:
        return None
    return [first, r.entering(routed=True)]


REPLACE = "wrap the whole header in a new guard with #pragma once (as --patch does); "
SHAPES = {s.name: s for s in [
    Shape("guard", True, "the guard is sound, yet the compiler entered the header again: "
          "{macro} was #undef'd between the includes, or this is a limit of the compiler",
          "A soundly guarded header entered again.", "See the #include lines named.",
          fix="pragma_once"),
    Shape("pragma_once", True, "#pragma once is there, yet the compiler entered the header "
          "again: it was reached as another file (a copy, a link), or this is a limit of the "
          "compiler", "A header with #pragma once entered again: reached as another file.",
          "Reach it as one file.", fix=None, no_fix="it has #pragma once already"),
    Shape("no_guard", False, "wrap the header in #ifndef X / #define X ... #endif, or add "
          "#pragma once", "A header without an include guard.",
          "Wrap it in #ifndef X / #define X ... #endif, or add #pragma once."),
    Shape("before_guard", False, REPLACE + "moving line {line} inside the guard (below #define "
          "{macro}) is safe only where no setting of the build changes what it does",
          "A header with a line before its guard, read on every include.",
          "Wrap the whole header in a new guard with #pragma once; moving the line inside the "
          "guard is safe only where no setting of the build changes it."),
    Shape("after_guard", False, REPLACE + "moving line {line} above the guard's #endif is safe "
          "only where no setting of the build changes what it does",
          "A header with a line after its guard's #endif, read on every include.",
          "Wrap the whole header in a new guard with #pragma once; moving the line above the "
          "#endif is safe only where no setting of the build changes it."),
    Shape("else_branch", False, "drop the #else/#elif at line {line}: a guard with a branch is "
          "read every time", "A guard with an #else or #elif of its own, read on every include.",
          "Drop the #else or #elif."),
    Shape("not_a_guard_form", False, "guard with #ifndef X / #define X instead of line {line}: "
          "only that form (or #if !defined(X)) lets the header be skipped",
          "A header wrapped in a condition that no compiler takes for a guard.",
          "Guard it with #ifndef X / #define X."),
    Shape("guard_not_defined", False, "add #define {macro} after line {line}",
          "A guard whose #ifndef X has no #define X.", "Add the #define."),
    Shape("conditional_guard", False, "no fix: its guard's #define {macro} at line {line} stands "
          "in a condition of its own (the __need_ pattern), so the header is read again, as "
          "meant, until an include reaches it; a guard or #pragma once would end that",
          "A guard whose #define stands in a condition of its own: read again, as meant, until "
          "an include defines it.", "None needed: it is read again on purpose.", fix=None,
          no_fix="it is read again on purpose: its guard's #define stands in a condition of "
                 "its own"),
    Shape("sections", False, "no fix: the section at line {line}, outside the guard, is read "
          "under a macro that a unit may set before it includes the header again, as meant; a "
          "guard or #pragma once around the whole file would hide it from that include",
          "A header with a section outside its guard, read under a macro a unit may set "
          "between two includes: read again on purpose.",
          "None needed: it is read again on purpose; keep the section outside the guard.",
          fix=None, no_fix="it is read again on purpose: a section outside its guard is read "
                           "under a macro a unit may set between two includes"),
    Shape("settings", False, "it holds settings' defaults ({macro} among them, which the build "
          "may set from outside), not a guard: --patch wraps the whole header in a new guard "
          "with #pragma once, which keeps every default as it is",
          "A header of settings' defaults (#ifndef X / #define X value / #endif), read on "
          "every include: no guard of its own.",
          "Wrap the whole header in a new guard with #pragma once, as --patch does: every "
          "default stays as it is."),
    Shape("unreadable", False, "the header could not be read now",
          "A header entered again that could not be read now.", "Check the file.", fix=None),
]}
# "unreadable" is check-guards' own: the shape reader never says it.
READ_SHAPES = tuple(name for name in SHAPES if name != "unreadable")


CAUSES = {c.name: c for c in [
    Cause("cycle", lambda r: [r.entering()] if r.path in r.stack else None, False,
          "entered again while still open: a header it includes includes it back",
          "it is entered again while still open: a header it includes includes it back "
          "({later}); drop that #include, or add #pragma once at its top",
          rule="A header entered again while it is still open: a header it includes includes "
               "it back.",
          help="Drop the #include that closes the cycle, or add #pragma once at the top of the "
               "header.", later="back", while_open=True),
    Cause("shape", lambda r: None if sound(r.shape) else [r.entering()], True,
          ", ".join(READ_SHAPES) + ": the line that decides it",
          help="The fix its shape advises."),
    Cause("macro_undefined", _undefined, True,
          "its guard's macro #undef'd in a file entered in between",
          "{macro} is #undef'd at {undef} between the includes: --patch adds #pragma once just "
          "before the guard's #endif, so that it is not read again (or drop that #undef, if it "
          "is not meant)",
          rule="A header whose guard's macro is #undef'd between two includes of it.",
          help="Add #pragma once just before the guard's #endif, or drop the #undef if it is not "
               "meant."),
    Cause("other_name", _other_name, False,
          "entered again by another route, its guard sound (gcc keeps a guard per directory it "
          "found the header in)",
          "gcc met it again by another route ({first}, then {later}) and keeps what it knows of "
          "a guard per route: add #pragma once just before the guard's #endif, or include it so "
          "that it is found in one directory", routed=True,
          rule="A guarded header entered again by another route: gcc keeps what it knows of a "
               "guard per directory it found the header in.",
          help="Add #pragma once just before the guard's #endif, or include the header so that "
               "it is found in one directory."),
    Cause("unknown", lambda r: [r.entering()], False, "none of these",
          "the compiler entered it again, and no cycle, other route or #undef was found "
          "({later}): --patch adds #pragma once just before the guard's #endif",
          rule="A header entered again for a reason not found: no cycle, other route or #undef.",
          help="Look at the #include lines named."),
]}

def sound(shape):
    """Whether a header of the shape `shape` (None: not read) can be skipped when it is included
    again."""
    return shape in SHAPES and SHAPES[shape].sound


def find_cause(reentry):
    """(cause, lines behind it) of one re-entry: the first cause that finds it."""
    for cause in CAUSES.values():
        lines = cause.finds(reentry)
        if lines is not None:
            return cause.name, lines
    raise AssertionError("the last cause finds every re-entry")


def entered_while_open(header):
    """Whether a re-entry of a header's record (one of its causes) came while it was still open,
    so that its #pragma once must stand at its top."""
    named = [*(header.get("causes") or {}), header.get("cause")]
    return any(c in CAUSES and CAUSES[c].while_open for c in named)


def kind(cause):
    """How a header entered again for `cause` is read: its text processed again, or only opened
    and scanned to the guard's #endif."""
    return None if cause is None else ("processed" if CAUSES[cause].processed else "scanned")


def kind_of(cause, shape):
    """How a header is read again: by its cause, else (no re-entry explained) by its shape."""
    if cause is None and shape:
        cause = "unknown" if sound(shape) else "shape"
    return kind(cause)


def rule_id(header):
    """The rule of a header's record: its cause, or its shape where the shape is the cause."""
    cause = header.get("cause")
    return header["shape"] if cause in (None, "shape") else cause


def rule(rule_id):
    """(what it is, what to do) of a SARIF rule."""
    entry = CAUSES.get(rule_id) or SHAPES.get(rule_id)
    return (entry.rule, entry.help) if entry else (rule_id, "")


def said(header, code=code_span):
    """A header's cause in words, with the shape and its deciding line (as `code` puts it)
    where the shape is the cause."""
    if header.get("cause") in CAUSES and header["cause"] != "shape":
        return header["cause"]
    return shape_words(header["shape"], header["line"], header["text"], code)


def _where(include, top):
    if include is None:
        return "?"
    line = include.get("line")
    return shown_path(include["path"], top) + (f":{line}" if line is not None else "")


def role_of(include):
    """What a line of a record is (see ROLES): as the record says, else (a record without the
    roles) an #undef, or None."""
    if include.get("role"):
        return include["role"]
    # A record of an earlier check-guards: its #undef lines are told by their text.
    return "undef" if include["text"].lstrip("# \t").startswith("undef") else None


def _named(lines, role, routed=False):
    """The first of `lines` of the `role` (with `routed`, one with a route where there is one);
    in a record without roles, the first #include."""
    found = next((i for i in lines if role_of(i) == role and i.get("route")), None) \
        if routed else None
    found = found or next((i for i in lines if role_of(i) == role), None)
    if found is None and not any(i.get("role") for i in lines):
        found = next((i for i in lines if role_of(i) != "undef"), None)
    return found


def advice(header, top="/"):
    """The fix of a header's record in words, its lines' paths relative to `top`."""
    cause = CAUSES.get(header.get("cause"))
    macro = header.get("macro") or "X"
    if cause and cause.advice:
        lines = header.get("includes") or []
        words = cause.advice.format(first=_where(_named(lines, "first"), top),
                                    later=_where(_named(lines, cause.later, cause.routed), top),
                                    undef=_where(_named(lines, "undef"), top), macro=macro)
    else:
        shape = SHAPES.get(header["shape"])
        words = shape.advice.format(line=header["line"], macro=macro) if shape else ""
    if header.get("setting") and header["shape"] in SHAPES \
            and SHAPES[header["shape"]].fix is not None:
        # What the patch does: a guard of the header's own, whatever the cause.
        words = SHAPES["settings"].advice.format(macro=header["setting"])
    if header.get("withdrawn"):
        words = f"no fix: --patch withdrew it, as {header['withdrawn']}"
    return words


def roles(header, top="/"):
    """(line, what it is) of each line named behind a header's re-entries, its route's paths
    relative to `top`: where a line has a route, it came by another route than the first."""
    out = []
    for include in header.get("includes") or []:
        role = role_of(include)
        words = ROLES.get(role, "named behind its re-entries")
        route = include.get("route") or []
        if role == "again" and route:
            words += ", by another route"
        if len(route) > 1:
            words += " (" + " > ".join(_where(step, top) for step in route) + ")"
        out.append((include, words))
    return out


def title(cause):
    """A cause as --help and the docs list it: a shape as such, the others by their name."""
    return "a shape" if cause.name == "shape" else cause.name


def explained():
    """The causes as --help lists them, one a line (or two)."""
    out = []
    for cause in CAUSES.values():
        name = title(cause)
        first, *rest = textwrap.wrap(cause.explained, 75)
        out += [f"  {name:<19}{first}", *(" " * 21 + line for line in rest)]
    return "\n".join(out)
