"""What a record of check-guards holds, and of which types: a --merge or --baseline record that
does not is refused, field by field, not half merged; and what a merge needs of a record, which
one of an earlier check-guards lacks. Its paths are data: no file a record names is opened."""

import os
import re

from ..audit import catalogue

NOTHING = type(None)
# A field that holds a path: text, absolute, as a file system names a file.
PATH = "path"
RECORD_FIELDS = {"directory": PATH, "compiler": str, "units": int, "failed": list,
                 "headers": list}
HEADER_FIELDS = {"path": PATH, "system": bool, "size": int, "units": int, "entries": int,
                 "reentries": int, "bytes_reread": int, "shape": (str, NOTHING),
                 "line": (int, NOTHING), "text": str, "macro": (str, NOTHING)}
# A record of an earlier check-guards named a header's shape its "reason".
EARLIER_SHAPE = "reason"
KINDS = ("processed", "scanned")
# A count beyond this is no build's: a number of thousands of digits is refused, not summed.
LARGEST = (1 << 63) - 1
SHARD = re.compile(r"[0-9]{1,9}/[0-9]{1,9}")
# A lone surrogate that stands for no byte: a name that is not UTF-8 holds only U+DC80-U+DCFF,
# one for each byte that is not.
NO_BYTE = re.compile("[\ud800-\udc7f\udd00-\udfff]")


def _path_fault(value):
    """What is wrong with `value` as a path of a record, or None."""
    fault = _type_fault(value, str)
    if fault:
        return fault
    if not os.path.isabs(value):
        return "not an absolute path"
    if NO_BYTE.search(value):
        return "holds a lone surrogate, which names no file"
    return None


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
        fault = _path_fault(value[key]) if kind == PATH else _type_fault(value[key], kind)
        if fault:
            return f"{where}.{key}: {fault}" if where else f"{key}: {fault}"
    return None


def shape_key(h):
    """The key of a header's shape in its record: "shape", or in a record of an earlier
    check-guards that has none, "reason"."""
    return EARLIER_SHAPE if "shape" not in h and EARLIER_SHAPE in h else "shape"


def _header_fault(h, where):
    key = shape_key(h) if isinstance(h, dict) else "shape"
    fault = _fields(h, {(key if k == "shape" else k): kind for k, kind in HEADER_FIELDS.items()},
                    where)
    if fault:
        return fault
    if h[key] is not None and h[key] not in catalogue.SHAPES:
        return f"{where}.{key}: not a shape of check-guards"
    if h.get("cause") is not None and h.get("cause") not in catalogue.CAUSES:
        return f"{where}.cause: not a cause of check-guards"
    if h.get("kind") is not None and h.get("kind") not in KINDS:
        return f"{where}.kind: neither processed nor scanned"
    if not isinstance(h.get("setting"), (str, NOTHING)):
        return f"{where}.setting: not text or null"
    if h.get("as_setting") is not None:
        fault = _fields(h["as_setting"], {"shape": str, "line": (int, NOTHING), "text": str},
                        f"{where}.as_setting")
        if fault:
            return fault
        if h["as_setting"]["shape"] not in catalogue.SHAPES:
            return f"{where}.as_setting.shape: not a shape of check-guards"
    counted = h.get("causes") or {}
    if not isinstance(counted, dict):
        return f"{where}.causes: not an object"
    for cause, count in counted.items():
        if cause not in catalogue.CAUSES:
            return f"{where}.causes: not a cause of check-guards"
        fault = _type_fault(count, int)
        if fault:
            return f"{where}.causes.{cause}: {fault}"
    lines = h.get("includes") or []
    if not isinstance(lines, list):
        return f"{where}.includes: not a list"
    for k, line in enumerate(lines):
        at = f"{where}.includes[{k}]"
        fault = _fields(line, {"path": PATH, "line": int, "text": str}, at)
        if fault:
            return fault
        if line.get("role") is not None and line["role"] not in catalogue.ROLES:
            return f"{at}.role: not a role of check-guards"
        order = line.get("order")
        if order is not None and (not isinstance(order, list) or len(order) != 3
                                  or any(_type_fault(n, int) for n in order)):
            return f"{at}.order: not three whole numbers"
        route = line.get("route") or []
        if not isinstance(route, list):
            return f"{at}.route: not a list"
        for n, step in enumerate(route):
            fault = _fields(step, {"path": PATH, "line": (int, NOTHING)}, f"{at}.route[{n}]")
            if fault:
                return fault
    return None


def current(h):
    """A header's record with its shape named "shape", in the place of an earlier record's
    "reason"; the record itself where it has one."""
    if shape_key(h) == "shape":
        return h
    return {("shape" if k == EARLIER_SHAPE else k): v for k, v in h.items()}


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
    if shard is not None and (not isinstance(shard, str) or not SHARD.fullmatch(shard)
                              or not 0 < int(shard.split("/")[0]) <= int(shard.split("/")[1])):
        return "shard: not I/N with I from 1 to N"
    said = _counts_fault(found, "skipped")
    if said:
        return said
    for k, failure in enumerate(found["failed"]):
        said = _fields(failure, {"file": str}, f"failed[{k}]")
        if said:
            return said
        said = "entry" in failure and _type_fault(failure["entry"], int)
        if said:
            return f"failed[{k}].entry: {said}"
    said = _settings_fault(found)
    if said:
        return said
    for k, h in enumerate(found["headers"]):
        said = _header_fault(h, f"headers[{k}]")
        if said:
            return said
    return None


def _counts_fault(found, key):
    """What is wrong with the record's object at `key`, where it has one: each name (a string)
    with a whole number (a count, or a unit's entry); or None."""
    counts = found.get(key, {})
    if not isinstance(counts, dict):
        return f"{key}: not an object"
    for name, number in counts.items():
        said = _type_fault(name, str) or _type_fault(number, int)
        if said:
            return f"{key}: {said}"
    return None


def _settings_fault(found):
    """What is wrong with the record's programs and settings, where it has them, or None."""
    said = _counts_fault(found, "compilers")
    if said:
        return said
    for key in ("settings", "defined"):
        settings = found.get(key, [])
        if not isinstance(settings, list):
            return f"{key}: not a list"
        for name in settings:
            said = _type_fault(name, str)
            if said:
                return f"{key}: {said}"
    return None


def unmergeable(found):
    """What a sound record (see fault) lacks that a merge needs to give what one run gives (a
    record of an earlier check-guards: its programs' first entries, its settings and those of
    them -D'd, the entry of each failure, each header's shape by that name, the order of each
    line named), as the first field missing; None where it lacks nothing."""
    for key in ("compilers", "settings", "defined"):
        if key not in found:
            return f"{key}: missing"
    for k, failure in enumerate(found["failed"]):
        if "entry" not in failure:
            return f"failed[{k}].entry: missing"
    for k, h in enumerate(found["headers"]):
        if shape_key(h) != "shape":
            return f"headers[{k}].shape: missing"
        for n, line in enumerate(h.get("includes") or []):
            if line.get("order") is None:
                return f"headers[{k}].includes[{n}].order: missing"
    return None
