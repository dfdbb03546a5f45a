"""The question asked of any header with --header: does each preprocessor skip it when it is
included again, and why, from its shape? The header is included INCLUDES times as
#include "NAME" from a source in the run's temporary directory, with the header's own directory
on the include path, so that a header that includes its neighbours (or itself) works as in its
project. The answer comes from what the preprocessor did: the times it entered the header, from
its own listing where it has one (gcc and clang: -H; cl: /showIncludes), else from the files it
opened (strace, on Linux, where installed), else by the clock against a copy of the header that
no preprocessor can skip."""

import errno
import os
import re
import shutil
from dataclasses import dataclass
from pathlib import Path

from guardgen_common import entries, files, programs, shapes, system, tree
from guardgen_common.failure import Failure
from guardgen_common.files import under
from guardgen_common.names import printable, shown_path
from guardgen_common.processes import run

from . import measure, verdicts


# Includes of the header where its entries are counted, and where only the clock can tell.
INCLUDES = 10
CLOCK_INCLUDES = 5000
CLOCK_RUNS = 5


@dataclass
class Answer:
    verdict: str  # "skipped", "re-read" or "unclear"
    entries: float  # None where it could not be told
    includes: int
    how: str  # "listing", "showIncludes", "opens" or "clock"
    error: str = None  # the preprocessor's first error line, where it failed on the header


# A header asked about, at the most: it is read and preprocessed many times over.
LIMIT = files.LIMIT
# What C leaves undefined between the quotes of #include "NAME" (and a trigraph, which some
# standards turn into another character): a name that holds any of them cannot be written.
UNWRITABLE = re.compile(r"""['"\\]|//|/\*|\?\?""")


def includable(name):
    """Why the file name `name` cannot be written between the quotes of an #include, or None:
    C has no escapes there, so a name with a line break, a control character, a quote, a
    backslash, // or /* (or a trigraph), or that is not UTF-8, is refused, never rewritten."""
    if printable(name) != name:
        return "a control character (a line break, say)"
    match = UNWRITABLE.search(name)
    if match:
        return f"{match[0]}, which C does not allow in an #include's name"
    return None


def tree_of(directory):
    """The tree that --header files must lie in: the top of the outermost git work tree that
    holds `directory`, else `directory` itself (see guardgen_common.tree); its real path. A
    Failure where that can be no user's tree (the home directory, or the system's)."""
    found = tree.top(directory)
    why = tree.refusal(found)
    if why:
        raise Failure(f"--header: {found}, the current directory's tree, is {why}: refused; run "
                      "it in the project whose headers it reads")
    return found


def outside(given, real, tree):
    """Why the header given as `given` (its real path `real`) is not taken from `tree`, or None:
    it lies outside, or a symbolic link on its way leads out. Where it leads is never said."""
    if under(real, [tree]):
        return None
    if under(os.path.normpath(os.path.abspath(given)), [tree]):
        return f"a symbolic link on its way leads out of {tree}, the current directory's tree"
    return f"outside {tree}, the current directory's tree"


def read_in_tree(path, tree):
    """The bytes of the header at `path`, where it is a regular file of at most LIMIT bytes
    inside `tree`: opened without following a link in its last step, looked at with fstat once
    open, and where the system can say, the file opened found inside `tree` too (a directory on
    its way swapped for a link meanwhile). Else an OSError that says why."""
    with files.open_regular(path, roots=[tree], limit=LIMIT) as f:
        opened = f"/proc/self/fd/{f.fileno()}"
        if os.path.islink(opened) and not under(os.readlink(opened), [tree]):
            raise OSError(errno.EINVAL, "outside the tree", str(path))
        return f.read(LIMIT + 1)[:LIMIT]


def checked(paths, tree):
    """The headers given, each an absolute path with its links resolved; refused in one line,
    before anything runs and before any of its text is read, if one lies outside `tree` (see
    tree_of) or is led out of it by a symbolic link, is missing, a directory, no regular file (a
    FIFO, a device), larger than LIMIT, unreadable, or has a path that no #include or listing
    can say."""
    found = []
    for given in paths:
        shown = printable(given)
        real = Path(os.path.realpath(given))
        why = outside(given, str(real), tree)
        if why:
            raise Failure(f"--header {shown}: {why}: refused")
        if real.is_dir():
            raise Failure(f"--header {shown}: is a directory")
        if not real.exists():
            raise Failure(f"--header {shown}: no such file")
        try:
            read_in_tree(real, tree)
        except OSError as error:
            raise Failure(f"--header {shown}: {error.strerror}") from None
        why = includable(real.name) or ("a control character (a line break, say) in its "
                                        "directory's path" if printable(str(real)) != str(real)
                                        else None)
        if why:
            raise Failure(f"--header {shown}: its name holds {why}: refused")
        found.append(real)
    return found


def text_of(header):
    """The text of a header that checked took, read again as it is now, with the same checks
    (inside the current directory's tree, a regular file, the same bound)."""
    try:
        data = read_in_tree(header, tree_of(os.getcwd()))
    except OSError:
        raise Failure(f"--header {printable(header)}: no longer a regular file of at most "
                      f"{files.limit_text(LIMIT)} in the current directory's tree") from None
    return data.decode("utf-8", errors="replace")


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
        problem = verdicts.unfit(how, found, INCLUDES, PROBE_HEADER, error)
        if problem is None:
            return how, None
        problems.append(problem)
    return "clock", "; ".join(problems) or None


