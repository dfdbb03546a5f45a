"""What the companions of guardgen share, importing neither of them:

    command    both companions as commands: one-line errors, the line "tool: what", a run's end
    early      an interruption while a companion loads ends it at once, never a traceback
    failure    the error a companion reports in one line, "tool: what"
    signals    an interruption ends a run at once and by its signal, every program stopped
    processes  a program run bounded in time in a group of its own, what it says kept in files
    registry   the programs running now, so that all of them are stopped at once
    limits     what bounds a program: its memory, what it writes, no core dump
    launcher   programs started already bounded, by a small process, not by a fork of the tool
    context    what every program runs in: the sandbox or the tool's PATH, its locale, the scratch
    keeper     a process that stops what a run left and removes its files, however the tool ends
    sandbox    bubblewrap: the one sandbox a check-guards run reads and compiles in, a program's own
    tree       where a user's tree lies: the outermost work tree, never HOME or the system's
    system     what differs between Linux and Windows, kept in one place
    files      reading a build's files, which may be hostile: regular files only, bounded
    programs   the programs known by name: how each lists its headers, how it preprocesses
    entries    the headers a compiler entered, from its own listing (-H, /showIncludes)
    run_texts  a run's files read once each, and what is worked out from them kept with them
    source_lines  a source's lines as a preprocessor reads them: continuations joined, no comments
    shapes     the shape of a header's include guard, read as a preprocessor reads it
    names      names as they are printed, their control and format characters escaped
    markdown   text in a table's cell kept one cell and as it is, code spans, a shape in words
    outputs    checking and writing an output path, sizes as a person reads them
    measured   when runs measure a difference: enough of them, a seeded bootstrap interval"""

# The release, as the build's project() says it (a test holds them the same).
VERSION = "1.9.2"
