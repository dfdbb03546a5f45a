"""The answer as a user reads it: a table of the headers the build enters again, those whose text
is processed again first (they are what can cost time), with the cause of their re-entries, the
lines behind it and the fix; the totals; and the JSON record of every header, which records of
parts of one build can be merged into. Bytes are called what they are, bytes scanned again: a
guarded header entered again is opened and scanned to its #endif, which is no measure of time."""

import os
import re
from collections import Counter

from guardgen_common.names import printable
from guardgen_common.outputs import readable_size
from guardgen_common.processes import Failure
from guardgen_common.shapes import GUARD_NAMES

from . import causes
from .audit import INCLUDES, includes

# A one-line fix for each shape; {line} and {macro} are filled in.
FIXES = {
    "no_guard": "wrap the header in #ifndef X / #define X ... #endif, or add #pragma once",
    "before_guard": "wrap the whole header in a new guard with #pragma once (as --patch does); "
                    "moving line {line} inside the guard (below #define {macro}) is safe only "
                    "where no setting of the build changes what it does",
    "after_guard": "wrap the whole header in a new guard with #pragma once (as --patch does); "
                   "moving line {line} above the guard's #endif is safe only where no setting "
                   "of the build changes what it does",
    "else_branch": "drop the #else/#elif at line {line}: a guard with a branch is read every time",
    "not_a_guard_form": "guard with #ifndef X / #define X instead of line {line}: only that form "
                        "(or #if !defined(X)) lets the header be skipped",
    "guard_not_defined": "add #define {macro} after line {line}",
    "guard": "the guard is sound, yet the compiler entered the header again: {macro} was "
             "#undef'd between the includes, or this is a limit of the compiler",
    "pragma_once": "#pragma once is there, yet the compiler entered the header again: it was "
                   "reached as another file (a copy, a link), or this is a limit of the compiler",
    "unreadable": "the header could not be read now",
}


# What a cause other than the shape says to do; {first} and {later} are the lines behind it.
CAUSE_FIXES = {
    "cycle": "it is entered again while still open: a header it includes includes it back "
             "({later}); drop that #include, or add #pragma once at its top",
    "other_name": "gcc met it again by another route ({first}, then {later}) and keeps what it "
                  "knows of a guard per route: add #pragma once just before the guard's #endif, or "
                  "include it so that it is found in one directory",
    "macro_undefined": "{macro} is #undef'd at {undef} between the includes: drop that #undef "
                       "if it is not meant",
    "unknown": "the compiler entered it again, and no cycle, other route or #undef was found "
               "({later})",
}
# A cause is named as the JSON record and the rule ids name it, in every output.
CAUSE_WORDS = {c: c for c in causes.CAUSES if c != "shape"}


def where(include, top):
    return f"{shown_path(include['path'], top)}:{include['line']}"


def fix(header, top="/"):
    advice = _fix(header, top)
    if header.get("setting"):
        advice += (f" ({header['setting']} may be set from outside, so --patch gives the header "
                   "a guard of its own)")
    return advice


def _fix(header, top):
    cause = header.get("cause")
    if cause in CAUSE_FIXES:
        lines = header.get("includes") or []
        undef = next((i for i in lines if i["text"].lstrip("# \t").startswith("undef")), None)
        named = [i for i in lines if i is not undef]
        return CAUSE_FIXES[cause].format(
            first=where(named[0], top) if named else "?",
            later=where(named[1] if len(named) > 1 and cause == "other_name" else named[0], top)
            if named else "?",
            undef=where(undef, top) if undef else "?", macro=header.get("macro") or "X")
    return FIXES.get(header["reason"], "").format(line=header["line"],
                                                  macro=header.get("macro") or "X")


def kind(cause):
    """How a header entered again for `cause` is read: its text processed again, or only opened
    and scanned to the guard's #endif."""
    return None if cause is None else ("processed" if cause in causes.PROCESSED else "scanned")


def shown_path(path, top):
    """`path` relative to the database's directory where it lies below it."""
    relative = os.path.relpath(path, top)
    return path if relative.startswith(os.pardir) else relative


def cell(text):
    """`text` in a cell of a Markdown table: a | in it would end the cell, a line break the row."""
    return printable(text).replace("|", "\\|")


