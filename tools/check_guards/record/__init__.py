"""The record (here), and what it must hold:

    fields       what a record holds, field by field: a record that does not is refused

The JSON record of a run: every header entered, with the cause of its re-entries and the lines
behind it, and the totals; the records of the shards of one build merged into the record of one
run over all, from the records alone; and the headers a baseline did not have entered again."""

from collections import Counter
from itertools import chain

from guardgen_common.failure import Failure

from ..audit import catalogue
from . import fields


def ordered(headers):
    """Those processed again first, most bytes first; then those only scanned, most re-entries
    first."""
    return sorted(headers, key=lambda h: (h.get("kind") != "processed", -h["bytes_reread"]
                                          if h.get("kind") == "processed" else -h["reentries"],
                                          -h["bytes_reread"], h["path"]))


def includes(header):
    """The lines named for `header`, in the database's order: each with its role, that order
    (the unit's entry, the re-entry's place in the unit, the line's in the re-entry: a merge of
    shards picks by it the lines one run does) and, where it has one, its route."""
    return [{"path": p, "line": n, "text": t, "role": role, "order": list(key),
             **({"route": [{"path": rp, "line": rn} for rp, rn in route]} if route else {})}
            for (p, n, role), (key, t, route) in sorted(header.includes.items(),
                                                        key=lambda i: i[1][0])]


def header_record(header):
    return {
        "path": header.path,
        "system": header.system,
        "size": header.size,
        "units": header.units,
        "entries": header.entries,
        "reentries": header.reentries,
        "bytes_reread": header.bytes_reread,
        "shape": header.shape,
        "line": header.line,
        "text": header.text,
        "macro": header.macro,
        "setting": header.setting,
        **({"as_setting": dict(zip(("shape", "line", "text"), header.as_setting))}
           if header.as_setting else {}),
        **cause_fields(header.causes, includes(header), header.shape),
    }


def cause_fields(counted, includes, shape):
    """The cause behind most re-entries (the first of the catalogue on a tie), the count of each,
    the lines behind them, and how the header is read again (where no cause is known, from its
    shape)."""
    order = list(catalogue.CAUSES)
    cause = max(counted, key=lambda c: (counted[c], -order.index(c))) if counted else None
    # In the catalogue's order, not the order the units ended in.
    return {"cause": cause, "causes": {c: counted[c] for c in order if counted.get(c)},
            "includes": includes, "kind": catalogue.kind_of(cause, shape)}


def with_proof(summary, proof):
    """The record the writers read: the audit's `summary` (never changed) with the `proof`'s
    record beside it, and each header whose fix the proof withdrew given the reason, as
    "withdrawn": the advice it replaces was refuted."""
    reasons = {w["path"]: w["reason"] for w in proof["withdrawn"]}
    headers = [{**h, "withdrawn": reasons[h["path"]]} if h["path"] in reasons else h
               for h in summary["headers"]]
    return {**summary, "headers": headers, "proof": proof}


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


def record(directory, compilers, units, failed, headers, skipped=None, shard=None,
           settings=(), defined=()):
    """The JSON record of a run (or of the shard "I/N" of one) on the database in `directory`:
    every header entered, and the units skipped, by reason. `compilers` gives each program the
    units ran by with the entry of the first unit it ran, `settings` the names the build may set
    from outside (its units' -D, the names its files test for a value) and `defined` those of
    its -D: a merge of shards orders the first and gives the others to the headers of every
    part (the build's own, and the system's), as one run does."""
    listed = ordered(header_record(h) for h in headers.values())
    return assemble(directory, compilers, shard, units, failed, skipped or {},
                    (settings, defined), listed)


