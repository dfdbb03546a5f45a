"""The findings where users already read them: compiler-style lines, which every editor and CI
log turns into links, and SARIF 2.1.0, which code-scanning services and editors read. One
finding per header of the build's own entered again, at the line that decides it, with the
#include lines behind it, and, where --patch proved it, its fix."""

import difflib
import os
from pathlib import Path

from guardgen_common import VERSION
from guardgen_common.names import printable
from guardgen_common.outputs import plural

from . import report

# One rule per cause, and per shape where the shape is the cause: (what it is, the fix).
RULES = {
    "cycle": ("A header entered again while it is still open: a header it includes includes it "
              "back.", "Drop the #include that closes the cycle, or add #pragma once at the top of "
              "the header."),
    "other_name": ("A guarded header entered again by another route: gcc keeps what it knows of a "
                   "guard per directory it found the header in.", "Add #pragma once just before "
                   "the guard's #endif, or include the header so that it is found in one "
                   "directory."),
    "macro_undefined": ("A header whose guard's macro is #undef'd between two includes of it.",
                        "Drop the #undef, if it is not meant."),
    "unknown": ("A header entered again for a reason not found: no cycle, other route or #undef.",
                "Look at the #include lines named."),
    "no_guard": ("A header without an include guard.", "Wrap it in #ifndef X / #define X ... "
                 "#endif, or add #pragma once."),
    "before_guard": ("A header with a line before its guard, read on every include.",
                     "Wrap the whole header in a new guard with #pragma once; moving the line "
                     "inside the guard is safe only where no setting of the build changes it."),
    "after_guard": ("A header with a line after its guard's #endif, read on every include.",
                    "Wrap the whole header in a new guard with #pragma once; moving the line "
                    "above the #endif is safe only where no setting of the build changes it."),
    "else_branch": ("A guard with an #else or #elif of its own, read on every include.",
                    "Drop the #else or #elif."),
    "not_a_guard_form": ("A header wrapped in a condition that no compiler takes for a guard.",
                         "Guard it with #ifndef X / #define X."),
    "guard_not_defined": ("A guard whose #ifndef X has no #define X.", "Add the #define."),
    "guard": ("A soundly guarded header entered again.", "See the #include lines named."),
    "pragma_once": ("A header with #pragma once entered again: reached as another file.",
                    "Reach it as one file."),
    "unreadable": ("A header entered again that could not be read now.", "Check the file."),
}


def rule_id(header):
    cause = header.get("cause")
    return header["reason"] if cause in (None, "shape") else cause


def findings(summary, headers=None):
    """The headers to report: the build's own entered again (or `headers`, the baseline's new
    ones)."""
    return report.own_again(summary["headers"] if headers is None else headers)


def shown(path):
    """A path as a compiler shows it: relative to the current directory where it lies below it."""
    relative = os.path.relpath(path)
    return path if relative.startswith(os.pardir) else relative


def message(header, top):
    cause = report.said_cause(header)
    return (f"{shown(header['path'])} is entered again {plural(header['reentries'], 'time')} in "
            f"{plural(header['units'], 'unit')} ({cause}): {report.fix(header, os.getcwd())}")


def roles(header):
    """(include, what it is) of each line behind a header's re-entries."""
    out = []
    for k, include in enumerate(header.get("includes") or []):
        text = include["text"].lstrip("# \t")
        if text.startswith("undef"):
            role = "its guard's macro is #undef'd here"
        elif header.get("cause") == "other_name" and k == 0:
            role = "first reached here"
        elif header.get("cause") == "cycle":
            role = "included back here, while it is still open"
        else:
            role = "included again here"
        out.append((include, role))
    return out


def diagnostics(summary, headers=None):
    """gcc-style lines: a warning per header, then a note per line behind it."""
    top = summary["directory"]
    lines = []
    for h in findings(summary, headers):
        lines.append(f"{printable(shown(h['path']))}:{h['line'] or 1}:1: warning: "
                     f"{printable(message(h, top))} [check-guards-{printable(rule_id(h))}]")
        for include, role in roles(h):
            lines.append(f"{printable(shown(include['path']))}:{include['line']}:1: note: {role}: "
                         f"{printable(include['text'])}")
    return "".join(line + "\n" for line in lines)


def location(path, line, root):
    """A SARIF physicalLocation: relative to %SRCROOT% (where the tool runs) where it lies below
    it, else a file URI."""
    relative = os.path.relpath(path, root)
    if relative.startswith(os.pardir):
        artifact = {"uri": Path(path).as_uri()}
    else:
        artifact = {"uri": Path(relative).as_posix(), "uriBaseId": "%SRCROOT%"}
    return {"artifactLocation": artifact, "region": {"startLine": line or 1}}


def replacements(before, after):
    """SARIF replacements that turn the text `before` into `after`, by character offsets in
    `before`."""
    old, new = before.splitlines(keepends=True), after.splitlines(keepends=True)
    offsets = [0]
    for row in old:
        offsets.append(offsets[-1] + len(row))
    out = []
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, old, new,
                                                       autojunk=False).get_opcodes():
        if tag != "equal":
            out.append({"deletedRegion": {"charOffset": offsets[i1],
                                          "charLength": offsets[i2] - offsets[i1]},
                        "insertedContent": {"text": "".join(new[j1:j2])}})
    return out


def sarif(summary, fixed=None, headers=None):
    """The SARIF 2.1.0 log of the findings; `fixed` maps a header's path to its text before and
    after the proven fix."""
    root = os.getcwd()
    top = summary["directory"]
    chosen = findings(summary, headers)
    ids = sorted({rule_id(h) for h in chosen})
    rules = [{"id": i, "shortDescription": {"text": RULES.get(i, (i, ""))[0]},
              "help": {"text": RULES.get(i, ("", ""))[1]},
              "defaultConfiguration": {"level": "warning"}} for i in ids]
    results = []
    for h in chosen:
        result = {
            "ruleId": rule_id(h),
            "ruleIndex": ids.index(rule_id(h)),
            "level": "warning",
            "message": {"text": message(h, top)},
            "locations": [{"physicalLocation": location(h["path"], h["line"], root)}],
        }
        related = [{"id": k, "physicalLocation": location(i["path"], i["line"], root),
                    "message": {"text": f"{role}: {i['text']}"}}
                   for k, (i, role) in enumerate(roles(h))]
        if related:
            result["relatedLocations"] = related
        if fixed and h["path"] in fixed:
            before, after = fixed[h["path"]]
            artifact = location(h["path"], None, root)["artifactLocation"]
            result["fixes"] = [{
                "description": {"text": "The fix that check-guards --patch proved: the same "
                                        "output, fewer re-entries."},
                "artifactChanges": [{"artifactLocation": artifact,
                                     "replacements": replacements(before, after)}],
            }]
        results.append(result)
    return {
        "$schema": "https://json.schemastore.org/sarif-2.1.0.json",
        "version": "2.1.0",
        "runs": [{
            "tool": {"driver": {"name": "check-guards", "version": VERSION, "rules": rules}},
            "originalUriBaseIds": {"%SRCROOT%": {"uri": Path(root).as_uri() + "/"}},
            "results": results,
        }],
    }
