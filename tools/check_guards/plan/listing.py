"""What runs a unit for its listing alone, and no more than that.

gcc and clang list the same with -M (dependencies only, to nowhere) as with -E, without
formatting the preprocessed text. gcc's driver, started for each unit, reads its configuration
and its options and then runs its preprocessor (cc1, cc1plus) with the words it made of the
unit's: a sixth or so of what listing a small unit takes. What it would run is asked of it with -###
(which prints the commands and the environment it would give them, and runs nothing) once for
the units that differ in their file alone, checked on a second such unit, and then the
preprocessor runs each of them as the driver would have run it: the same program, the same
words, the same environment."""

import os
import re
from dataclasses import dataclass

from guardgen_common import files, processes
from guardgen_common.failure import Failure

# The programs gcc's driver runs to preprocess C and C++.
PREPROCESSORS = frozenset({"cc1", "cc1plus"})
# A variable the driver sets for what it runs, as -### prints it.
SET = re.compile(r"([A-Z_][A-Z0-9_]*)=(.*)")
# A word -### prints as it is; any other it quotes.
PLAIN = re.compile(r"[A-Za-z0-9_/.-]+")
# Below this many units of one kind the driver runs them: asking it costs two of its starts.
FEWEST = 3
# What -### may print: a few lines of its configuration and one command.
ANSWER = 1 << 20


@dataclass(frozen=True)
class Command:
    """A program to run for a unit's listing, and what to add to its environment."""

    argv: list
    env: dict = None


def listing_argv(plan, answer):
    """What runs a unit for its listing alone, through its compiler's driver: -M in place of
    -E where it answers as gcc or clang does."""
    if answer not in ("gcc", "clang") or plan.style != "-H":
        return plan.argv
    at = plan.argv.index("-E")
    return [*plan.argv[:at], "-M", *plan.argv[at + 1:]]


def quoted(word):
    """`word` as gcc's driver prints it with -###."""
    if PLAIN.fullmatch(word):
        return word
    return '"' + re.sub(r'(["\\$])', r"\\\1", word) + '"'


def words_of(line):
    """The words of a command line that -### printed, or None where `line` is not one that the
    driver's own quoting gives back exactly."""
    words = re.findall(r' ("(?:[^"\\]|\\.)*"|[^ "]+)', line)
    words = [re.sub(r"\\(.)", r"\1", w[1:-1]) if w.startswith('"') else w for w in words]
    return words if words and "".join(" " + quoted(w) for w in words) == line else None


def asked(argv, cwd, timeout, trusted, limits=None):
    """The Command gcc's driver says it would run for `argv` in `cwd`, where that is one of its
    preprocessors alone and `trusted(program)` (a program that may run); else None. The driver
    is bounded by `limits` as the units are."""
    try:
        _, status, _, said = processes.run_program_to_file([argv[0], "-###", *argv[1:]], cwd,
                                                           timeout, limits=limits)
    except (Failure, OSError):
        return None
    with said:
        text = files.read_at_most(said, ANSWER)
    if status != 0 or len(text) > ANSWER:
        return None
    lines = text.decode("utf-8", "surrogateescape").split("\n")
    commands = [i for i, line in enumerate(lines) if line.startswith(" ")]
    if len(commands) != 1:
        return None
    words = words_of(lines[commands[0]])
    if not words or os.path.basename(words[0]) not in PREPROCESSORS or not trusted(words[0]):
        return None
    env = dict(m.groups() for m in map(SET.fullmatch, lines[:commands[0]]) if m)
    return Command(words, env)


def _template(command, source):
    """The words of `command` with the places that name `source` marked (None where it is not
    named once as itself and once by its name in -dumpbase, as gcc's driver names it)."""
    name = os.path.basename(source)
    ending = os.path.splitext(name)[1]
    marks = {"source": [], "name": [], "ending": []}
    for at, word in enumerate(command.argv):
        before = command.argv[at - 1] if at else None
        if word == source:
            marks["source"].append(at)
        elif before == "-dumpbase" and word == name:
            marks["name"].append(at)
        elif before == "-dumpbase-ext" and word == ending:
            marks["ending"].append(at)
    if len(marks["source"]) != 1 or len(marks["name"]) > 1 or len(marks["ending"]) > 1:
        return None
    return marks


