"""What runs, decided from the database and the tree alone, before any unit runs:

    tree         where the user's build lies, from the database's path and --tree alone
    database     the compilation database: its units, as the build runs them
    responses    a unit's response files (@FILE): their words as its compiler splits them, bounded
    flags        the allowlist of a unit's flags: what reaches the compiler, what is dropped
    msvc         the same for cl and clang-cl, which list their headers with /showIncludes
    program      the program a unit names, found: gcc or clang outside the tree, past ccache
    compilers    how a unit runs: its program with -M -H -w, its allowed flags, its file
    listing      what lists a unit alone: -M for -E, gcc's preprocessor without its driver
    probe        what a compiler says of itself: its own header directories, what it answers as
    project      the project's top, where a patch's paths start, never above the tree"""
