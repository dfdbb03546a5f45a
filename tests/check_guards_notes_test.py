#!/usr/bin/python3
"""check-guards --diagnostics end to end with the gcc of this machine: for a small tree of each
cause, every note's line and what it says of it, checked against where gcc itself entered each
header (its -H tree, and the line markers of -E for the #include lines), and its --patch proven;
and a cause added to a copy of the catalogue, whose fix is proven where its entry says."""

import collections
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import unittest.mock
from pathlib import Path

TOOLS = Path(__file__).resolve().parent.parent / "tools"
sys.path.insert(0, str(TOOLS))

from check_guards import audit  # noqa: E402
from check_guards.audit import catalogue  # noqa: E402
from check_guards.plan import listing, program  # noqa: E402

MARKER = re.compile(r'^# (\d+) "((?:[^"\\]|\\.)*)"((?: \d)*)$', re.M)
LISTED = re.compile(r"^(\.+) (.*)$", re.M)
LINE = re.compile(r"^(.*?):(\d+):1: (warning|note): (.*)$")
NOTE = re.compile(r"^(first reached here|included again here(, by another route)?"
                  r"|included back here, while it is still open"
                  r"|its guard's macro is #undef'd here)(?: \((.*)\))?: (.*)$")


class Entry:
    """One entry of a header as gcc made it: the file, as named and real, the entry it lies in
    (`up`), the line of the #include there, and whether it is the unit's first of the file."""

    def __init__(self, name, path, up=None):
        self.name, self.path, self.up, self.line, self.first = name, path, up, None, False

    @property
    def open(self):
        """The files open around it, the unit's first."""
        out, up = [], self.up
        while up is not None:
            out.append(up.path)
            up = up.up
        return out[::-1]

    @property
    def route(self):
        """(path, line) of each #include from the unit down to this entry."""
        out, entry = [], self
        while entry.up is not None:
            out.append((entry.up.path, entry.line))
            entry = entry.up
        return out[::-1]


def entries_of(build, unit):
    """Each entry of a header in `unit` (compiled in `build` as the database says), as gcc's
    line markers give them; checked against the tree of its -H listing."""
    done = subprocess.run(["gcc", "-I../include", "-E", "-H", unit], cwd=build, check=True,
                          capture_output=True, text=True, timeout=60)

    def real(name):
        return os.path.realpath(os.path.join(build, name))

    stack, entries = [], []
    for marker in MARKER.finditer(done.stdout):
        number, name, flags = int(marker[1]), marker[2], marker[3].split()
        if "1" in flags:  # a file entered, from the one on top
            entry = Entry(name, real(name), stack[-1])
            entries.append(entry)
            stack.append(entry)
        elif "2" in flags:  # back in the file on top, on the line after the #include
            stack.pop().line = number - 1
        elif not stack or stack[-1].name != name:  # the unit, <built-in>, <command-line>
            stack = [Entry(name, real(name))]
    ours = [e for e in entries if e.open[0] == real(unit)]
    seen = set()
    for e in ours:
        e.first = e.path not in seen
        seen.add(e.path)
    # The tree of -H: each entry as deep as the files open around it.
    listed = [(len(m[1]), real(m[2])) for m in LISTED.finditer(done.stderr)]
    assert listed == [(len(e.open), e.path) for e in ours], (listed, done.stdout)
    return ours


def tree(top, files):
    """The files under `top`, a work tree's top (so that src/ beside build/ is in its tree), and
    build/compile_commands.json that compiles each of src/."""
    (top / ".git").mkdir()
    for name, text in files.items():
        (top / name).parent.mkdir(parents=True, exist_ok=True)
        (top / name).write_text(text)
    units = sorted(n for n in files if n.startswith("src/"))
    (top / "build").mkdir()
    (top / "build" / "compile_commands.json").write_text(json.dumps([
        {"directory": str(top / "build"), "file": f"../{u}",
         "arguments": ["gcc", "-I../include", "-c", f"../{u}"]} for u in units]))
    return units


GUARDED = "#ifndef {0}\n#define {0}\nint {1};\n#endif\n"
LOOP = {
    "include/loop_a.h": '#ifndef LOOP_A_H\n#define LOOP_A_H\n#include "loop_b.h"\nint a;\n#endif\n',
    "include/loop_b.h": '#ifndef LOOP_B_H\n#define LOOP_B_H\n#include "loop_a.h"\nint b;\n#endif\n',
    "include/sub/other.h": '#include "../loop_a.h"\n',
}


