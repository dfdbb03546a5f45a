"""The answer as a user reads it: a table of the headers the build reads again, most bytes re-read
first, with the shape that explains each and its fix; the totals; and the JSON record of every
header, which records of parts of one build can be merged into."""

import os
from collections import Counter

from guardgen_common.outputs import readable_size
from guardgen_common.processes import Failure

from .audit import Header, describe

# A one-line fix for each shape; {line} and {macro} are filled in.
FIXES = {
    "no_guard": "wrap the header in #ifndef X / #define X ... #endif, or add #pragma once",
    "before_guard": "move line {line} inside the guard (below #define {macro}), or the guard up",
    "after_guard": "move line {line} above the guard's #endif, so that the guard holds all",
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


def fix(header):
    return FIXES.get(header["reason"], "").format(line=header["line"],
                                                  macro=header.get("macro") or "X")


def shown_path(path, top):
    """`path` relative to the database's directory where it lies below it."""
    relative = os.path.relpath(path, top)
    return path if relative.startswith(os.pardir) else relative


def cell(text):
    """`text` in a cell of a Markdown table: a | in it would end the cell."""
    return text.replace("|", "\\|")


def ordered(headers):
    return sorted(headers, key=lambda h: (-h["bytes_reread"], -h["reentries"], h["path"]))


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
    }


def totals(units, headers):
    read = sum(h["entries"] * h["size"] for h in headers)
    reread = sum(h["bytes_reread"] for h in headers)
    return {
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


# What a record holds, and of which types: a record that does not is refused, not half merged.
RECORD_FIELDS = {"directory": str, "compiler": str, "units": int, "failed": list,
                 "headers": list}
HEADER_FIELDS = {"path": str, "system": bool, "size": int, "units": int, "entries": int,
                 "reentries": int, "bytes_reread": int, "reason": (str, type(None)),
                 "line": (int, type(None)), "text": str, "macro": (str, type(None))}


def _holds(value, fields):
    return isinstance(value, dict) and all(
        key in value and isinstance(value[key], kind)
        and not (kind is int and isinstance(value[key], bool))
        and not (kind is int and value[key] < 0) for key, kind in fields.items())


def valid(found):
    """Whether `found` is a record of check-guards, field by field."""
    return (_holds(found, RECORD_FIELDS)
            and isinstance(found.get("shard"), (str, type(None)))
            and isinstance(found.get("skipped", {}), dict)
            and all(isinstance(v, int) for v in found.get("skipped", {}).values())
            and all(isinstance(f, dict) and isinstance(f.get("file"), str)
                    for f in found["failed"])
            and all(_holds(h, HEADER_FIELDS) for h in found["headers"]))


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
    for h in merged.values():
        if h["reason"] is None and h["reentries"] > 0:
            header = Header(h["path"])
            describe(header)
            h.update(reason=header.reason, line=header.line, text=header.text,
                     macro=header.macro)
    listed = ordered(merged.values())
    shards = sorted({p.get("shard") for p in records} - {None})
    return {"directory": records[0]["directory"], "compiler": ", ".join(compilers),
            "shard": None, "units": units, "failed": failed, "skipped": dict(skipped),
            "totals": totals(units, listed), "headers": listed,
            **({"merged": shards} if shards else {})}


def table(summary, top, limit, everything=False):
    """The headers the build entered again, most bytes re-read first: the user's own (all of them
    with `everything`, the system's too), at most `limit` rows, then a line for the system's and
    the totals."""
    again = [h for h in summary["headers"] if h["reentries"] > 0]
    own = [h for h in again if everything or not h["system"]]
    lines = []
    if own:
        lines += ["| header | re-entries | units | bytes re-read | shape | fix |",
                  "|---|---:|---:|---:|---|---|"]
        for h in own[:limit]:
            shape = h["reason"] + (f", line {h['line']}: `{h['text']}`" if h["line"] else "")
            lines.append(f"| {cell(shown_path(h['path'], top))} | {h['reentries']} | {h['units']} "
                         f"| {h['bytes_reread']} | {cell(shape)} | {cell(fix(h))} |")
        if len(own) > limit:
            lines.append(f"\n{len(own) - limit} more, with fewer bytes re-read (--limit shows more)")
    else:
        lines.append("No header of the build's own is entered more than once in a unit.")
    system = [h for h in again if h["system"]]
    if system and not everything:
        lines.append(f"\nSystem headers: {len(system)} entered again, "
                     f"{sum(h['reentries'] for h in system)} times, "
                     f"{readable_size(sum(h['bytes_reread'] for h in system))} re-read (--all lists them)")
    t = summary["totals"]
    failed = len(summary["failed"])
    skipped = sum(summary.get("skipped", {}).values())
    apart = ", ".join([f"{failed} failed"] * bool(failed) + [f"{skipped} skipped"] * bool(skipped))
    lines.append(
        f"\nUnits: {t['units']}" + (f" ({apart})" if apart else "")
        + f"; headers: {t['headers']}, entered {t['entries']} times, {t['reentries']} of them "
        f"again; read {readable_size(t['bytes_read'])}, re-read {readable_size(t['bytes_reread'])} "
        f"({t['share_reread']:.1%})")
    return "\n".join(lines) + "\n"

