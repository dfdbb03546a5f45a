"""check-guards: asks the compiler of a build which headers it enters more than once in a
translation unit, says why from each header's text, what it costs, and proves its fix. Data
flows one way: database, plan, run, listing, causes, record, then the writers.

    catalogue    each cause and shape: how it is found, its words, advice, rule, kind and fix
    tree         where the user's build lies, from the database's path and --tree alone
    inside       the run in the sandbox that sees only the tree; its result handed out
    database     the compilation database: its units, as the build runs them
    flags        the allowlist of a unit's flags: what reaches the compiler, what is dropped
    msvc         the same for cl and clang-cl, which list their headers with /showIncludes
    compilers    which program runs a unit, and with what: -E -H -w, its allowed flags, its file
    run          the order of a run over a database, as named steps
    audit        the units run in parallel, bounded, and the headers they entered, summed
    directives   the #include and #undef lines of a file, and which #include names a header
    causes       why a unit entered a header again, asking the catalogue's causes in turn
    record       the JSON record of a run; the records of shards merged; the baseline's new
    fields       what a record holds, field by field: a record that does not is refused
    report       the table and the totals
    formats      compiler-style lines and SARIF
    fixes        the fix of a header that only adds lines, as its shape asks
    proof        the patch proven on scratch copies, in its order, then timed
    proposed     the fixes the proof tries, and those withdrawn, with the reason
    copies       the regular files of a unit copied into a scratch tree, bounded
    scratch      the scratch trees before and after the patch, and one for a fix alone
    runs         a unit run in a tree: -E for its text and listing, -S for its code, digests
    compare      the proof's passes: units compared before and after, and what each withdraws
    timing       -E of the units that entered a header again, in interleaved rounds
    stats        the times summed up: fastest, median, the saving a round and its interval
    diffs        the patch: a unified diff of each fixed header, with git's a/ and b/ paths
    proof_words  the proof's record in words for the user
    progress     where a run stands, said on standard error as it moves
    cli          the command line: its options, the run or the merge, the report, the outputs"""
