"""How the proof runs a unit in a tree (the user's, or a scratch copy of it): its argv with the
paths moved into the tree, -E for its text and listing, -S for its code, and digests of what
must not change."""

import hashlib
import os
from concurrent.futures import ThreadPoolExecutor

from guardgen_common import entries, processes

from .compilers import under
from .scratch import View

# Options whose value is a path, as the allowlist passes them: joined, or as the next word.
PATH_JOINED = ("-I", "-isystem", "-iquote", "-idirafter", "-cxx-isystem", "-iframework", "-F",
               "/I", "/FI", "/external:I", "-imsvc")
PATH_NEXT = ("-include", "-imacros")


class Unit:
    """A changed unit as the proof runs it: its directory and argv, and the files it reads that
    are not the compiler's own."""

    def __init__(self, unit, argv, defaults, roots=None, again=True):
        self.directory, self.argv, self.defaults = unit.directory, argv, defaults
        self.path = unit.path
        self.again = again  # whether it entered a header again: only those are timed
        self.roots = roots  # where the files it reads may be copied from
        self.files = set()


def parallel(jobs, work, items):
    """`work` of each of `items`, `jobs` at a time, in their order."""
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(work, items))


def rerooted(path, tree):
    """`path` (absolute) in the scratch `tree`, where the copy holds it."""
    moved = tree + path
    return moved if os.path.lexists(moved) else path


def argv_in(argv, tree, timed=False):
    """A unit's argv with the paths into its copied files moved into `tree`; without -H where it
    is `timed`. The compiler stays the one outside: a copy in the scratch tree never runs."""
    out, take = argv[:1], False
    for word in argv[1:]:
        if take:
            out.append(rerooted(word, tree) if os.path.isabs(word) else word)
            take = False
            continue
        option = next((o for o in PATH_JOINED if word.startswith(o) and len(word) > len(o)
                       and os.path.isabs(word[len(o):])), None)
        if option:
            out.append(option + rerooted(word[len(option):], tree))
        elif word in ("-H", "/showIncludes") and timed:
            continue
        else:
            out.append(rerooted(word, tree) if os.path.isabs(word) else word)
            take = word in PATH_NEXT
    return out


def assembly_argv(argv, tree):
    """The unit's argv in `tree`, made to compile to assembly on standard output (nothing is
    written) instead of preprocessing, with the scratch tree's name mapped away."""
    out = []
    for word in argv_in(argv, tree):
        if word == "-E":
            out += ["-S", "-o", "-"]
            if tree:
                out += [f"-ffile-prefix-map={tree}=", f"-fdebug-prefix-map={tree}="]
        elif word != "-H":
            out.append(word)
    return out


def normal(output, tree):
    """The output with the scratch tree's name (where there is one) taken out, without line
    markers and blank lines: what must not change."""
    digest = hashlib.sha256()
    for line in (output.replace(tree.encode(), b"") if tree else output).splitlines():
        stripped = line.strip()
        if stripped and not (stripped.startswith(b"# ") and stripped[2:3].isdigit()) \
                and not stripped.startswith(b"#line"):
            digest.update(stripped + b"\n")
    return digest.hexdigest()


def preprocess(unit, view, timeout):
    """(output digest, listing as [(depth, path)] with the tree taken out, the files of the
    build's it read outside a scratch tree) of `unit` in `view` (a scratch.View)."""
    tree = view.prefix
    _, status, output, said = processes.run_to_file(
        argv_in(unit.argv, tree), tree + unit.directory, timeout, keep_output=True,
        binds=view.binds)
    with said:
        try:
            raw = list(entries.walker(unit.argv)(said, tree + unit.directory))
        except entries.Unclear:
            return None, [], []
    walked = [(d, p[len(tree):] if tree and p.startswith(tree + os.sep) else p) for d, p in raw]
    # In a scratch tree, a file of the build's named by its absolute path is read from the
    # user's tree, unpatched: what the unit read there was not seen.
    outside = [p for _, p in raw if tree and not p.startswith(tree + os.sep)
               and not under(p, unit.defaults)]
    if status != 0:
        return None, walked, outside
    return normal(output, tree), walked, outside


def compiled(unit, view, timeout):
    """The digest of the assembly that `unit` compiles to in `view`, or None where it fails or
    is no unit of gcc's or clang's."""
    if "/showIncludes" in unit.argv:
        return None
    tree = view.prefix
    _, status, output, said = processes.run_to_file(
        assembly_argv(unit.argv, tree), tree + unit.directory, timeout, keep_output=True,
        binds=view.binds)
    said.close()
    if status != 0:
        return None
    return hashlib.sha256(output.replace(tree.encode(), b"") if tree else output).hexdigest()


def list_files(units, jobs, timeout):
    """Gives each unit its files: its own, and those its listing names where it stands (in the
    user's tree), the compiler's own aside."""
    found = parallel(jobs, lambda u: preprocess(u, View(), timeout), units)
    for unit, (_, walked, _) in zip(units, found):
        unit.files = {unit.path} | {p for _, p in walked if not under(p, unit.defaults)}
