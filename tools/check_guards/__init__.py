"""check-guards: asks the compiler of a build which headers it enters more than once in a
translation unit, says why from each header's text, and what it costs.

    database   the compilation database: its units, as the build runs them
    compilers  which program runs a unit, and with what: its own flags, -E -H, nothing written
    audit      the units run in parallel, bounded, and the headers they entered, summed
    report     the table, the totals and the JSON record; records merged
    cli        the command line and the order of a run"""