def assemble(directory, compilers, shard, units, failed, skipped, settings, listed):
    """The record of the headers `listed`, in order: the programs in the order of their first
    units, the failures in the database's order, the reasons of the skipped in their own;
    `settings` is (the settings, those -D'd)."""
    compilers = dict(sorted(compilers.items(), key=lambda c: c[1]))
    settings, defined = settings
    return {
        "directory": directory,
        "compiler": ", ".join(compilers),
        "compilers": compilers,
        "settings": sorted(settings),
        "defined": sorted(defined),
        "shard": shard,
        "units": units,
        "failed": sorted(failed, key=lambda f: f.get("entry", 0)),
        "skipped": dict(sorted(skipped.items())),
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
        # By its numbers: "01/2" is the shard 1/2.
        shard = shard_of(part)
        if shard in seen or (seen and (shard is None or None in seen)):
            other = seen.get(shard) or next(iter(seen.values()))
            raise Failure(f"{name}: the same part as {other} ({part.get('shard') or 'all units'})"
                          ": refused, as it would be counted twice")
        seen[shard] = name


def shard_of(part):
    """(I, N) of the shard "I/N" a part's record is (fields checked its form); None for a
    record of the whole."""
    shard = part.get("shard")
    return tuple(int(n) for n in shard.split("/")) if shard else None


def missing_parts(records):
    """The shards ("I/N") of the build that none of `records` is, where they are shards."""
    given = {shard_of(r) for r in records}
    counts = {shard[1] for shard in given if shard}
    return [f"{i}/{n}" for n in sorted(counts) for i in range(1, n + 1) if (i, n) not in given]


def merge(records):
    """One record from the records of parts of one build, the same as one run over all, in any
    order of the parts: the units add up, and each header's counts; a header entered again in
    one part that was only measured in another has its shape read now; the settings of every
    part apply to the headers of all; the lines named are the first in the database's order."""
    parts = sorted(records, key=place)
    merged = {}
    for part in parts:
        for h in map(fields.current, part["headers"]):
            if h["path"] in merged:
                add_header(merged[h["path"]], h)
            else:
                # A part's proof is of that part alone: a merge proves nothing.
                merged[h["path"]] = {k: v for k, v in h.items() if k != "withdrawn"}
    settings = set().union(*(p.get("settings", ()) for p in parts))
    defined = set().union(*(p.get("defined", ()) for p in parts))
    for h in merged.values():
        settle(h, settings, defined)
    compilers = {}
    for name, entry in chain.from_iterable(programs(p).items() for p in parts):
        compilers[name] = min(entry, compilers.get(name, entry))
    skipped = Counter()
    for part in parts:
        skipped.update(part.get("skipped", {}))
    shards = list(dict.fromkeys(p["shard"] for p in parts if p.get("shard")))
    return {**assemble(parts[0]["directory"], compilers, None, sum(p["units"] for p in parts),
                       [f for p in parts for f in p["failed"]], skipped, (settings, defined),
                       ordered(merged.values())),
            **({"merged": shards} if shards else {})}


def programs(part):
    """Each program of a part with the entry of its first unit; a record of an earlier
    check-guards, which is merged only alone (see fields.unmergeable), in the order it has."""
    if "compilers" in part:
        return part["compilers"]
    return {name: k for k, name in enumerate(part["compiler"].split(", ")) if name}


def place(part):
    """Where a part stands among the shards (N, then I; a record of the whole first): a merge
    reads its parts in this order, whatever order they are given in."""
    shard = shard_of(part)
    return tuple(reversed(shard)) if shard else (0, 0)


def add_header(into, h):
    """Adds a part's record of a header, `h`, to the merged record `into`."""
    for key in ("units", "entries", "reentries", "bytes_reread"):
        into[key] += h[key]
    into["system"] = into["system"] or h["system"]
    if h["shape"] is not None and (into["shape"] is None or
                                   h.get("setting") and not into.get("setting")):
        # The shape, where a part read it (a header only measured in one part), and as a part
        # read it that knew its guard's macro for a setting where one did, as one run knows.
        into.update(shape=h["shape"], line=h["line"], text=h["text"], macro=h["macro"],
                    setting=h.get("setting"), as_setting=h.get("as_setting"))
    counted = Counter(into.get("causes") or {}) + Counter(h.get("causes") or {})
    into.update(cause_fields(counted, first_named(into.get("includes"), h.get("includes")),
                             into["shape"]))


def first_named(*lines):
    """The first INCLUDES (the catalogue's) of the lines named in `lines` (lists of them) by
    their order in the database: a line once for each role, with the route it has where it is
    first named."""
    named = {}
    for line in chain.from_iterable(found or [] for found in lines):
        at = (line["path"], line["line"], line.get("role"))
        if at not in named or order(line) < order(named[at]):
            named[at] = line
    return sorted(named.values(), key=order)[:catalogue.INCLUDES]


def order(line):
    """A named line's order in the database; in a record of an earlier check-guards, merged only
    alone, none: its lines stay in the order they have."""
    return line.get("order") or []


def settle(h, settings, defined=()):
    """Gives the merged header `h` the setting one run gives it: its guard's macro, where some
    part's units may set it (`settings`; for a system header, their -D alone, `defined`), with
    the shape the part that read it found it would then have (its as_setting, which one run does
    not keep); and where no part read its shape though it was entered again, the shape of a
    file not read."""
    unset = h.pop("as_setting", None)
    if unset and not h.get("setting") and h["macro"] in (defined if h["system"] else settings):
        h.update(shape=unset["shape"], line=unset["line"], text=unset["text"],
                 setting=h["macro"])
        h.update(cause_fields(Counter(h.get("causes") or {}), h.get("includes") or [],
                              h["shape"]))
    if h["shape"] is None and h["reentries"] > 0:
        # The record's paths are not opened.
        h.update(shape="unreadable", line=None, text="", macro=None)
    if not h["system"] and h["macro"] is not None and h["macro"] in settings:
        h["setting"] = h.get("setting") or h["macro"]


def own_again(headers):
    """Of `headers`, the build's own that some unit entered again."""
    return [h for h in headers if h["reentries"] > 0 and not h["system"]]


def beyond(summary, baseline):
    """The build's own headers entered again that the `baseline` record did not have entered
    again, or now entered again more often."""
    before = {h["path"]: h["reentries"] for h in baseline["headers"]}
    return [h for h in own_again(summary["headers"]) if h["reentries"] > before.get(h["path"], 0)]
