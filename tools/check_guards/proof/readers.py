"""How the proof runs a unit in a tree (the user's, or a scratch copy of it): its argv with the
paths moved into the tree, -E for its text and listing, -S for its code, and digests of what
must not change."""

import hashlib
import os
import re
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple

from guardgen_common import entries, processes
from guardgen_common.files import under

from .scratch import View

# Options whose value is a path, as the allowlist passes them: joined, or as the next word.
PATH_JOINED = ("-I", "-isystem", "-iquote", "-idirafter", "-cxx-isystem", "-iframework", "-F",
               "/I", "/FI", "/external:I", "-imsvc")
PATH_NEXT = ("-include", "-imacros")


class Unit:
    """A changed unit as the proof runs it: its directory, its plan's argv and listing style
    (see compilers.Plan), and the files it reads that are not the compiler's own."""

    def __init__(self, unit, plan, defaults, roots=None, again=True):
        self.directory, self.argv, self.defaults = unit.directory, plan.argv, defaults
        self.style = plan.style
        self.path = unit.path
        self.again = again  # whether it entered a header again: only those are timed
        self.roots = roots  # where the files it reads may be copied from
        self.files = set()
        self.text = None  # the digest of its text in the user's tree, as list_files found it


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
    written) instead of preprocessing, with the scratch tree's name mapped away; -H kept, as it
    names a precompiled header that the compile reads."""
    out = []
    for word in argv_in(argv, tree):
        if word == "-E":
            out += ["-S", "-o", "-"]
            if tree:
                out += [f"-ffile-prefix-map={tree}=", f"-fdebug-prefix-map={tree}="]
        else:
            out.append(word)
    return out


# A line marker of -E: gcc's and clang's "# 12 "file" 1 3", or "#line 12 "file"" (cl's).
MARKER = re.compile(rb'[ \t]*#[ \t]*(?:line[ \t]+)?(\d+)'
                    rb'(?:[ \t]+("(?:[^"\\]|\\.)*")((?:[ \t]+\d+)*))?[ \t]*$')


def normal(output, tree):
    """The digest of what must not change of the output, the scratch tree's name (where there is
    one) taken out: each line of text, blanks around it aside, with the file and line the line
    markers give it (and whether that file is a system header, flags 3 and 4), which
    __builtin_LINE() and std::source_location take; blank lines only count the lines."""
    digest = hashlib.sha256()
    place, number = b"", 0
    for line in (output.replace(tree.encode(), b"") if tree else output).splitlines():
        marker = MARKER.match(line)
        if marker:
            number = int(marker[1])
            if marker[2] is not None:
                flags = set((marker[3] or b"").split()) & {b"3", b"4"}
                place = marker[2] + b"".join(b" " + f for f in sorted(flags))
            continue
        stripped = line.strip()
        if stripped:
            digest.update(b"%s\0%d\0%s\n" % (place, number, stripped))
        number += 1
    return digest.hexdigest()


def preprocess(unit, view, timeout):
    """(output digest, listing as [(depth, path)] with the tree taken out, the files of the
    build's it read outside a scratch tree) of `unit` in `view` (a scratch.View)."""
    tree = view.prefix
    _, status, output, said = processes.run_program_to_file(
        argv_in(unit.argv, tree), tree + unit.directory, timeout, keep_output=True,
        binds=view.binds)
    with said:
        try:
            raw = list(entries.walk_of(unit.style)(said, tree + unit.directory))
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


class Code(NamedTuple):
    """What a unit compiles to: the digest of its assembly, or None where it failed or is no
    unit of gcc's or clang's; and the precompiled header it read, which -E never reads (its
    code is then not the code of the text compared)."""
    digest: str = None
    precompiled: str = None


# A precompiled header that gcc's -H names as read: "! file.gch", dots before it for its depth.
READ_PCH = re.compile(rb"\.*! (.+?)\r?\n?$")


def compiled(unit, view, timeout):
    """The Code that `unit` compiles to in `view`."""
    if unit.style != "-H":
        return Code()
    tree = view.prefix
    argv = assembly_argv(unit.argv, tree)
    _, status, output, said = processes.run_program_to_file(
        argv, tree + unit.directory, timeout, keep_output=True, binds=view.binds)
    with said:
        read = next((m[1] for m in map(READ_PCH.match, said) if m), None)
    found = (os.path.join(tree + unit.directory, os.fsdecode(read)) if read
             else probed_pch(argv, tree + unit.directory))
    if found:
        found = os.path.normpath(found)
        return Code(precompiled=found[len(tree):] if tree and found.startswith(tree) else found)
    if status != 0:
        return Code()
    return Code(hashlib.sha256(output.replace(tree.encode(), b"") if tree else output)
                .hexdigest())


def probed_pch(argv, directory):
    """The precompiled header beside a file of -include in `argv` (run in `directory`), which
    clang's driver reads in its stead and names nowhere: FILE.pch, else FILE.gch; or None."""
    for option, value in zip(argv, argv[1:]):
        if option == "-include":
            for name in (value + ".pch", value + ".gch"):
                path = os.path.join(directory, name)
                if os.path.lexists(path):
                    return path
    return None


def list_files(units, jobs, timeout):
    """Gives each unit its files: its own, and those its listing names where it stands (in the
    user's tree), the compiler's own aside; and the digest of its text there."""
    found = parallel(jobs, lambda u: preprocess(u, View(), timeout), units)
    for unit, (text, walked, _) in zip(units, found):
        unit.files = {unit.path} | {p for _, p in walked if not under(p, unit.defaults)}
        unit.text = text