@unittest.skipUnless(shutil.which("gcc"), "gcc is not installed")
class Notes(unittest.TestCase):
    def test_each_note_says_what_its_line_is_in_gccs_own_tree(self):
        # (what it is, the tree, the header, its cause, the kinds of note there must be)
        cases = [
            ("a cycle", {
                "include/loop.h": '#ifndef LOOP_H\n#define LOOP_H\n#include "back.h"\n#endif\n',
                "include/back.h": '#include "loop.h"\nint back;\n',
                "src/u1.c": '#include "loop.h"\n',
            }, "include/loop.h", "cycle", {"back"}),
            # With an #include in a branch not taken, which gcc's tree passes over.
            ("no guard", {
                "include/bad.h": "int bad(void);\n",
                "include/other.h": '#include "bad.h"\n',
                "src/u1.c": '#include "bad.h"\n#ifdef NEVER\n#include "bad.h"\n#endif\n'
                            '#include "other.h"\n#include "bad.h"\n',
                "src/u2.c": '#include "other.h"\n#include "bad.h"\n',
                "src/u3.c": '#if 0\n#include "bad.h"\n#endif\n#include "bad.h"\n#include "bad.h"\n',
            }, "include/bad.h", "shape", {"again"}),
            # An #include of a macro's value, which names no file in the text: no entry is put
            # on a line it may not have come from (line 1 again, or one under #if 0).
            ("no guard, and an #include of a macro", {
                "include/bad.h": "int bad(void);\n",
                "src/u1.c": '#include "bad.h"\n#define B "bad.h"\n#include B\n',
                "src/u2.c": '#include "bad.h"\n#if 0\n#include "bad.h"\n#endif\n'
                            '#define H "bad.h"\n#include H\n',
                "src/u3.c": '#include "bad.h"\n#include "bad.h"\n',
            }, "include/bad.h", "shape", {"again"}),
            ("an #undef", {
                "include/u.h": GUARDED.format("U_H", "u"),
                "include/reset.h": "#undef U_H\n",
                "src/u1.c": '#include "u.h"\n#include "reset.h"\n#include "u.h"\n',
            }, "include/u.h", "macro_undefined", {"again", "undef"}),
            # Three units that reach r.h first the same way: the first include of each is
            # first reached, never included again.
            ("another route", {
                "include/r.h": GUARDED.format("R_H", "r"),
                "include/sub/s.h": '#include "../r.h"\n',
                "src/u1.c": '#include "r.h"\n#include "sub/s.h"\n',
                "src/u2.c": 'int two;\n#include "r.h"\n#include "sub/s.h"\n',
                "src/u3.c": '#include "sub/s.h"\n#include "r.h"\n',
            }, "include/r.h", "other_name", {"first", "again by another route"}),
            # The guard's macro given back its undefined state with no #undef in sight.
            ("none found", {
                "include/a.h": GUARDED.format("A_H", "a"),
                "src/u1.c": '#pragma push_macro("A_H")\n#include "a.h"\n'
                            '#pragma pop_macro("A_H")\n#include "a.h"\n',
            }, "include/a.h", "unknown", {"again"}),
            # A cycle, and another route to the same header once it is closed: only the
            # cycle's #include is still open.
            ("a cycle and another route", {
                **LOOP,
                "src/u1.c": '#include "loop_a.h"\n#include "sub/other.h"\n',
                "src/u2.c": '#include "sub/other.h"\n#include "loop_a.h"\n',
            }, "include/loop_a.h", "cycle", {"back", "first", "again by another route"}),
        ]
        for what, files, header, cause, kinds in cases:
            with self.subTest(what):
                made = tempfile.TemporaryDirectory()
                self.addCleanup(made.cleanup)
                top = Path(made.name).resolve()
                units = tree(top, files)
                gcc = [e for u in units for e in entries_of(top / "build", f"../{u}")]
                done = subprocess.run([str(TOOLS / "check-guards"), "--no-sandbox",
                                       "--diagnostics", "--rounds", "1", "--patch", "fix.diff",
                                       "--json", "r.json", "build"], cwd=top,
                                      capture_output=True, text=True, timeout=120)
                self.assertEqual(done.returncode, 0, done.stderr)
                record = json.loads((top / "r.json").read_text())
                found = next(h for h in record["headers"] if h["path"] == str(top / header))
                self.assertEqual(found["cause"], cause)
                # Its fix is proven.
                self.assertIn(found["path"], record["proof"]["patched"], done.stderr)
                self.assertEqual(self.check(top, done.stdout, header, catalogue.rule_id(found),
                                            gcc), kinds, done.stdout)
        self.assertEqual({c for *_, c, _ in cases}, set(catalogue.CAUSES))

    def check(self, top, said, header, rule, gcc):
        """Checks each note under the warning of `header` against gcc's entries; the kinds of
        note it found."""
        path, kinds, ours = str(top / header), set(), False
        for row in said.splitlines():
            where, line, level, words = LINE.match(row).groups()
            where, line = str(top / where), int(line)
            if level == "warning":
                ours = where == path
                if ours:
                    self.assertTrue(words.endswith(f"[check-guards-{rule}]"), row)
                continue
            if not ours:
                continue
            role, routed, route, text = NOTE.match(words).groups()
            self.assertEqual(Path(where).read_text().splitlines()[line - 1].strip(), text, row)
            if role.startswith("its guard"):
                self.assertRegex(text, r"^#\s*undef\s", row)
                kinds.add("undef")
                continue
            # The entries of this header at that #include, as gcc made them.
            there = [e for e in gcc if e.path == path and (e.up.path, e.line) == (where, line)]
            if route:
                steps = [(str(top / s.rsplit(":", 1)[0]), int(s.rsplit(":", 1)[1]))
                         for s in route.split(" > ")]
                there = [e for e in there if e.route == steps]
            if role == "first reached here":
                self.assertTrue(any(e.first for e in there), row)
                kinds.add("first")
            elif role.startswith("included back"):
                self.assertTrue(any(path in e.open for e in there), row)
                kinds.add("back")
            else:
                # Entered again, closed there; by another route, by another name than the first
                # of its unit.
                again = [e for e in there if not e.first and path not in e.open]
                if routed:
                    again = [e for e in again if e.name != next(
                        f.name for f in gcc if f.path == path and f.first
                        and f.open[0] == e.open[0])]
                self.assertTrue(again, row)
                kinds.add("again by another route" if routed else "again")
        return kinds


