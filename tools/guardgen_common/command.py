"""What both companions are as commands: an argument parser whose errors are one line, the one
line "tool: what" on standard error, and the end of a run, the table then the JSON record."""

import argparse
import sys

from .failure import Failure
from .names import printable
from .outputs import flush_output, json_text, write_text


class Parser(argparse.ArgumentParser):
    """argparse, its errors raised as a Failure to say in one line."""

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
