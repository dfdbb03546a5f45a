"""The compilation database (compile_commands.json, as CMake, Bear and Meson write it): a list of
entries, each with the unit's working directory, its source file and its command, given as a
list of "arguments" or as one "command" with shell quoting."""

import json
import os
import shlex
from dataclasses import dataclass
from pathlib import Path

from guardgen_common.processes import Failure

NAME = "compile_commands.json"


@dataclass
class Unit:
    directory: str  # absolute
    file: str  # as the entry gives it, relative to directory or absolute
    argv: list

    @property
    def path(self):
        return os.path.normpath(os.path.join(self.directory, self.file))


def locate(given):
    """The database's path: `given` (a file, or a directory that holds one), else
    ./compile_commands.json, else build/compile_commands.json."""
    if given:
        path = Path(given)
        if path.is_dir():
            path = path / NAME
        if not path.is_file():
            raise Failure(f"{path}: no compilation database there"
                          + ("" if path.name == NAME else f" (a {NAME} or a directory holding one)"))
        return path.resolve()
    for candidate in (Path(NAME), Path("build") / NAME):
        if candidate.is_file():
            return candidate.resolve()
    raise Failure(f"no {NAME} here or in build/: give the database or the directory holding it "
                  "(CMake writes one with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)")


def unit(entry, number, database):
    """The Unit of one entry (`number` from 1), or a Failure that says what it lacks."""
    where = f"{database}: entry {number}"
    if not isinstance(entry, dict):
        raise Failure(f"{where} is not an object")
    for key in ("directory", "file"):
        if not isinstance(entry.get(key), str) or not entry[key]:
            raise Failure(f"{where} has no \"{key}\"")
    if "arguments" in entry:
        argv = entry["arguments"]
        if not (isinstance(argv, list) and argv and all(isinstance(a, str) for a in argv)):
            raise Failure(f"{where}: \"arguments\" is not a list of strings")
    elif isinstance(entry.get("command"), str):
        try:
            argv = shlex.split(entry["command"])
        except ValueError as error:
            raise Failure(f"{where}: \"command\" cannot be split: {error}") from None
        if not argv:
            raise Failure(f"{where}: \"command\" is empty")
    else:
        raise Failure(f"{where} has neither \"arguments\" nor \"command\"")
    directory = os.path.normpath(os.path.join(os.path.dirname(database), entry["directory"]))
    return Unit(directory, entry["file"], list(argv))


def read(database):
    """The units of the database at `database`, in its order."""
    try:
        with open(database, encoding="utf-8") as f:
            entries = json.load(f)
    except json.JSONDecodeError as error:
        raise Failure(f"{database}: not JSON: {error.msg} at line {error.lineno}") from None
    except UnicodeDecodeError:
        raise Failure(f"{database}: not JSON: not UTF-8 text") from None
    except OSError as error:
        raise Failure(f"{database}: {error.strerror}") from None
    if not isinstance(entries, list):
        raise Failure(f"{database}: not a list of entries")
    return [unit(entry, number, database) for number, entry in enumerate(entries, 1)]
