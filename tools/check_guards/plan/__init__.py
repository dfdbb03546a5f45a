"""What runs, decided from the database and the tree alone, before any unit runs:

    tree         where the user's build lies, from the database's path and --tree alone
    database     the compilation database: its units, as the build runs them
    flags        the allowlist of a unit's flags: what reaches the compiler, what is dropped
    msvc         the same for cl and clang-cl, which list their headers with /showIncludes
    compilers    which program runs a unit, and with what: -M -H -w, its allowed flags, its file
    listing      what lists a unit alone: -M for -E, gcc's preprocessor without its driver"""
