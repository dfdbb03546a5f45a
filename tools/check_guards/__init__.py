"""check-guards: asks the compiler of a build which headers it enters more than once in a
translation unit, says why from each header's text, and what it costs.

    database   the compilation database: its units, as the build runs them
    flags      the allowlist of a unit's flags: what reaches the compiler, what is named as dropped
    msvc       the same for cl and clang-cl, which list their headers with /showIncludes
    compilers  which program runs a unit, and with what: -E -H -w, its allowed flags, its file
    audit      the units run in parallel, bounded, and the headers they entered, summed
    causes     why a unit entered a header again, from the listing's tree and the text
    fixes      the smallest fix of a header for its cause
    proof      the patch proven on scratch copies: the same output, fewer re-entries, timed
    report     the table, the totals and the JSON record; records merged; the baseline
    formats    compiler-style lines and SARIF
    cli        the command line and the order of a run"""
