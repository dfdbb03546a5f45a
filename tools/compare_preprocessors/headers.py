"""The question asked of any header with --header: does each preprocessor skip it when it is
included again, and why, from its shape? The header is included INCLUDES times as
#include "NAME" from a source in the run's temporary directory, with the header's own directory
on the include path, so that a header that includes its neighbours (or itself) works as in its
project. The answer comes from what the preprocessor did: the times it entered the header, from
its own listing where it has one (gcc and clang: -H; cl: /showIncludes), else from the files it
opened (strace, on Linux, where installed), else by the clock against a copy of the header that
no preprocessor can skip."""

import os
from dataclasses import dataclass

from guardgen_common import entries, shapes
from guardgen_common.markdown import cell, code_cell, shape_words
from guardgen_common.names import printable, shown_path
from guardgen_common.processes import run_program

from . import entry_counts, measure, verdicts
from .header_files import text_of
from .records import INCLUDES, entries_in


# Includes of the header where only the clock can tell, and its runs.
CLOCK_INCLUDES = 5000
CLOCK_RUNS = 5


@dataclass
class Answer:
    verdict: str  # "skipped", "re-read" or "unclear"
    entries: float  # None where it could not be told
    includes: int
    how: str  # "listing", "showIncludes", "opens" or "clock"
    error: str = None  # the preprocessor's first error line, where it failed on the header


def options(header, defines, directories):
    """-D and -I as given, and the header's own directory on the include path."""
    return ([f"-D{d}" for d in defines] + [f"-I{d}" for d in directories]
            + [f"-I{header.parent}"])


def write_source(work, name, include, count):
    path = work / name
    path.write_text(f'#include "{include}"\n' * count)
    return name



def counted(result, header, number, work, timeout, defines, directories):
    """The Answer from the entries the preprocessor's listing or its opens show."""
    how = result.how
    source = write_source(work, f"header{number}.c", header.name, INCLUDES)
    counts, error = entries_in(result, options(header, defines, directories), source, work,
                               timeout, how)
    if counts is None:
        return Answer("unclear", None, INCLUDES, f"{how}: it failed on the header", error)
    found = counts[str(header)]
    verdict = entry_counts.entries_verdict(found, INCLUDES)
    return Answer(verdict, found, INCLUDES,
                  verdicts.told(how, verdict, entry_counts.entries_unclear(found, INCLUDES)))


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
            seconds, status, _, errors = run_program(
                result.line(source, extra, work / measure.OUTPUT_FILE), work, timeout,
                clocked=True)
            times[kind].append(seconds)
            if status != 0:
                return Answer("unclear", None, CLOCK_INCLUDES, "clock: it failed on the header",
                              entries.first_error(errors.decode(errors="replace")) or
                              f"it ended with status {status}")
    verdict, found, why = entry_counts.clock_estimate(times, CLOCK_INCLUDES)
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
    lines = ["| header | shape | " + " | ".join(cell(r.name) for r in results) + " |",
             "|---|---|" + "---|" * len(results)]
    failures = []
    for h in records:
        cells = []
        for r in results:
            answer = h["preprocessors"][r.command]
            cells.append(answer["verdict"])
            if answer.get("error"):
                failures.append(printable(f"{r.name} on {h['path']}: {answer['error']}"))
        shape = shape_words(h["reason"], h["line"], h["text"], code_cell)
        lines.append(f"| {cell(shown_path(h['path'], os.getcwd()))} | {shape} | "
                     + " | ".join(cells) + " |")
    if failures:
        lines += [""] + [f"Unclear where it failed: {f}" for f in failures]
    return "\n".join(lines) + "\n"
