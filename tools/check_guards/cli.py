"""The command: its options read (see options), then the run over the database in the sandbox (or
the merge of records), and its end (see ending): the report, the outputs asked for. What runs
the audit and what ends the run are loaded where they are needed: the process that starts the
sandbox starts it first."""

import os

from guardgen_common.command import run_as_command
from guardgen_common.failure import Failure
from guardgen_common.outputs import check_writable

from .plan import database
from .plan import tree as trees
from . import ME, inside, options


def ending():
    """The module that ends the run (check_guards.ending), loaded the first time it is asked."""
    from . import ending as module
    return module


def audited(args, path, units, tree):
    """The Result of the audit of `units` in this process (see steps.audited)."""
    from . import steps
    return steps.audited(args, path, units, tree)


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
    baseline = ending().read_record(args.baseline) if args.baseline else None
    records = ending().merged(args) if args.merge else None
    directory = records[0]["directory"] if records else str(path.parent)
    # A baseline of another database is refused before any unit runs.
    if baseline and baseline["directory"] != directory:
        raise Failure(f"{args.baseline}: a record of the database in {baseline['directory']}, "
                      f"not of {directory}: refused")
    if records:
        result = ending().merged_result(records)
    elif args.no_sandbox:
        result = audited(args, path, database.read(path, args.shard), tree)
    else:
        # What ends the run is loaded while the sandbox starts, on a core that waits meanwhile.
        result = inside.audit(args, str(path), tree, meanwhile=ending)
    return ending().end(args, result, baseline, tree)


def entry():
    run_as_command(ME, main)