# A cause added to the catalogue as the developers' guide says, with the words {name}, {finds},
# {processed} and {open} filled in: put first, so that it is asked before the causes it narrows.
ADDED = """
CAUSES = {{c.name: c for c in [Cause(
    "{name}", lambda r: [r.entering()] if {finds} else None, {processed}, "{name}, for a test",
    "{name}, found at {{later}}: drop that #include", later="back", while_open={open},
    rule="A header entered again for {name}.", help="Drop the #include."), *CAUSES.values()]}}
"""
# A header that includes itself by another name (while it is still open); a file that includes
# a header without a guard twice (once it is closed).
ITSELF, TWICE = "r.parent == r.path", "r.first_frame.up.path == r.parent and not sound(r.shape)"


def with_cause(directory, name, finds, while_open):
    """A copy of check-guards in `directory` whose catalogue has the cause `name` added; its
    program."""
    for package in ("check_guards", "guardgen_common"):
        shutil.copytree(TOOLS / package, directory / package,
                        ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy2(TOOLS / "check-guards", directory)
    with open(directory / "check_guards" / "audit" / "catalogue.py", "a") as catalogue_file:
        catalogue_file.write(ADDED.format(name=name, finds=finds, processed=finds == TWICE,
                                          open=while_open))
    return directory / "check-guards"


@unittest.skipUnless(shutil.which("gcc") and shutil.which("g++"), "gcc or g++ is not installed")
class Preprocessor(unittest.TestCase):
    def test_gccs_preprocessor_alone_lists_and_fails_as_its_driver_does(self):
        # (a unit's file, its text): each lists, fails or says its error as through the driver.
        units = [
            ("src/u1.c", '#include "a.h"\n#include "a.h"\n#include <stdio.h>\n'),
            ("src/u2.c", '#include "missing.h"\n'),
            ("src/u3.c", '#include "a.h"\n#error stop here\n'),
            ("src/u4.c", '#include <from_cpath.h>\n#include "a.h"\n'),
            ("src/u5.c", '#if __has_include("a.h") && defined(FROM_FLAGS) \\\n'
                         '    && !defined(__cplusplus)\n#include "a.h"\n#endif\n_Pragma("once")\n'),
            ("src/u6.cpp", '#include "a.h"\n#include <vector>\n'),
            ("src/u7.cpp", '#include "a.h"\n#include "a.h"\n'),
            ("src/u8.cpp", '#include "missing.hpp"\n'),
        ]
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory).resolve()
            tree(top, {"include/a.h": GUARDED.format("A_H", "a"),
                             "cpath/from_cpath.h": "int c;\n", **dict(units)})
            argvs = [[shutil.which("g++" if f.endswith(".cpp") else "gcc"), "-M", "-H", "-w",
                      "-Iinclude", "-DFROM_FLAGS", "-O2", f] for f, _ in units]
            Unit = collections.namedtuple("Unit", "path directory")
            with unittest.mock.patch.dict(os.environ, {"CPATH": str(top / "cpath")}):
                found = listing.commands(argvs, [str(top)] * len(argvs), ["gcc"] * len(argvs),
                                         2, 60, lambda p: program.apart(p, [str(top)]))
                self.assertEqual({os.path.basename(c.argv[0]) for c in found},
                                 {"cc1", "cc1plus"})
                for (file, _), argv, command in zip(units, argvs, found):
                    with self.subTest(file=file):
                        unit = Unit(str(top / file), str(top))
                        self.assertEqual(audit.outcome_of(unit, command, "-H", 60),
                                         audit.outcome_of(unit, listing.Command(argv), "-H", 60))


