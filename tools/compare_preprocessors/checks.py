"""Everything that can be checked before anything runs, each refused in one line: the headers,
the counts, guardgen, the preprocessors, the output paths and the room the files take."""

import importlib
import os
import shutil
import sys
from pathlib import Path

from guardgen_common import programs, system
from guardgen_common.failure import Failure
from guardgen_common.outputs import check_writable

from . import header_files
from . import inputs, measure, report
from .options import DEFAULT_COUNTS, parse_count


def find_guardgen(given):
    """The program given, else the one installed beside this tool, else the one built in the
    source tree the tool is in, else guardgen on the PATH."""
    if given:
        path = Path(given)
    else:
        tools = Path(sys.argv[0]).resolve().parent
        candidates = [tools / system.GUARDGEN, tools.parent / "build" / system.GUARDGEN]
        found = shutil.which("guardgen")
        path = next((c for c in candidates if c.is_file()), Path(found) if found else None)
        if path is None:
            raise Failure("guardgen not found: build it, or give it with -g")
    if not path.is_file():
        raise Failure(f"guardgen not found: {path}")
    if not os.access(path, os.X_OK):
        raise Failure(f"guardgen cannot be run: {path} is not executable")
    return path.resolve()


def check_plot(path):
    """Refuses a --plot that cannot be drawn, before the long run: a name of no format it draws,
    a path that cannot be written, or no matplotlib to draw it with. matplotlib is imported here
    to find out, and again where the plot is drawn."""
    if path is None:
        return
    if report.plot_format(path) is None:
        raise Failure(f"{path}: a plot's name ends in {', '.join(report.PLOT_FORMATS)}")
    check_writable(path)
    try:
        importlib.import_module("matplotlib")
    except ImportError:
        raise Failure("--plot needs matplotlib (Debian: python3-matplotlib)") from None


def check_inputs(args):
    """Everything that can be checked before anything runs, each refused in one line: the
    headers, the counts, guardgen, the preprocessors, the output paths and the room the files
    take. (headers, counts, guardgen, the Results to fill); guardgen None where nothing is timed,
    --header being asked alone."""
    given = (header_files.checked(args.header, header_files.tree_of(os.getcwd())) if args.header
             else [])
    timed = not given or bool(args.counts)
    counts = sorted({0, *(parse_count(c) for c in args.counts or map(str, DEFAULT_COUNTS))})
    guardgen = find_guardgen(args.guardgen) if timed else None
    names = args.preprocessors or [n for n in programs.DEFAULT_NAMES if shutil.which(n)]
    if not names:
        raise Failure("no preprocessor found (" + ", ".join(programs.DEFAULT_NAMES) +
                      "): give one with -p")
    results = measure.preprocessors(names)
    check_writable(args.json)
    if args.plot and not timed:
        raise Failure("--plot draws the timed comparison: give counts as well as --header")
    check_plot(args.plot)
    if timed:
        inputs.check_room(counts, writes_file=any(r.writes_file for r in results))
    return given, counts, guardgen, results
