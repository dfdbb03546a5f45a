"""A preprocessor's own record of the headers it entered: its listing, where its name says it
has one (gcc and clang: -H; cl: /showIncludes), else the files it opened (strace, on Linux,
where installed); the probe that tells whether a record shows every entry, and the entries a
record shows."""

import os
import shutil

from guardgen_common import entries, programs, system
from guardgen_common.processes import run_program

from . import declarations, entry_counts, measure

# Includes of a header where its entries are counted: the probe's, each guard form's, a
# --header's.
INCLUDES = 10


def ways(result):
    """The records of the headers it entered that `result`'s preprocessor may keep, in the order
    they are tried: its own listing, where its name says it has one, then its opens."""
    program = shutil.which(result.argv[0])
    listing = programs.listing_of(os.path.realpath(program)) if program else None
    tried = {"-H": ["listing"], "/showIncludes": ["showIncludes"]}.get(listing, [])
    if not system.WINDOWS and shutil.which("strace"):
        tried.append("opens")
    return tried


# The unguarded header that every preprocessor enters on each include, and the source that
# includes it INCLUDES times: a record that does not show each of those entries cannot tell
# whether any other header was entered again.
PROBE_HEADER = "noguard.h"
PROBE_SOURCE = "entered_noguard.c"
PROBE_TEXT = f'#include "{PROBE_HEADER}"\n' * INCLUDES


def write_probe(work):
    """The probe's header and source, where guardgen has not written the header."""
    if not (work / PROBE_HEADER).exists():
        (work / PROBE_HEADER).write_text("extern int i;\n")
    (work / PROBE_SOURCE).write_text(PROBE_TEXT)


def evidence(result, work, timeout):
    """(how, unfit): the first of `result`'s records (see ways) that shows every entry of the
    probe's header, else "clock"; and why each record tried cannot tell, or None."""
    problems = []
    for how in ways(result):
        counts, error = entries_in(result, [], PROBE_SOURCE, work, timeout, how)
        found = counts[str((work / PROBE_HEADER).resolve())] if counts is not None else None
        problem = entry_counts.unfit(how, found, INCLUDES, PROBE_HEADER, error)
        if problem is None:
            return how, None
        problems.append(problem)
    return "clock", "; ".join(problems) or None


def check_preprocessing(result, work, timeout):
    """Refuses a preprocessor whose output of the probe does not declare once per include: it
    preprocesses nothing here, and none of its answers would mean anything."""
    _, output = measure.preprocess(result, PROBE_SOURCE, work, timeout, keep_output=True)
    measure.refuse_unless_declaring(result, PROBE_SOURCE, declarations.count_declarations(output),
                                    INCLUDES, output)



def entries_in(result, extra, source, work, timeout, how):
    """(how many times the preprocessor of `result` entered each file preprocessing `source` in
    `work`, with the `extra` words, from its listing or its opens; its first error, or None)."""
    trace = work / f"{source}.trace"
    output = work / measure.OUTPUT_FILE
    if how == "listing":
        argv = result.line(source, [*extra, "-H"], output)
    elif how == "showIncludes":
        argv = result.line(source, [*extra, "/showIncludes"], output)
    else:
        argv = ["strace", "-f", "-qq", "-e", "trace=open,openat,openat2", "-o", str(trace),
                *result.line(source, extra, output)]
    _, status, output, errors = run_program(argv, work, timeout, keep_output=True)
    said = errors.decode(errors="replace")
    if status != 0:
        return None, entries.first_error(said) or f"it ended with status {status}"
    try:
        if how == "listing":
            return entries.entered(errors, str(work)), None
        if how == "showIncludes":
            return entries.shown_includes(output + b"\n" + errors, str(work)), None
    except entries.Unclear as unclear:
        return None, str(unclear)
    return entries.opened(trace.read_text(errors="replace"), str(work)), None
