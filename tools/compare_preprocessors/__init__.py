"""compare-preprocessors: times C preprocessors on the files guardgen writes and answers, for each
one, what an include costs in each style and whether it skips a header it has seen.

    inputs    the files it times and asks about, and the room they take
    measure   running preprocessors: bounded in time, timed in interleaved rounds
    verdicts  the fits, their intervals and the verdicts (pure: no program is run)
    report    the table, the JSON and the plot
    cli       the command line and the order of a run
    system    what differs between Linux and Windows"""