def ordered(headers):
    """Those processed again first, most bytes first; then those only scanned, most re-entries
    first."""
    return sorted(headers, key=lambda h: (h.get("kind") != "processed", -h["bytes_reread"]
                                          if h.get("kind") == "processed" else -h["reentries"],
                                          -h["bytes_reread"], h["path"]))


def header_record(header):
    return {
        "path": header.path,
        "system": header.system,
        "size": header.size,
        "units": header.units,
        "entries": header.entries,
        "reentries": header.reentries,
        "bytes_reread": header.bytes_reread,
        "reason": header.reason,
        "line": header.line,
        "text": header.text,
        "macro": header.macro,
        "setting": header.setting,
        **cause_fields(header.causes, includes(header), header.reason),
    }


def cause_fields(counted, includes, reason):
    """The cause behind most re-entries (the first of CAUSES on a tie), the count of each, the
    lines behind them, and how the header is read again (where no cause is known, from its
    shape)."""
    cause = max(counted, key=lambda c: (counted[c], -causes.CAUSES.index(c))) if counted else None
    how = kind(cause or (reason and ("unknown" if reason in causes.SOUND else "shape")))
    return {"cause": cause, "causes": dict(counted), "includes": includes, "kind": how}


def totals(units, headers):
    read = sum(h["entries"] * h["size"] for h in headers)
    reread = sum(h["bytes_reread"] for h in headers)
    return {
        "reentries_processed": sum(h["reentries"] for h in headers
                                   if h.get("kind") == "processed"),
        "units": units,
        "headers": len(headers),
        "entries": sum(h["entries"] for h in headers),
        "reentries": sum(h["reentries"] for h in headers),
        "bytes_read": read,
        "bytes_reread": reread,
        "share_reread": round(reread / read, 4) if read else 0.0,
    }


def record(directory, compiler, units, failed, headers, skipped=None, shard=None):
    """The JSON record of a run (or of the shard "I/N" of one) on the database in `directory`:
    every header entered, and the units skipped, by reason."""
    listed = ordered(header_record(h) for h in headers.values())
    return {
        "directory": directory,
        "compiler": compiler,
        "shard": shard,
        "units": units,
        "failed": failed,
        "skipped": dict(skipped or {}),
        "totals": totals(units, listed),
        "headers": listed,
    }


# What a record holds, and of which types: a record that does not is refused, field by field,
# not half merged. Its paths are data: no file a record names is opened.
NOTHING = type(None)
RECORD_FIELDS = {"directory": str, "compiler": str, "units": int, "failed": list,
                 "headers": list}
HEADER_FIELDS = {"path": str, "system": bool, "size": int, "units": int, "entries": int,
                 "reentries": int, "bytes_reread": int, "reason": (str, NOTHING),
                 "line": (int, NOTHING), "text": str, "macro": (str, NOTHING)}
REASONS = (*GUARD_NAMES, "unreadable")
KINDS = ("processed", "scanned")
# A count beyond this is no build's: a number of thousands of digits is refused, not summed.
LARGEST = (1 << 63) - 1
SHARD = re.compile(r"[0-9]{1,9}/[0-9]{1,9}")


def _type_fault(value, kind):
    """What is wrong with `value` as a value of the type `kind`, or None."""
    if not isinstance(value, kind) or (isinstance(value, bool) and bool not in
                                       (kind if isinstance(kind, tuple) else (kind,))):
        names = [k.__name__ for k in (kind if isinstance(kind, tuple) else (kind,))]
        words = {"str": "text", "int": "a whole number", "bool": "true or false",
                 "NoneType": "null", "list": "a list", "dict": "an object"}
        return "not " + " or ".join(words.get(n, n) for n in names)
    if isinstance(value, int) and not isinstance(value, bool) and not 0 <= value <= LARGEST:
        return f"not a whole number from 0 to {LARGEST}"
    if isinstance(value, str) and "\0" in value:
        return "holds a NUL character"
    return None


def _fields(value, fields, where):
    if not isinstance(value, dict):
        return f"{where}: not an object"
    for key, kind in fields.items():
        if key not in value:
            return f"{where}.{key}: missing" if where else f"{key}: missing"
        fault = _type_fault(value[key], kind)
        if fault:
            return f"{where}.{key}: {fault}" if where else f"{key}: {fault}"
    return None


