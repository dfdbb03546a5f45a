"""What both companions are as commands: an argument parser whose errors are one line, the one
line "tool: what" on standard error, the end of a run, the table then the JSON record, and the
run itself, its errors said, its interruptions ending it by the signal."""

import argparse
import re
import sys

from . import keeper, registry, signals
from .failure import Failure
from .names import printable
from .outputs import flush_output, json_text, write_text


class Parser(argparse.ArgumentParser):
    """argparse, its errors raised as a Failure to say in one line; `described()`, where given,
    makes the description once help is shown, so that a run loads nothing for it."""

    def __init__(self, *args, described=None, **keywords):
        super().__init__(*args, **keywords)
        self.described = described

    def format_help(self):
        if self.described is not None:
            self.description, self.described = self.described(), None
        return super().format_help()

    def error(self, message):
        raise Failure(f"{message} (see --help)")


def option(*flags, **keywords):
    """One row of a command's table of options: its flags, and argparse's keywords."""
    return flags, keywords


def add_options(parser, options):
    """Adds each of `options`, a table of (flags, argparse keywords), to `parser`: a command's
    options kept as data, each flag beside its help."""
    for flags, keywords in options:
        parser.add_argument(*flags, **keywords)


def whole_number(text):
    """The whole number above 0 that `text` writes in at most nine digits, or None: digits only
    (no sign, no space), so that a count is never so large that what it sizes cannot be made."""
    return int(text) if re.fullmatch(r"[0-9]{1,9}", text) and int(text) > 0 else None


def sayer(me):
    """A function that says one line as `me` on standard error: its control characters escaped,
    so that a name in it cannot forge a line of its own."""
    def say(message):
        print(f"{me}: {printable(message)}", file=sys.stderr)
    return say


def finish(table, record, json_path):
    """The end of a run: the table on standard output, unless the JSON record goes there
    (`json_path` "-"); then the record, where asked for."""
    if json_path != "-":
        flush_output(table)
    if json_path:
        write_text(json_path, json_text(record))


def run_as_command(me, main):
    """Runs `main` on the command line's arguments as the command `me`: its status; for an error,
    one line "me: what" on standard error and status 1; for an interruption, every program it
    started stopped and the end by that signal."""
    signals.catch_interruptions(registry.stop_all, keeper.end)
    say = sayer(me)
    try:
        status = main(sys.argv[1:])
        # A signal that landed while the run wrote its output (a write it cut short returns as
        # if done): the run was interrupted all the same, and never ends as a success.
        signals.check_interrupted()
    except Failure as failure:
        # One without words was said where it happened (in the tool's sandbox).
        if failure.args != (None,):
            say(failure)
        status = 1
    except signals.Interrupted as interruption:
        signals.end_by_signal(interruption.number, registry.stop_all, keeper.end)
    except OSError as error:
        say(f"{error.filename}: {error.strerror}" if error.filename else error)
        status = 1
    finally:
        registry.stop_all()
        keeper.end()
    sys.exit(status)
