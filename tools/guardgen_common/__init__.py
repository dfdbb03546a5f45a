"""What the companions of guardgen share, importing neither of them:

    processes  running a program bounded in time in a process group of its own, from any
               thread; the interruptions, which stop every program still running
    sandbox    the sandbox (bwrap) every program of a database runs in
    system     what differs between Linux and Windows for running programs, and line ends
    programs   the programs known by name: their listings, and the commands that preprocess
    shapes     the shape of a header's include guard, read as a preprocessor reads it
    entries    the headers a compiler entered, from its own listing (-H, /showIncludes)
    files      reading the files a build names, which may be hostile, bounded in size
    names      names as they are printed, control characters escaped
    outputs    checking and writing an output path, sizes as a person reads them
    command    the argument parser, the line on standard error and the end of a run"""

# The release, as the build's project() says it (a test holds them the same).
VERSION = "1.5.0"
