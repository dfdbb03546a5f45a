"""The JSON record of a run: every header entered, with the cause of its re-entries and the lines
behind it, and the totals; the records of the shards of one build merged into the record of one
run over all, from the records alone; and the headers a baseline did not have entered again."""

from collections import Counter

from guardgen_common.failure import Failure

from . import catalogue
from .audit import INCLUDES, includes


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
    """The cause behind most re-entries (the first of the catalogue on a tie), the count of each,
    the lines behind them, and how the header is read again (where no cause is known, from its
    shape)."""
    order = list(catalogue.CAUSES)
    cause = max(counted, key=lambda c: (counted[c], -order.index(c))) if counted else None
    return {"cause": cause, "causes": dict(counted), "includes": includes,
            "kind": catalogue.kind_of(cause, reason)}


def note_withdrawn(summary, proof):
    """Gives each header of `summary` whose fix the `proof` (its record) withdrew the reason, as
    "withdrawn": the advice it replaces was refuted."""
    reasons = {w["path"]: w["reason"] for w in proof["withdrawn"]}
    for h in summary["headers"]:
        if h["path"] in reasons:
            h["withdrawn"] = reasons[h["path"]]


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
            lines = {}
            for i in (into.get("includes") or []) + (h.get("includes") or []):
                # A line once for each role, with the route it has where it is first named.
                lines.setdefault((i["path"], i["line"], i.get("role")), i)
            lines = list(lines.values())
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


def own_again(headers):
    """Of `headers`, the build's own that some unit entered again."""
    return [h for h in headers if h["reentries"] > 0 and not h["system"]]


def beyond(summary, baseline):
    """The build's own headers entered again that the `baseline` record did not have entered
    again, or now entered again more often."""
    before = {h["path"]: h["reentries"] for h in baseline["headers"]}
    return [h for h in own_again(summary["headers"]) if h["reentries"] > before.get(h["path"], 0)]