def _header_fault(h, where):
    fault = _fields(h, HEADER_FIELDS, where)
    if fault:
        return fault
    if h["reason"] is not None and h["reason"] not in REASONS:
        return f"{where}.reason: not a shape of check-guards"
    if h.get("cause") is not None and h.get("cause") not in causes.CAUSES:
        return f"{where}.cause: not a cause of check-guards"
    if h.get("kind") is not None and h.get("kind") not in KINDS:
        return f"{where}.kind: neither processed nor scanned"
    if not isinstance(h.get("setting"), (str, NOTHING)):
        return f"{where}.setting: not text or null"
    counted = h.get("causes") or {}
    if not isinstance(counted, dict):
        return f"{where}.causes: not an object"
    for cause, count in counted.items():
        if cause not in causes.CAUSES:
            return f"{where}.causes: not a cause of check-guards"
        fault = _type_fault(count, int)
        if fault:
            return f"{where}.causes.{cause}: {fault}"
    lines = h.get("includes") or []
    if not isinstance(lines, list):
        return f"{where}.includes: not a list"
    for k, line in enumerate(lines):
        fault = _fields(line, {"path": str, "line": int, "text": str}, f"{where}.includes[{k}]")
        if fault:
            return fault
    return None


def fault(found):
    """What makes `found` no record of check-guards, as the first field that is wrong
    ("headers[3].causes: not a cause of check-guards"); "" for a record that is not even an
    object; None for a sound one."""
    if not isinstance(found, dict):
        return ""
    said = _fields(found, RECORD_FIELDS, "")
    if said:
        return said
    shard = found.get("shard")
    if shard is not None and (not isinstance(shard, str) or not SHARD.fullmatch(shard)):
        return "shard: not I/N"
    skipped = found.get("skipped", {})
    if not isinstance(skipped, dict):
        return "skipped: not an object"
    for reason, count in skipped.items():
        said = _type_fault(reason, str) or _type_fault(count, int)
        if said:
            return f"skipped: {said}"
    for k, failure in enumerate(found["failed"]):
        said = _fields(failure, {"file": str}, f"failed[{k}]")
        if said:
            return said
    for k, h in enumerate(found["headers"]):
        said = _header_fault(h, f"headers[{k}]")
        if said:
            return said
    return None


def valid(found):
    """Whether `found` is a record of check-guards, field by field."""
    return fault(found) is None


def check_parts(records, names):
    """Refuses records that are not parts of one run: of another database, or one part given
    twice (the same shard, or two records of the whole)."""
    first = records[0]["directory"]
    seen = {}
    for part, name in zip(records, names):
        if part["directory"] != first:
            raise Failure(f"{name}: a record of the database in {part['directory']}, not of "
                          f"{first}: refused")
        shard = part.get("shard")
        if shard in seen or (seen and (shard is None or None in seen)):
            other = seen.get(shard) or next(iter(seen.values()))
            raise Failure(f"{name}: the same part as {other} ({shard or 'all units'}): refused, "
                          "as it would be counted twice")
        seen[shard] = name


def missing_parts(records):
    """The shards ("I/N") of the build that none of `records` is, where they are shards."""
    counts = {int(r["shard"].split("/")[1]) for r in records if r.get("shard")}
    given = {r.get("shard") for r in records}
    return [f"{i}/{n}" for n in sorted(counts) for i in range(1, n + 1)
            if f"{i}/{n}" not in given]


