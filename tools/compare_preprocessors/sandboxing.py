"""The sandbox every program of a run starts in: the current directory's tree and the -I
directories read-only, the programs' installations, and the run's temporary directory, the one
place written; or, with --no-sandbox, none, said once."""

import os
import shutil
import sys

from guardgen_common import context, files, sandbox, system

from . import header_files, say


def installations(results, guardgen):
    """Where the programs that run lie: the installation of each (the directory above the one
    that holds it, as /usr for /usr/bin/gcc), this Python's, which times each run inside, and the
    directory of each file that a command names by an absolute path (a script given to an
    interpreter)."""
    programs_run = [guardgen, shutil.which("strace"), sys.executable,
                    *(shutil.which(r.argv[0]) for r in results)]
    named = [w for r in results for w in r.argv[1:] if os.path.isabs(w) and os.path.isfile(w)]
    return sorted({os.path.dirname(os.path.dirname(os.path.realpath(p)))
                   for p in programs_run if p}
                  | {os.path.dirname(os.path.realpath(w)) for w in named})


def contain(args, results, guardgen):
    """Runs every program from now on in the sandbox: it sees the current directory's tree and
    the -I directories read-only, the programs' installations (see installations), and the run's
    temporary directory, which it may write; or, with --no-sandbox, without it, said once. Windows
    has no bubblewrap: there they run without it, as the docs say."""
    if system.WINDOWS:
        return
    if args.no_sandbox:
        say("--no-sandbox: the preprocessors run without the sandbox, and what a header includes "
            "is read as you can read it")
        return
    # The tree is seen only where --header reads from it.
    tree = [header_files.tree_of(os.getcwd())] if args.header else []
    readable = [*tree, *(os.path.abspath(d) for d in args.include_dirs or []),
                *installations(results, guardgen)]
    context.configure(sandbox.start(
        context.search_path(), readable, kept="the preprocessors",
        trusted=lambda bwrap: not files.under(os.path.realpath(bwrap), tree)),
        scratch_writable=True)
