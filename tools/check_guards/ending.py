"""What a run ends with, once its result is known: the report on standard output, the outputs
asked for, the status; and the records that a merge or a baseline reads. The outer process loads
this while the sandbox starts, on a core that waits for it then."""

import os
import sys

from guardgen_common.failure import Failure
from guardgen_common.names import printable
from guardgen_common.outputs import flush_output, json_text, plural, write_text

from .plan import database
from .record import fields
from .report import formats
from .result import Result
from . import record, report, say


# A record of every header of a large build is some tens of MB.
RECORD_LIMIT = 256 << 20


def read_record(path):
    """The --merge or --baseline record at `path`, refused in one line, by the first field that
    is wrong, unless it is a record of check-guards."""
    found = database.load_json(path, RECORD_LIMIT)
    fault = fields.fault(found)
    if fault is not None:
        raise Failure(f"{path}: not a record of check-guards" + (f": {fault}" if fault else ""))
    return found


def check_mergeable(records, names):
    """Refuses a record of an earlier check-guards among several: it lacks what a merge needs to
    give what one run gives. Alone, a record is shown as it is."""
    for found, name in zip(records, names):
        lacks = len(records) > 1 and fields.unmergeable(found)
        if lacks:
            raise Failure(f"{name}: a record of an earlier check-guards ({lacks}): it cannot be "
                          "merged with other parts as one run would give them; audit its part "
                          "again")


def merged(args):
    """The records of --merge, refused unless they are the shards of one build, all of them
    (with --partial, those given, the missing named)."""
    records = [read_record(p) for p in args.merge]
    record.check_parts(records, args.merge)
    check_mergeable(records, args.merge)
    missing = record.missing_parts(records)
    if missing and not args.partial:
        raise Failure(f"the shards {', '.join(missing)} of the build are missing: refused, as "
                      "the report would count only some of its units (--partial merges those "
                      "given)")
    if missing:
        say(f"the shards {', '.join(missing)} of the build are missing: merged without them")
    return records


def against(args, summary, baseline, any_audited):
    """(the headers new to the baseline, the line that says so); (None, "") without one."""
    if not baseline:
        return None, ""
    shown, name = record.beyond(summary, baseline), printable(args.baseline)
    if not any_audited:
        return shown, (f"\nAgainst the baseline {name}: nothing to compare, as no unit was "
                       "audited\n")
    known = len(record.own_again(summary["headers"])) - len(shown)
    return shown, (f"\nAgainst the baseline {name}: {plural(len(shown), 'header')} of "
                   "the build's own new (entered again that it did not have, or more often), "
                   f"{known} known (entered again as it has them)\n")


def show(args, summary, shown, proven, gate):
    """The report on standard output (the table, or the diagnostics) with the proof's lines
    `proven` and the baseline's `gate`; those alone, on standard error, where an output takes
    it."""
    said = proven + gate
    if "-" in (args.json, args.patch, args.sarif):
        sys.stderr.write(said.lstrip("\n"))
    elif args.diagnostics:
        flush_output(formats.diagnostics(summary, shown))
        sys.stderr.write(said.lstrip("\n"))
    else:
        listed = summary if shown is None else dict(summary, headers=shown)
        # Paths as a compiler run here would show them, so that they are links from here.
        flush_output(report.table(listed, os.getcwd(), args.limit, args.all,
                                  hint=not proven,
                                  baseline=shown is not None) + said)
    flush_output()


def withdrawn_all(withdrawn):
    """Why no patch is written where every fix was `withdrawn`, in words."""
    if len(withdrawn) == 1:
        return f"the one fix, of {withdrawn[0]['path']}, was withdrawn: {withdrawn[0]['reason']}"
    return f"all {len(withdrawn)} fixes were withdrawn (the proof says why, of each)"


def end(args, result, baseline, tree):
    """Says and writes what the run's `result` (a Result) gives, against the `baseline` record
    (or None); the outputs only inside `tree`. The command's status."""
    proven = result.proof
    summary = record.with_proof(result.record, proven.record) if proven else result.record
    # Where no unit was audited nothing is known, and nothing is said or written as if it were.
    any_audited = report.units_apart(summary)[0] > 0
    shown, gate = against(args, summary, baseline, any_audited)
    said = ""
    if proven:
        from .proof import words
        said = words.lines(proven.record)
    if proven and not any_audited:
        said = "\nNo patch written: no unit was audited.\n"
    show(args, summary, shown, said, gate)
    if args.json:
        write_text(args.json, json_text(summary), tree)
    withdrawn = args.patch and not proven.patch and proven.record["withdrawn"]
    if withdrawn:
        say(f"{args.patch}: not written: {withdrawn_all(proven.record['withdrawn'])}")
    elif args.patch and any_audited:
        # Empty where nothing is to fix: the file says what this run found, never an older one.
        write_text(args.patch, proven.patch, tree)
    if args.sarif:
        write_text(args.sarif, json_text(formats.sarif(summary, proven and proven.fixed, shown)),
                   tree)
    return 1 if summary["failed"] or shown or withdrawn or not any_audited else 0


def merged_result(records):
    """The Result of --merge: the `records` of its parts as one run's."""
    return Result(record.merge(records))
