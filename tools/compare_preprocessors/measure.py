"""Running the preprocessors: each run bounded in time and stopped with everything it started,
and timed in rounds that take every preprocessor, style and count in a new random order."""

import os
import re
import shlex
import shutil
from dataclasses import dataclass, field

from guardgen_common import entries, programs, system
from guardgen_common.failure import Failure
from guardgen_common.processes import run_program

from . import declarations


@dataclass
class Result:
    name: str
    command: str
    argv: list
    version: str = None
    # timed style (one of verdicts.STYLES, or a guard form) -> count -> seconds of each run
    times: dict = field(default_factory=dict)
    # style -> declarations in the output at the largest count, and its first line that is not
    # blank
    declarations: dict = field(default_factory=dict)
    first_lines: dict = field(default_factory=dict)
    # #pragma once identity case -> declarations (None: not tried), and the lifted guard's verdict
    identity: dict = field(default_factory=dict)
    guard_undef: str = None
    # How it tells the headers it entered: "listing", "showIncludes", "opens" or "clock"; and the
    # verdicts that its own record gives, question -> (verdict, how, entries)
    how: str = "clock"
    exact: dict = field(default_factory=dict)
    # timed style -> the counts it is timed at
    plan: dict = field(default_factory=dict)
    # Why its record of the headers it entered cannot tell, where it was tried and failed (its
    # verdicts then come from the output and the clock), else None
    unfit: str = None

    @property
    def writes_file(self):
        """Whether the command writes its output to a file it is told, by OUTPUT."""
        return any(OUTPUT in word for word in self.argv)

    def line(self, source, extra=(), output=None):
        """The command line that preprocesses `source` with the `extra` words: the file goes where
        INPUT stands, else last, and the `extra` words just before it; `output` where OUTPUT
        stands."""
        words = [w.replace(OUTPUT, str(output)) for w in self.argv]
        at = next((k for k, w in enumerate(words) if INPUT in w), None)
        if at is None:
            return [*words, *extra, source]
        return [*words[:at], *extra, *(w.replace(INPUT, source) for w in words[at:])]


# In a command: where the file to preprocess goes (else it goes last), and where the name of the
# file to write the output to goes, for a preprocessor that writes none to standard output.
INPUT = "{in}"
OUTPUT = "{out}"
# The file such a preprocessor writes, in the run's directory, read where its output counts.
OUTPUT_FILE = "preprocessed.out"


def command_for(name):
    """The command, as one string, that preprocesses a file for the preprocessor `name`."""
    return programs.KNOWN_COMMANDS.get(name, name)


def preprocessor(name):
    """The Result to fill for `name`, once its program is found."""
    command = command_for(name)
    try:
        argv = shlex.split(command, posix=not system.WINDOWS)
    except ValueError:
        raise Failure(f"preprocessor '{name}': its quoting is not closed") from None
    if not argv:
        raise Failure("an empty preprocessor command: give a name or a command with -p")
    if shutil.which(argv[0]) is None:
        if os.sep in argv[0] or (os.altsep and os.altsep in argv[0]):
            raise Failure(f"preprocessor '{name}': {argv[0]} is no program that can be run")
        raise Failure(f"preprocessor '{name}': {argv[0]} is not found on the PATH")
    return Result(name, command, argv)


def preprocessors(names):
    """The Results for `names`, refusing one that is given twice, under any of its names."""
    results = []
    for name in names:
        result = preprocessor(name)
        for other in results:
            if other.argv == result.argv:
                same = (f"'{name}'" if other.name == name
                        else f"'{other.name}' and '{name}' (both '{result.command}')")
                raise Failure(f"preprocessor given twice: {same}")
        results.append(result)
    return results


def telling_line(data):
    """The line of a program's messages that says best why it failed."""
    return entries.first_error(data.decode(errors="replace"))


