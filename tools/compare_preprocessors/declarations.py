"""What a preprocessor's output declares, read as tokens: the declarations counted, the check
that it preprocesses guardgen's files at all, and the verdicts that the output alone tells
(#pragma once, the lifted guard)."""

import re

# Preprocessed output is read as tokens, whatever their spacing and however many stand on a line:
# its line markers ("# 1 "guard.h" 1", "#line 3 "guard.h"", "# 5", "#line 5") are passed over
# whole, comments (kept by -C) are space, and a string or character literal is one token, so
# that what they hold declares nothing. A declaration is the four tokens extern int NAME ;.
LINE_MARKER = re.compile(r"^[ \t]*#[ \t]*(?:line[ \t]+)?[0-9][^\n]*", re.MULTILINE)
SPACE = r"(?:\s|/\*.*?\*/|//[^\n]*)"
TOKENS = re.compile(
    r"\"(?:[^\"\\\n]|\\.)*\"|'(?:[^'\\\n]|\\.)*'|/\*.*?\*/|//[^\n]*"
    rf"|(?<![\w$])extern{SPACE}+int{SPACE}+(?P<name>[A-Za-z_]\w*){SPACE}*;",
    re.DOTALL,
)



# What the lifted guard's source declares between its two includes of guard.h, after the #undef.
LIFTED = "lifted"


def guard_undef_verdict(names):
    """guard.h, its guard lifted, then the declaration of LIFTED, then guard.h again, from the
    names the output declares (see declared): guard.h read again, as it must be, declares after
    the #undef ("re-read"); nothing there, where a preprocessor skipped it all the same
    ("skipped"); anything else, "unclear"."""
    if names.count(LIFTED) != 1:
        return "unclear"
    before, after = names[:names.index(LIFTED)], names[names.index(LIFTED) + 1:]
    if before != ["i"]:
        return "unclear"
    return {("i",): "re-read", (): "skipped"}.get(tuple(after), "unclear")


def pragma_once_verdict(declarations, largest):
    """From the output at the largest count: one declaration, "honoured"; one per include,
    "ignored"; with fewer than two includes, or anything else, "unclear"."""
    found = declarations["once"]
    if largest >= 2 and found == 1:
        return "honoured"
    if largest >= 2 and found == largest:
        return "ignored"
    return "unclear"


def declared(text):
    """The names that `text`, a preprocessor's output, declares as extern int NAME;, in order."""
    return [m["name"] for m in TOKENS.finditer(LINE_MARKER.sub("", text)) if m["name"]]


def count_declarations(text):
    """How many times `text` declares extern int i;."""
    return declared(text).count("i")


def output_problem(declarations, largest):
    """Why the output at the largest count is no preprocessing of guardgen's files, or None: the
    unguarded source must declare once per include, the guarded ones once. (style, found,
    expected) of the first style that does not."""
    for style, expected in (("ng", largest), ("eg", 1), ("ig", 1)):
        if declarations[style] != expected:
            return style, declarations[style], expected
    return None
