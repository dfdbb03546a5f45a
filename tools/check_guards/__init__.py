"""check-guards: asks the compiler of a build which headers it enters more than once in a
translation unit, says why from each header's text, what it costs, and proves its fix.

Its stages, a folder each, in the order its data flows; a stage imports the stages above it and
guardgen_common, never one below it (a test holds this):

    plan/        what runs: the units of the database, their tree, their flags, their compilers
    audit/       the units run, the headers each entered, and why a header was entered again
    record/      the JSON record, made once from the audit's results; shards merged as one run
    report/      the record as a user reads it: the table, compiler-style lines, SARIF
    proof/       the fixes proposed, proven by the compilers, timed; the patch

On top, the command, which may import every stage:

    cli          the command: its options read, then the run or the merge, then its end
    ending       the end of a run: the report, the outputs; the records a merge or baseline reads
    result       what a run gives: its record and its proof, handed out of the sandbox
    options      the command line's options: their help, --help's description, their checks
    steps        the order of a run over a database, as named steps
    failures     the units that failed, said: each in a line, or one reason for most of them
    inside       the run in the sandbox that sees only the tree; its result handed out
    progress     where a run stands, said on standard error as it moves"""

from guardgen_common.command import sayer

ME = "check-guards"
# One line as the command on standard error.
say = sayer(ME)
