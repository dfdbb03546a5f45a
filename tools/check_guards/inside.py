"""The run in an enclosure: the tool's own reading (the database, its response files, the
listings, the headers) and every compiler happen in a process of this tool started inside
bubblewrap, which sees only the tree, the system's directories and the compilers' and the
tool's own installations. The outer process reads nothing of the database's choosing: it starts
the enclosure, takes the run's result from it as JSON, and writes the outputs. Then no fault of
the reader can show a file outside the tree, and a link swapped by a process of the tree's
resolves in the enclosure's view."""

import json
import os
import sys

from guardgen_common import context, files, processes, sandbox
from guardgen_common.failure import Failure
from guardgen_common.files import under

from .plan import program, tree
from .result import Result

# The environment of the run inside: the compilers' own variables for where headers are (they
# change the answer, as flags do), how often progress is said; nothing else of the tool's.
PASSED = (*sandbox.PASSED, "CHECK_GUARDS_PROGRESS")
# The most the result may hold: a record of every header of a large build, and its proof.
RESULT_LIMIT = 1 << 30
# The run inside is bounded by its units' --timeout; this only ends a run that no bound ends.
FOREVER = 1e6
PACKAGE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
# The run inside says what it says on the descriptor given first (the tool's standard error),
# so that its own standard error holds only what bwrap says where it cannot start it. It ends,
# with every program it runs, once the pipe given second reads its end: the outer process, which
# alone holds the other end, has gone, however it ended.
START = ("import os, sys; os.dup2(int(sys.argv[1]), 2); os.close(int(sys.argv.pop(1))); "
         "sys.dont_write_bytecode = True; sys.path[:0] = [sys.argv.pop(2)]; "
         "import guardgen_common.early; from guardgen_common import registry, signals; "
         "signals.end_with_parent(int(sys.argv.pop(1)), registry.stop_all); "
         "from check_guards import cli; cli.entry()")


def arguments(args, database, trees):
    """The command line of the run inside: what changes the answer, never an output."""
    words = ["--inside", database, "-j", str(args.jobs), "--timeout", repr(args.timeout),
             "--rounds", str(args.rounds)]
    for directory in trees:
        words += ["--tree", directory]
    if args.compiler:
        words += ["--compiler", args.compiler]
    if args.shard:
        words += ["--shard", f"{args.shard[0]}/{args.shard[1]}"]
    if args.patch:
        words += ["--patch", "-"]
    return words


def readable(args, database, trees, path):
    """What the enclosure sees besides the system: the tree, the database, the interpreter and
    the tool, the installations of the PATH's programs outside HOME and of --compiler."""
    seen = [*trees, database, PACKAGE, os.path.dirname(os.path.realpath(sys.executable)),
            sys.base_prefix, sys.prefix]
    # Not those in HOME, where a user's scripts may hold what is theirs alone: a compiler's error
    # quotes what it read.
    homes = tree.homes()
    for directory in path:
        if not under(os.path.realpath(directory), homes):
            seen += tree.installation(os.path.join(directory, "program"))
    chosen = program.chosen(args.compiler)
    if chosen:
        seen += tree.installation(chosen[0])
    return [p for p in dict.fromkeys(seen) if p and os.path.exists(p)]


def audit(args, database, trees, meanwhile=None):
    """The Result of the audit of the database at `database` (absolute), run in an
    enclosure that sees `trees`; a Failure where bwrap cannot start one. `meanwhile()` is
    called once the enclosure has started, before it is waited for."""
    path = program.search_path(trees)
    # Not tried first: where it cannot start, what bwrap says tells, and one start is saved.
    bwrap = sandbox.found(path, trusted=lambda b: not under(os.path.realpath(b), trees))
    here = os.getcwd()
    cwd = here if under(os.path.realpath(here), trees) else trees[0]
    environment = {"PATH": os.pathsep.join(path), "HOME": "/tmp", "TMPDIR": "/tmp",
                   "LC_ALL": context.MESSAGES}
    environment.update(sandbox.passed(PASSED))
    argv = [*sandbox.enclose(bwrap, readable(args, database, trees, path), environment, cwd),
            os.path.realpath(sys.executable), "-I", "-S", "-c", START]
    said = os.dup(sys.stderr.fileno())
    lifeline, held = os.pipe()
    try:
        _, status, output, bwrap_said = processes.run_program_to_file(
            [*argv, str(said), str(lifeline), PACKAGE, *arguments(args, database, trees)], cwd,
            FOREVER, keep_output=True, bare=True, kept=(said, lifeline), meanwhile=meanwhile)
    finally:
        os.close(said)
        os.close(lifeline)
        os.close(held)
    with bwrap_said:
        reason = files.read_at_most(bwrap_said, 1 << 16).decode(errors="replace").strip()
    if status != 0 and reason:
        raise sandbox.cannot_start(bwrap, reason.splitlines()[0])
    if status != 0 or not output:
        # What went wrong inside was said there, in one line, on standard error.
        raise Failure(None if status == 1 else f"the audit's sandbox ended with status {status}")
    return result_of(output)


def result_of(output):
    """The Result that the run inside gave as JSON."""
    if len(output) > RESULT_LIMIT:
        raise Failure("the audit's result is larger than the tool takes")
    try:
        given = json.loads(output)
        found = given.get("proof")
        if found:
            from . import proof
        return Result(given["record"], found and proof.Proof(
            found["patch"], found["record"], {p: tuple(t) for p, t in found["fixed"].items()}))
    except (ValueError, KeyError, TypeError, AttributeError):
        raise Failure("the audit's sandbox gave no result it can read") from None


def answer(result):
    """Gives `result` (a Result) to the outer process, as JSON on standard output."""
    found = result.proof
    given = {"record": result.record,
             "proof": found and {"patch": found.patch, "record": found.record,
                                 "fixed": found.fixed}}
    sys.stdout.buffer.write(json.dumps(given).encode("utf-8", "surrogateescape"))
    sys.stdout.flush()
