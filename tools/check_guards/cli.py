"""The command: its options read (see options), then the run over the database (or the merge of
records), the report on standard output, and the outputs asked for written."""

import os
import sys

from guardgen_common import run_texts
from guardgen_common.command import run_as_command
from guardgen_common.failure import Failure
from guardgen_common.names import printable
from guardgen_common.outputs import check_writable, flush_output, json_text, plural, write_text

from .plan import database
from .record import fields
from .report import formats
from . import ME, inside, options, record, report, say, steps
from .plan import tree as trees
from .progress import Progress


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


def audited(args, path, units, tree):
    progress = Progress(ME)
    try:
        with run_texts.read_once():
            return steps.audit_database(args, progress, path, units, tree)
    finally:
        progress.end()


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


def inner(args):
    """The run inside the tool's enclosure: its result given to the outer process."""
    path = database.locate(args.inside)
    inside.answer(audited(args, path, database.read(path, args.shard), args.tree))
    return 0


def main(argv):
    args = options.parse_arguments(argv)
    if args.inside:
        return inner(args)
    if args.merge:
        tree = [trees.top(os.getcwd())]
    else:
        path = database.locate(args.database)
        tree = trees.of(str(path), args.tree or ())
    for output in (args.json, args.patch, args.sarif):
        check_writable(output, tree)
    baseline = read_record(args.baseline) if args.baseline else None
    records = merged(args) if args.merge else None
    directory = records[0]["directory"] if records else str(path.parent)
    # A baseline of another database is refused before any unit runs.
    if baseline and baseline["directory"] != directory:
        raise Failure(f"{args.baseline}: a record of the database in {baseline['directory']}, "
                      f"not of {directory}: refused")
    result = (steps.Result(record.merge(records)) if records else
              audited(args, path, database.read(path, args.shard), tree) if args.no_sandbox else
              inside.audit(args, str(path), tree))
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


def entry():
    run_as_command(ME, main)
