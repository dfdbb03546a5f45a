"""What the companions of guardgen share, importing neither of them:

    processes  running a program bounded in time in a process group of its own, from any
               thread; the interruptions, which stop every program still running
    system     what differs between Linux and Windows for running programs
    shapes     the shape of a header's include guard, read as a preprocessor reads it
    entries    the headers a compiler entered, from its own listing (-H, /showIncludes)
    outputs    checking and writing an output path, sizes as a person reads them"""

# The release, as the build's project() says it (a test holds them the same).
VERSION = "1.5.0"
