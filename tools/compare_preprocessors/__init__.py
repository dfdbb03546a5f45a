"""compare-preprocessors: times C preprocessors on the files guardgen writes and answers, for each
one, what an include costs in each style and whether it skips a header it has seen; and, with
--header, whether it skips any header given.

    inputs     the files it times and asks about, and the room they take
    measure    running preprocessors, timed in interleaved rounds
    questions  #pragma once identity, the lifted guard, the guard forms
    headers    the --header question (a header of the tree): entries by listing, opens or clock
    verdicts   one judgement of a preprocessor from its runs (pure: no program is run)
    report     the table, the JSON and the plot
    cli        the command line and the order of a run

Running a program bounded in time, the interruptions and what differs on Windows for that are
in guardgen_common, which check-guards shares."""