def _filled(command, marks, source):
    """`command`, its marked places naming `source`."""
    name = os.path.basename(source)
    argv = list(command.argv)
    for kind, value in (("source", source), ("name", name),
                        ("ending", os.path.splitext(name)[1])):
        for at in marks[kind]:
            argv[at] = value
    return Command(argv, command.env)


def _kind(argv, cwd):
    """Units whose listings gcc's driver runs alike but for their file: the same directory, the
    same words before the file, the same ending of it (which tells the language)."""
    return cwd, tuple(argv[:-1]), os.path.splitext(argv[-1])[1]


def _ask_kind(members, cwd, timeout, trusted, limits):
    """The template of a kind, (first Command, marks), from its first member, checked on
    another whose file differs in name; None where either answer differs from the template."""
    first = members[0]
    other = next((m for m in members[1:] if os.path.basename(m[-1]) != os.path.basename(first[-1])),
                 members[1])
    command = asked(first, cwd, timeout, trusted, limits)
    marks = command and _template(command, first[-1])
    if marks is None:
        return None
    if asked(other, cwd, timeout, trusted, limits) != _filled(command, marks, other[-1]):
        return None
    return command, marks


def _askable(argv, answer):
    """Whether the driver may be asked what it runs for the listing `argv` of a compiler that
    answered `answer`: gcc's, with -M, each word on one line as -### prints it."""
    return answer == "gcc" and "-M" in argv and not any("\n" in w or "\r" in w for w in argv)


class Early:
    """The driver asked about each kind of unit (see commands) as soon as FEWEST of its units are
    planned, one of them a file of another name than the first's, in `background`, while the
    rest are: `planned(plan, cwd, answer)` is told of each plan, `answer()` giving its
    compiler's answer once probed; `asked` holds the futures of (kind, template), as commands
    takes them. A kind not asked here is asked there."""

    def __init__(self, background, timeout, trusted, limits):
        self.background, self.timeout, self.trusted, self.limits = (background, timeout, trusted,
                                                                    limits)
        self.kinds, self.asked = {}, []

    def planned(self, plan, cwd, answer):
        members = self.kinds.setdefault(_kind(plan.argv, cwd), [])
        if members is None:
            return  # asked already
        members.append(plan)
        name = os.path.basename
        if len(members) >= FEWEST and name(plan.argv[-1]) != name(members[0].argv[-1]):
            self.asked.append(self.background.submit(self._ask, members, cwd, answer))
            self.kinds[_kind(plan.argv, cwd)] = None

    def _ask(self, plans, cwd, answer):
        given = answer()
        argvs = [listing_argv(p, given) for p in plans]
        if not all(_askable(argv, given) for argv in argvs):
            return None, None
        return _kind(argvs[0], cwd), _ask_kind(argvs, cwd, self.timeout, self.trusted,
                                               self.limits)


def commands(argvs, cwds, answers, jobs, timeout, trusted, limits=None, asked=()):
    """The Command that runs each unit's listing (`argvs`, through the driver, in `cwds`): the
    preprocessor itself where its compiler answered as gcc (`answers`), the driver said the
    same of two units of its kind and `trusted(program)` holds of it; the driver's command
    otherwise. The driver is asked `jobs` at a time, of the kinds that `asked` (futures of
    (kind, template): see Early) has not asked yet."""
    kinds = {}
    for index, (argv, cwd, answer) in enumerate(zip(argvs, cwds, answers)):
        if _askable(argv, answer):
            kinds.setdefault(_kind(argv, cwd), []).append(index)
    templates = dict(future.result() for future in asked)
    asking = [(key, members) for key, members in kinds.items()
              if len(members) >= FEWEST and key not in templates]
    templates.update(zip((key for key, _ in asking), processes.in_parallel(
        lambda item: _ask_kind([argvs[i] for i in item[1]], item[0][0], timeout, trusted, limits),
        asking, jobs)))
    found = [Command(argv) for argv in argvs]
    for key, members in kinds.items():
        if len(members) >= FEWEST and templates[key] is not None:
            command, marks = templates[key]
            for index in members:
                found[index] = _filled(command, marks, argvs[index][-1])
    return found
