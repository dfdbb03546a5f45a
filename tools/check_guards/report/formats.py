"""The findings where users already read them: compiler-style lines, which every editor and CI
log turns into links, and SARIF 2.1.0, which code-scanning services and editors read. One
finding per header of the build's own entered again, at the line that decides it, with the
#include lines behind it, and, where --patch proved it, its fix."""

import os
from pathlib import Path
from urllib.parse import quote

from guardgen_common import VERSION
from guardgen_common.names import line_start, printable, shown_path
from guardgen_common.outputs import plural

from ..audit import catalogue
from .. import record


def findings(summary, headers=None):
    """The headers to report: the build's own entered again (or `headers`, the baseline's new
    ones)."""
    return record.own_again(summary["headers"] if headers is None else headers)


def shown(path):
    """A path as a compiler shows it: relative to the current directory where it lies below it."""
    return shown_path(path, os.getcwd())


def message(header):
    return (f"{shown(header['path'])} is entered again {plural(header['reentries'], 'time')} in "
            f"{plural(header['units'], 'unit')} ({catalogue.said(header)}): "
            f"{catalogue.advice(header, os.getcwd())}")


def diagnostics(summary, headers=None):
    """gcc-style lines: a warning per header, then a note per line behind it. Each begins with
    a path of the tree's, which is never let begin a command of a CI service."""
    lines = []
    for h in findings(summary, headers):
        lines.append(f"{line_start(shown(h['path']))}:{h['line'] or 1}:1: warning: "
                     f"{printable(message(h))} [check-guards-{printable(catalogue.rule_id(h))}]")
        for include, role in catalogue.roles(h, os.getcwd()):
            lines.append(f"{line_start(shown(include['path']))}:{include['line']}:1: note: "
                         f"{printable(role)}: {printable(include['text'])}")
    return "".join(line + "\n" for line in lines)


def location(path, line, root):
    """A SARIF physicalLocation: relative to %SRCROOT% (where the tool runs) where it lies below
    it, else a file URI; either with its bytes percent-encoded where a URI may not hold them (a
    # would begin its fragment)."""
    relative = shown_path(path, root)
    if os.path.isabs(relative):
        artifact = {"uri": Path(path).as_uri()}
    else:
        artifact = {"uri": quote(os.fsencode(Path(relative).as_posix())),
                    "uriBaseId": "%SRCROOT%"}
    return {"artifactLocation": artifact, "region": {"startLine": line or 1}}


def replacements(before, after):
    """SARIF replacements that turn the text `before` into `after`, by character offsets in
    `before`."""
    import difflib  # loaded here: only SARIF of a proven patch needs it

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
    after the proven fix. Its messages are shown as the diagnostics show them (see printable);
    its locations and fixes are the files' own."""
    root = os.getcwd()
    chosen = findings(summary, headers)
    ids = sorted({catalogue.rule_id(h) for h in chosen})
    rules = [{"id": i, "shortDescription": {"text": catalogue.rule(i)[0]},
              "help": {"text": catalogue.rule(i)[1]},
              "defaultConfiguration": {"level": "warning"}} for i in ids]
    results = []
    for h in chosen:
        result = {
            "ruleId": catalogue.rule_id(h),
            "ruleIndex": ids.index(catalogue.rule_id(h)),
            "level": "warning",
            "message": {"text": printable(message(h))},
            "locations": [{"physicalLocation": location(h["path"], h["line"], root)}],
        }
        related = [{"id": k, "physicalLocation": location(i["path"], i["line"], root),
                    "message": {"text": printable(f"{role}: {i['text']}")}}
                   for k, (i, role) in enumerate(catalogue.roles(h, root))]
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