@unittest.skipUnless(shutil.which("gcc"), "gcc is not installed")
class NewCause(unittest.TestCase):
    def test_a_cause_added_to_the_catalogue_has_its_fix_proven_where_its_entry_says(self):
        # (what it is, the cause's finder, whether it says its header is entered again while
        # still open, the header, where its #pragma once goes, the reason it is withdrawn)
        itself = {"include/self.h": "#ifndef SELF_H\n#define SELF_H\n"
                  '#include "../include/self.h"\nint self;\n#endif\n',
                  "src/u1.c": '#include "self.h"\n'}
        # Guarded only around its #include of itself: a new guard goes round the whole file.
        unguarded = {"include/self.h": "#ifndef INNER\n#define INNER\n"
                     '#include "../include/self.h"\n#endif\nint self;\n',
                     "src/u1.c": '#include "self.h"\n'}
        twice = {"include/self.h": "int self(void);\n",
                 "src/u1.c": '#include "self.h"\n#include "self.h"\n'}
        cases = [
            ("a guarded header that includes itself", ITSELF, True, itself, "top", None),
            ("an unguarded header that includes itself", ITSELF, True, unguarded, "top", None),
            ("an unguarded header included twice", TWICE, False, twice, "end", None),
            # Said to be entered after it closed, its #pragma once comes too late.
            ("a header that includes itself, its entry wrong", ITSELF, False, itself, None,
             "its fix does not lower its re-entries (1 before, 1 after)"),
        ]
        for what, finds, while_open, files, where, withdrawn in cases:
            for sandbox in (True, False) if shutil.which("bwrap") else (False,):
                with self.subTest(what, sandbox=sandbox):
                    made = tempfile.TemporaryDirectory()
                    self.addCleanup(made.cleanup)
                    top = Path(made.name).resolve()
                    (top / "tools").mkdir()
                    (top / "tree").mkdir()
                    program = with_cause(top / "tools", "new_cause", finds, while_open)
                    tree(top / "tree", files)
                    done = subprocess.run(
                        [str(program), *([] if sandbox else ["--no-sandbox"]), "--rounds", "1",
                         "--patch", "fix.diff", "--json", "r.json", "build"], cwd=top / "tree",
                        capture_output=True, text=True, timeout=120)
                    self.assertNotIn("Traceback", done.stderr)
                    found = json.loads((top / "tree/r.json").read_text())
                    self.assertEqual([(h["path"], h["cause"]) for h in found["headers"]],
                                     [(str(top / "tree/include/self.h"), "new_cause")])
                    proof = found["proof"]
                    self.assertEqual([w["reason"] for w in proof["withdrawn"]],
                                     [withdrawn] if withdrawn else [], done.stdout)
                    self.assertEqual([f["pragma_once"] for f in proof["fixes"]
                                      if f["path"] in proof["patched"]],
                                     [where] if where else [], done.stdout)
                    self.assertEqual(done.returncode, 1 if withdrawn else 0, done.stderr)


if __name__ == "__main__":
    unittest.main()