def merge(records):
    """One record from the records of parts of one build, the same as one run over all: the
    units add up, and each header's counts; a header entered again in one part that was only
    measured in another has its shape read now."""
    merged, units, failed, compilers, skipped = {}, 0, [], [], Counter()
    for part in records:
        units += part["units"]
        failed += part["failed"]
        skipped.update(part.get("skipped", {}))
        for name in part["compiler"].split(", "):
            if name and name not in compilers:
                compilers.append(name)
        for h in part["headers"]:
            if h["path"] not in merged:
                merged[h["path"]] = dict(h)
                continue
            into = merged[h["path"]]
            for key in ("units", "entries", "reentries", "bytes_reread"):
                into[key] += h[key]
            into["system"] = into["system"] or h["system"]
            if into["reason"] is None and h["reason"] is not None:
                # The shape, where a part read it: a header only measured in one part.
                into.update(reason=h["reason"], line=h["line"], text=h["text"], macro=h["macro"])
            counted = Counter(into.get("causes") or {}) + Counter(h.get("causes") or {})
            lines = list({(i["path"], i["line"]): i for i in
                          (into.get("includes") or []) + (h.get("includes") or [])}.values())
            into.update(cause_fields(counted, lines[:INCLUDES], into["reason"]))
    for h in merged.values():
        if h["reason"] is None and h["reentries"] > 0:
            # Entered again, and no part read its shape: the record's paths are not opened.
            h.update(reason="unreadable", line=None, text="", macro=None)
    listed = ordered(merged.values())
    shards = sorted({p.get("shard") for p in records} - {None})
    return {"directory": records[0]["directory"], "compiler": ", ".join(compilers),
            "shard": None, "units": units, "failed": failed, "skipped": dict(skipped),
            "totals": totals(units, listed), "headers": listed,
            **({"merged": shards} if shards else {})}


def table(summary, top, limit, everything=False, hint=True, baseline=False):
    """The headers the build entered again, those processed again first: the user's own (all of
    them with `everything`, the system's too), at most `limit` rows, then a line for the
    system's, the totals, and how to measure what they cost. With `baseline`, the headers are
    those new to the baseline."""
    again = [h for h in summary["headers"] if h["reentries"] > 0]
    own = [h for h in again if everything or not h["system"]]
    lines = []
    if own:
        lines += ["| header | re-entries | units | read again | bytes scanned again | cause "
                  "| fix |", "|---|---:|---:|---|---:|---|---|"]
        for h in own[:limit]:
            lines.append(f"| {cell(shown_path(h['path'], top))} | {h['reentries']} | {h['units']} "
                         f"| {h.get('kind') or '?'} | {h['bytes_reread']} | {cell(said_cause(h))} "
                         f"| {cell(fix(h, top))} |")
        if len(own) > limit:
            lines.append(f"\n{len(own) - limit} more (--limit shows more)")
    elif baseline:
        lines.append("No header of the build's own is newly entered again, beyond the baseline.")
    else:
        lines.append("No header of the build's own is entered more than once in a unit.")
    system = [h for h in again if h["system"]]
    if system and not everything:
        lines.append(f"\nSystem headers: {len(system)} entered again, "
                     f"{sum(h['reentries'] for h in system)} times, "
                     f"{readable_size(sum(h['bytes_reread'] for h in system))} scanned again "
                     "(--all lists them)")
    t = summary["totals"]
    failed = len(summary["failed"])
    skipped = sum(summary.get("skipped", {}).values())
    apart = ", ".join([f"{failed} failed"] * bool(failed) + [f"{skipped} skipped"] * bool(skipped))
    processed = t.get("reentries_processed", 0)
    lines.append(
        f"\nUnits: {t['units']}" + (f" ({apart})" if apart else "")
        + f"; headers: {t['headers']}, entered {t['entries']} times, {t['reentries']} of them "
        f"again ({processed} processed again, {t['reentries'] - processed} only scanned); "
        f"bytes scanned again: {readable_size(t['bytes_reread'])} of "
        f"{readable_size(t['bytes_read'])} read")
    if own and hint:
        lines.append("Bytes are no measure of time: a header only scanned again costs an open and "
                     "a scan to its #endif. To measure it, --patch FILE proves the fix and times "
                     "-E before and after.")
    return "\n".join(lines) + "\n"


def said_cause(h):
    """The cause in words, with the shape and its deciding line where the shape is the cause."""
    cause = h.get("cause")
    if cause in CAUSE_WORDS:
        return CAUSE_WORDS[cause]
    return h["reason"] + (f", line {h['line']}: `{h['text']}`" if h["line"] else "")


def own_again(headers):
    """Of `headers`, the build's own that some unit entered again."""
    return [h for h in headers if h["reentries"] > 0 and not h["system"]]


def beyond(summary, baseline):
    """The build's own headers entered again that the `baseline` record did not have entered
    again, or now entered again more often."""
    before = {h["path"]: h["reentries"] for h in baseline["headers"]}
    return [h for h in own_again(summary["headers"]) if h["reentries"] > before.get(h["path"], 0)]