def failed_run(result, file, status, errors):
    """What to tell of a preprocessor that failed on `file`, in words to act on."""
    said = telling_line(errors)
    message = (f"'{result.command}' did not preprocess {file}: it ended with status {status}"
               + (f" and said: {said}" if said else " and said nothing"))
    if programs.needs_e(result.argv[0]) and not {"-E", "/E"} & set(result.argv):
        message += f"; a compiler preprocesses only with -E: try -p '{result.command} -E'"
    return message


def preprocess(result, file, work, timeout, keep_output=False):
    """Seconds that preprocessing `file` takes, and the output if asked for: what the command
    wrote to standard output, or to the file it was told to write."""
    written = work / OUTPUT_FILE
    if result.writes_file and keep_output:
        written.unlink(missing_ok=True)  # so that a file it did not write is not read
    seconds, status, output, errors = run_program(result.line(file, output=written), work,
                                                  timeout, keep_output and not result.writes_file,
                                                  clocked=True)
    if status != 0:
        raise Failure(failed_run(result, file, status, errors))
    if result.writes_file and keep_output:
        output = written.read_bytes() if written.is_file() else b""
    return seconds, output.decode(errors="replace")


VERSION = re.compile(r"\d+\.\d+")
# How long a program may take to say its version.
VERSION_TIMEOUT = 5


def version_line(argv):
    """The line in which the program says its version, from --version or -v, or None."""
    for flag in ("--version", "-v"):
        try:
            _, _, output, errors = run_program([argv[0], flag], None, VERSION_TIMEOUT,
                                               keep_output=True)
        except (Failure, OSError):
            continue
        for line in (output + b"\n" + errors).decode(errors="replace").splitlines():
            if VERSION.search(line) and "option" not in line:
                return line.strip()
    return None


def refuse_unless_declaring(result, file, found, expected, output):
    """Stops the run where `result`'s output of `file` declares `found` times, not `expected`,
    saying what it printed instead."""
    if found == expected:
        return
    printed = next((line for line in output.splitlines() if line.strip()), "")
    raise Failure(
        f"'{result.command}' does not preprocess here: its output of {file} "
        f"declares {found} times, not {expected}; "
        + (f"it printed {printed!r}" if printed else "it printed nothing")
    )


def refuse_unless_preprocessing(result, largest):
    """Stops the run if `result`'s output at the largest count is not what preprocessing
    guardgen's files gives, saying what it printed instead."""
    problem = declarations.output_problem(result.declarations, largest)
    if problem is not None:
        style, found, expected = problem
        refuse_unless_declaring(result, f"{style}{largest}.c", found, expected,
                                result.first_lines[style])


def warm(result, plan, work, timeout):
    """An untimed run of each style in `plan` (style -> counts) at each count: the declarations
    of each at its largest count counted, and every file brought into the cache."""
    for style, counts in plan.items():
        largest = max(counts)
        _, output = preprocess(result, f"{style}{largest}.c", work, timeout, keep_output=True)
        result.declarations[style] = declarations.count_declarations(output)
        result.first_lines[style] = next((l for l in output.splitlines() if l.strip()), "")
        result.times[style] = {count: [] for count in counts}
        for count in counts:
            if count != largest:
                preprocess(result, f"{style}{count}.c", work, timeout)
    result.plan.update(plan)


def warm_up(results, work, timeout):
    """An untimed first round over each result's plan (style -> counts to time it at), which
    checks the declarations of each style (see warm)."""
    for result in results:
        warm(result, result.plan, work, timeout)
        refuse_unless_preprocessing(result, max(result.plan["ng"]))


def time_rounds(results, rounds, work, timeout, shuffle, progress):
    """`rounds` timed runs of every result's styles and counts in its plan, in rounds that take
    them all in a new random order each time, so that a drift of the machine spreads over all of
    them alike. `progress` is told "round N of `rounds`" as each begins."""
    jobs = [(r, s, c) for r in results for s, counts in r.plan.items() for c in counts]
    for number in range(rounds):
        progress(f"round {number + 1} of {rounds}")
        shuffle.shuffle(jobs)
        for result, style, count in jobs:
            seconds, _ = preprocess(result, f"{style}{count}.c", work, timeout)
            result.times[style][count].append(seconds)
