"""compare-preprocessors: times C preprocessors on the files guardgen writes and answers, for each
one, what an include costs in each style and whether it skips a header it has seen; and, with
--header, whether it skips any header given.

    inputs        the files it times and asks about, and the room they take
    measure       running preprocessors, timed in interleaved rounds
    questions     #pragma once identity, the lifted guard, the guard forms
    records       a preprocessor's own record of the headers it entered: its listing, its opens
    header_files  the --header files: regular files of the tree, checked first, read bounded
    headers       the --header question (a header of the tree): entries by listing, opens or clock
    costs         the cost of an include: a line through the fastest runs, its bootstrap interval
    verdicts      the timed verdicts: whether a header is skipped, from the runs alone
    declarations  what the output declares, and the verdicts the output alone tells
    entry_counts  the verdicts from a header's entries: counted by a record, or by the clock
    report        the table, the JSON and the plot
    options       the command line: its description, its options, the values refused
    checks        everything checked before anything runs, each refused in one line
    sandboxing    the sandbox every program of a run starts in, or --no-sandbox said once
    cli           the order of a run

Running a program bounded in time, the interruptions and what differs on Windows for that are
in guardgen_common, which check-guards shares."""

from guardgen_common.command import sayer

ME = "compare-preprocessors"
# One line as the command on standard error.
say = sayer(ME)