def check_preprocessing(result, work, timeout):
    """Refuses a preprocessor whose output of the probe does not declare once per include: it
    preprocesses nothing here, and none of its answers would mean anything."""
    _, output = measure.preprocess(result, PROBE_SOURCE, work, timeout, keep_output=True)
    measure.refuse_unless_declaring(result, PROBE_SOURCE, verdicts.count_declarations(output),
                                    INCLUDES, output)


def options(header, defines, directories):
    """-D and -I as given, and the header's own directory on the include path."""
    return ([f"-D{d}" for d in defines] + [f"-I{d}" for d in directories]
            + [f"-I{header.parent}"])


def write_source(work, name, include, count):
    path = work / name
    path.write_text(f'#include "{include}"\n' * count)
    return name


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
    _, status, output, errors = run(argv, work, timeout, keep_output=True)
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


def counted(result, header, number, work, timeout, defines, directories):
    """The Answer from the entries the preprocessor's listing or its opens show."""
    how = result.how
    source = write_source(work, f"header{number}.c", header.name, INCLUDES)
    counts, error = entries_in(result, options(header, defines, directories), source, work,
                               timeout, how)
    if counts is None:
        return Answer("unclear", None, INCLUDES, f"{how}: it failed on the header", error)
    found = counts[str(header)]
    verdict = verdicts.entries_verdict(found, INCLUDES)
    return Answer(verdict, found, INCLUDES,
                  verdicts.told(how, verdict, verdicts.entries_unclear(found, INCLUDES)))


def unskippable(text):
    """The header's text, read in full on every include by any preprocessor: no #pragma once,
    and after all the rest a condition, which writes nothing but keeps any guard from holding
    the whole file, and an #undef of the guard's macro, so that the body inside it is read again
    by a preprocessor that passes over a branch not taken."""
    macro = shapes.shape(text).macro
    return (shapes.without_pragma_once(text) + "\n#if 0\n#endif\n"
            + (f"#undef {macro}\n" if macro else ""))


def by_clock(result, header, number, work, timeout, defines, directories):
    """The entries, estimated by the clock: CLOCK_INCLUDES includes of the header against as many
    of a copy that no preprocessor can skip and of a header of one declaration (an include's own
    cost), and against an empty source, the fastest of CLOCK_RUNS interleaved runs each."""
    copy = work / f"unskippable{number}_{header.name}"
    copy.write_text(unskippable(text_of(header)))
    fixed = work / f"fixed{number}_{header.name}"
    fixed.write_text("extern int i;\n")
    sources = {
        "header": write_source(work, f"clock{number}.c", header.name, CLOCK_INCLUDES),
        "copy": write_source(work, f"clock{number}_copy.c", copy.name, CLOCK_INCLUDES),
        "fixed": write_source(work, f"clock{number}_fixed.c", fixed.name, CLOCK_INCLUDES),
        "empty": write_source(work, f"clock{number}_empty.c", header.name, 0),
    }
    extra = options(header, defines, directories)
    times = {kind: [] for kind in sources}
    for _ in range(CLOCK_RUNS):
        for kind, source in sources.items():
            seconds, status, _, errors = run(
                result.line(source, extra, work / measure.OUTPUT_FILE), work, timeout,
                clocked=True)
            times[kind].append(seconds)
            if status != 0:
                return Answer("unclear", None, CLOCK_INCLUDES, "clock: it failed on the header",
                              entries.first_error(errors.decode(errors="replace")) or
                              f"it ended with status {status}")
    verdict, found, why = verdicts.clock_estimate(times, CLOCK_INCLUDES)
    return Answer(verdict, found, CLOCK_INCLUDES,
                  verdicts.told("clock", verdict, why, result.unfit))


def ask(result, headers, work, timeout, defines, directories):
    """`result`'s Answer for each header, by the record its evidence found fit (result.how)."""
    ask_one = by_clock if result.how == "clock" else counted
    return [ask_one(result, header, number, work, timeout, defines, directories)
            for number, header in enumerate(headers)]


def record(headers, results, answers):
    """The JSON of the question: a record per header, with its shape and each preprocessor's
    answer by its command."""
    found = []
    for number, header in enumerate(headers):
        shape = shapes.shape(text_of(header))
        found.append({
            "path": str(header),
            "reason": shape.reason,
            "line": shape.line,
            "text": shape.text,
            "preprocessors": {
                r.command: {k: v for k, v in vars(answers[r.name][number]).items()
                            if k != "error" or v is not None}
                for r in results
            },
        })
    return found


def table(records, results):
    """A row per header, a column per preprocessor, the shape and the line that decides it; then
    a line for each preprocessor that failed on a header."""
    lines = ["| header | shape | " + " | ".join(measure.cell(r.name) for r in results) + " |",
             "|---|---|" + "---|" * len(results)]
    failures = []
    for h in records:
        shape = h["reason"] + (f", line {h['line']}: `{h['text']}`" if h["line"] else "")
        cells = []
        for r in results:
            answer = h["preprocessors"][r.command]
            cells.append(answer["verdict"])
            if answer.get("error"):
                failures.append(printable(f"{r.name} on {h['path']}: {answer['error']}"))
        lines.append(f"| {printable(shown_path(h['path'], os.getcwd()))} | {printable(shape)} | "
                     + " | ".join(cells) + " |")
    if failures:
        lines += [""] + [f"Unclear where it failed: {f}" for f in failures]
    return "\n".join(lines) + "\n"
