#!/usr/bin/python3
"""The pure parts of check-guards and of what the companions share, on made-up input: the shape
of a header's guard, the compiler's listing of the headers it entered, the compilation database,
what runs a unit, and the record and its merging. Nothing here runs a compiler."""

import errno
import itertools
import json
import os
import pickle
import random
import re
import runpy
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import types
import unittest
import unittest.mock
from collections import Counter, namedtuple
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

from check_guards import audit, failures, proof, record, report, steps  # noqa: E402
from check_guards.audit import catalogue, causes, directives  # noqa: E402
from check_guards.proof import compare, fixes, readers, scratch, stats  # noqa: E402
from check_guards.plan import compilers, database, flags, listing, msvc  # noqa: E402
from check_guards.plan import probe, project  # noqa: E402
from check_guards.plan import responses  # noqa: E402
from check_guards.plan import tree as trees  # noqa: E402
import guardgen_common  # noqa: E402
from guardgen_common import entries, measured, names, processes, programs, run_texts  # noqa: E402
from guardgen_common import shapes, signals  # noqa: E402
from guardgen_common.failure import Failure  # noqa: E402
from guardgen_common.limits import Limits  # noqa: E402


class Shapes(unittest.TestCase):
    def test_each_shape_and_the_line_that_decides_it(self):
        # (header, shape, line, its text as written)
        cases = [
            ("#ifndef X_H\n#define X_H\nint x;\n#endif\n", "guard", 1, "#ifndef X_H"),
            ("#if !defined(X_H)\n#define X_H\n#endif\n", "guard", 1, "#if !defined(X_H)"),
            ("#if !defined X_H\n#define X_H\n#endif\n", "guard", 1, "#if !defined X_H"),
            ("# ifndef X_H\n#  define X_H 1\n#endif /* X_H */\n", "guard", 1, "# ifndef X_H"),
            # Comments, blank lines and continuations are no code.
            ("/* licence\n * text */\n\n// note\n#ifndef X_H // guard\n#define X_H\n#endif\n"
             "/* end */\n// done\n", "guard", 5, "#ifndef X_H // guard"),
            ("#ifndef X_H /* a comment\n that goes on */\n#define X_H\n#endif\n", "guard", 1,
             "#ifndef X_H /* a comment"),
            ("#ifn\\\ndef X_H\n#def\\\nine X_H\n#endif\n", "guard", 1, "#ifn\\"),
            ('#ifndef X_H\n#define X_H\nconst char *s = "/* not a comment";\n#endif\n', "guard",
             1, "#ifndef X_H"),
            ("#pragma once\nint x;\n", "pragma_once", 1, "#pragma once"),
            ('// x\n_Pragma("once")\nint x;\n', "pragma_once", 2, '_Pragma("once")'),
            ("#if 1\n#pragma once\nint x;\n#endif\n", "pragma_once", 2, "#pragma once"),
            ("int x;\n", "no_guard", 1, "int x;"),
            ("", "no_guard", None, ""),
            ("/* only a comment */\n\n", "no_guard", None, ""),
            ("#include <stddef.h>\n#ifndef X_H\n#define X_H\n#endif\n", "before_guard", 1,
             "#include <stddef.h>"),
            ("#if 0\n#endif\n#ifndef X_H\n#define X_H\n#endif\n", "before_guard", 1, "#if 0"),
            ("/* c */ int y; /* d */\n#ifndef X_H\n#define X_H\n#endif\n", "before_guard", 1,
             "/* c */ int y; /* d */"),
            ("#ifndef X_H\n#define X_H\n#endif\nint tail;\n", "after_guard", 4, "int tail;"),
            ("#ifndef X_H\n#define X_H\n#endif\n#ifndef Y_H\n#define Y_H\n#endif\n",
             "after_guard", 4, "#ifndef Y_H"),
            ("#ifndef X_H\n#define X_H\n#else\n#endif\n", "else_branch", 3, "#else"),
            ("#ifndef X_H\n#define X_H\n#if A\n#else\n#endif\n#elif B\n#endif\n", "else_branch",
             6, "#elif B"),
            ("#ifdef X_H\nint x;\n#endif\n", "not_a_guard_form", 1, "#ifdef X_H"),
            ("#if X_H != 1\n#define X_H 1\n#endif\n", "not_a_guard_form", 1, "#if X_H != 1"),
            ("#if !X_H\n#define X_H 1\n#endif\n", "not_a_guard_form", 1, "#if !X_H"),
            ("#if !defined(X_H) && !defined(Y)\n#define X_H\n#endif\n", "not_a_guard_form", 1,
             "#if !defined(X_H) && !defined(Y)"),
            ("#ifndef X_H\nint x;\n#endif\n", "guard_not_defined", 1, "#ifndef X_H"),
            ("#ifndef X_H\n#define X_HH\n#endif\n", "guard_not_defined", 1, "#ifndef X_H"),
            # A check that the header is not included on its own, then code: no guard.
            ('#ifndef _MATH_H\n# error "use math.h"\n#endif\nint f(void);\n', "no_guard", 1,
             "#ifndef _MATH_H"),
            # Sound, and undefined again further on: the shape is still a guard (the compiler
            # enters it again, and the report says why).
            ("#ifndef X_H\n#define X_H\n#undef X_H\n#endif\n", "guard", 1, "#ifndef X_H"),
            # A byte order mark is nothing.
            ("\ufeff#ifndef X_H\n#define X_H\n#endif\n", "guard", 1, "#ifndef X_H"),
            # The __need_ pattern: the guard's #define in a condition of its own.
            ("#ifndef _STDARG_H\n#ifndef __need___va_list\n#define _STDARG_H\n#endif\n"
             "#undef __need___va_list\ntypedef int va;\n#endif\n", "conditional_guard", 3,
             "#define _STDARG_H"),
            # A later section for an include with a macro set (zdict.h), one before the guard,
            # and an #undef/#define of a name tested (a unity build's): read again on purpose.
            ('#if defined (__cplusplus)\nextern "C" {\n#endif\n#ifndef Z_H\n#define Z_H\n#endif\n'
             "#if defined(Z_STATIC) && !defined(Z_H_STATIC)\n#define Z_H_STATIC\nint s;\n#endif\n",
             "sections", 7, "#if defined(Z_STATIC) && !defined(Z_H_STATIC)"),
            ("#ifdef WANT_A\nint a;\n#endif\n#ifndef X_H\n#define X_H\n#endif\n", "sections", 1,
             "#ifdef WANT_A"),
            ("#ifndef X_H\n#define X_H\n#if MODE > 1\n#endif\n#endif\n#undef MODE\n", "sections",
             6, "#undef MODE"),
            # The compiler's own names, and a default read again, open no section.
            ("#ifndef X_H\n#define X_H\n#endif\n#ifdef __cplusplus\n}\n#endif\n", "after_guard",
             4, "#ifdef __cplusplus"),
            ("#ifndef X_H\n#define X_H\n#endif\n#ifndef LEVEL\n#define LEVEL 3\n#endif\n",
             "after_guard", 4, "#ifndef LEVEL"),
        ]
        for text, reason, line, written in cases:
            with self.subTest(text=text):
                found = shapes.shape(text)
                self.assertEqual((found.reason, found.line, found.text), (reason, line, written))
        # With the settings the build may give: a header of their defaults is of the settings
        # shape, at the first; a real guard further down is still found. (header, knobs, ...)
        settled = [
            ("#ifndef FOO_DEFAULT\n#define FOO_DEFAULT 1\n#endif\n#ifndef BAR_LEVEL\n"
             "#define BAR_LEVEL 3\n#endif\n", (), "settings", 1, "#ifndef FOO_DEFAULT"),
            ("#ifndef OPT\n#define OPT\nint o;\n#endif\n", ("OPT",), "settings", 1, "#ifndef OPT"),
            ("int g;\n#ifndef PLATFORM_X\n#define PLATFORM_X 1\n#endif\n", (), "settings", 2,
             "#ifndef PLATFORM_X"),
            ("#ifndef P_X\n#define P_X 1\n#endif\n#ifndef X_H\n#define X_H\n#endif\n", (),
             "before_guard", 1, "#ifndef P_X"),
            ("int x;\n", (), "no_guard", 1, "int x;"),
        ]
        for text, knobs, reason, line, written in settled:
            with self.subTest(text=text, knobs=knobs):
                found = shapes.shape(text, frozenset(knobs), valued=True)
                self.assertEqual((found.reason, found.line, found.text), (reason, line, written))
        # The catalogue names every shape the reader gives, and no other.
        self.assertEqual({reason for _, reason, _, _ in cases}
                         | {reason for *_, reason, _, _ in settled}, set(catalogue.READ_SHAPES))

    def test_a_runs_rows_of_plain_code_are_passed_over_as_one_but_no_line_that_matters(self):
        """Of a run of plain code the first line alone is kept; what follows it is passed over
        up to the first row that may hold more: none that holds a directive, starts a comment
        that hides one, joins the next row or is numbered other than the compiler numbers it."""
        from guardgen_common import source_lines
        # (source, its lines as (text, the number of the row it starts on))
        cases = [
            ("int a;\nint b;\n#define X\n", [("int a;", 1), ("#define X", 3)]),
            ("int a;\nint b; /* c\n#define X */\n#define Y\n", [("int a;", 1), ("#define Y", 4)]),
            ("int a;\nint b; \\\n#define X\n", [("int a;", 1)]),
            ("x;\ny;\n\\\n#if F\n", [("x;", 1), ("#if F", 3)]),
            ("a \\\nb;\nc;\nd;\n#if H\n", [("a b;", 1), ("#if H", 5)]),
            ("int a;\r\nint b;\r#if A\r", [("int a;", 1), ("#if A", 3)]),
            ('x;\n"/*";\n#if B\n', [("x;", 1), ("#if B", 3)]),
            ('x;\ny; // #if C\n_Pragma("once")\n', [("x;", 1), ('_Pragma("once")', 3)]),
            ("x;\n/* a\n#if D\n*/ #if E\n", [("x;", 1), ("#if E", 2)]),
            ("x;\ny;\f#if G\nz;\n", [("x;", 1)]),  # a form feed ends no row
            ("x;\n" * 1000 + "#endif", [("x;", 1), ("#endif", 1001)]),
        ]
        for text, lines in cases:
            with self.subTest(text=text[:40]):
                self.assertEqual([(line.text, line.number)
                                  for line in source_lines.logical_lines(text)], lines)


class Catalogue(unittest.TestCase):
    def test_every_cause_and_shape_has_its_words_rule_and_fix(self):
        line = {"path": "/p/u.c", "line": 3, "text": '#include "a.h"'}
        undef = {"path": "/p/v.h", "line": 1, "text": "#undef A_H"}
        for name in [*catalogue.CAUSES, *catalogue.SHAPES]:
            with self.subTest(name=name):
                shape = name if name in catalogue.SHAPES else "guard"
                header = {"path": "/p/a.h", "shape": shape, "line": 1, "text": "#ifndef A_H",
                          "macro": "A_H", "cause": name if name in catalogue.CAUSES else None,
                          "includes": [line, undef, line]}
                words = catalogue.advice(header, "/p")
                self.assertTrue(words and "{" not in words and "?" not in words, words)
                if name != "shape":
                    self.assertTrue(all(catalogue.rule(name)), name)
                self.assertIn(catalogue.kind_of(header["cause"], shape), ("processed", "scanned"))
                made = fixes.fixed("#ifndef A_H\n#define A_H\n#endif\n", header, "A_H_I")
                self.assertEqual(made is None, name in catalogue.SHAPES
                                 and catalogue.SHAPES[name].fix is None)
        self.assertEqual(catalogue.rule("nothing of ours"), ("nothing of ours", ""))

    def test_the_docs_cause_tables_are_the_catalogues_name_for_name_and_word_for_word(self):
        root = Path(__file__).resolve().parent.parent
        tables = runpy.run_path(str(root / "tools/cause-tables"))
        # What a reader sees of a document's words (its markup taken out), how an entry of the
        # cause named {} begins there, and the entries there that are not causes (a heading).
        read = {
            "doc/check-guards.md": (lambda t: t.replace("`", "").replace("\\|", "|"),
                                    "^\\| {} \\| ", 1),
            "doc/check-guards.1": (lambda t: re.sub(r"\\f[BR]|\\&", "", t).replace(
                "\\-", "-").replace("\\e", "\\"), "^\\.TP\n\\.B {}\n", 0),
        }
        added = catalogue.Cause("a_new_cause", lambda r: None, False, "one | two, by #include -x",
                                help="Drop the #undef.\\n", while_open=True)
        # (the causes added to the catalogue, whether the documents as they stand are its)
        for extra, current in [((), True), ((added,), False)]:
            causes = {**catalogue.CAUSES, **{c.name: c for c in extra}}
            for name, (table, mark) in tables["DOCUMENTS"].items():
                with self.subTest(extra=extra, document=name), \
                        unittest.mock.patch.dict(catalogue.CAUSES, causes):
                    text = (root / name).read_text()
                    new = tables["rewritten"](text, table, mark)
                    self.assertEqual(new == text, current)
                    lines = new.split("\n")
                    unmark, begins, headings = read[name]
                    made = unmark("\n".join(lines[lines.index(mark.format(tables["MADE"])) + 1:
                                                  lines.index(mark.format(tables["END"]))]))
                    # One entry for each cause, in the catalogue's order: its name, then its
                    # words, and no other entry.
                    found = [[m.start() for m in re.finditer(
                        begins.format(re.escape(catalogue.title(c))), made, re.M)]
                        for c in causes.values()]
                    self.assertEqual([len(f) for f in found], [1] * len(causes), made)
                    starts = [f[0] for f in found] + [len(made)]
                    self.assertEqual(starts, sorted(starts))
                    for cause, at, end in zip(causes.values(), starts, starts[1:]):
                        entry = made[at:end]
                        self.assertIn(cause.explained, entry)
                        self.assertIn(cause.help, entry[entry.index(cause.explained):])
                    self.assertEqual(len(re.findall(begins.format(r"[^|\n]+"), made, re.M)),
                                     len(causes) + headings, made)
        done = subprocess.run([root / "tools/cause-tables", "--check"], capture_output=True,
                              text=True)
        self.assertEqual((done.returncode, done.stderr), (0, ""))

    def test_the_advice_and_the_roles_name_the_right_lines(self):
        first = {"path": "/p/u.c", "line": 3, "text": '#include "a.h"', "role": "first"}
        later = {"path": "/p/sub/s.h", "line": 1, "text": '#include "../a.h"', "role": "again",
                 "route": [{"path": "/p/v.c", "line": 2}, {"path": "/p/sub/s.h", "line": 1}]}
        back = dict(later, role="back", route=[])
        again = dict(first, role="again")
        undef = {"path": "/q/v.h", "line": 7, "text": "# undef A_H", "role": "undef"}
        old = {k: first[k] for k in ("path", "line", "text")}  # a record without roles
        # (cause, the lines named, words the advice holds, the role of each line)
        cases = [
            ("other_name", [first, later], "(u.c:3, then sub/s.h:1)",
             ["first reached here",
              "included again here, by another route (v.c:2 > sub/s.h:1)"]),
            # The line of the other route, though another re-entry's comes first.
            ("other_name", [again, first, later], "(u.c:3, then sub/s.h:1)",
             ["included again here", "first reached here",
              "included again here, by another route (v.c:2 > sub/s.h:1)"]),
            ("other_name", [first], "(u.c:3, then ?)", ["first reached here"]),
            # The cycle's line, whatever comes before it; a line closed there is not "open".
            ("cycle", [first, later, back], "includes it back (sub/s.h:1)",
             ["first reached here", "included again here, by another route (v.c:2 > sub/s.h:1)",
              "included back here, while it is still open"]),
            ("macro_undefined", [again, undef], "A_H is #undef'd at /q/v.h:7",
             ["included again here", "its guard's macro is #undef'd here"]),
            ("unknown", [], "was found (?)", []),
            # A record without roles says no more than it knows.
            ("other_name", [old, dict(old, line=4)], "(u.c:3, then u.c:3)",
             ["named behind its re-entries"] * 2),
        ]
        for cause, lines, words, roles in cases:
            with self.subTest(cause=cause, lines=lines):
                header = {"path": "/p/a.h", "shape": "guard", "line": 1, "text": "#ifndef A_H",
                          "macro": "A_H", "cause": cause, "includes": lines}
                self.assertIn(words, catalogue.advice(header, "/p"))
                self.assertEqual([r for _, r in catalogue.roles(header, "/p")], roles)
        # What the patch does, whatever the cause: a setting taken for a guard gets a guard of
        # its own (unless the header is read again on purpose); a fix withdrawn, its reason.
        # (the header's fields, words the advice holds, words it must not)
        cases = [
            ({"setting": "A_H"}, "--patch wraps the whole header in a new guard", "#pragma once "
             "just before the guard's #endif"),
            ({"setting": "A_H", "shape": "sections", "cause": "shape"},
             "no fix: the section at line 1", "new guard"),
            ({"cause": "macro_undefined", "includes": [first, undef]},
             "--patch adds #pragma once just before the guard's #endif", "?"),
            ({"withdrawn": "its fix changes the code of u.c: it is read again on purpose"},
             "no fix: --patch withdrew it, as its fix changes the code of u.c", "include it"),
        ]
        for fields, words, never in cases:
            with self.subTest(fields=fields):
                header = {"path": "/p/a.h", "shape": "guard", "line": 1, "macro": "A_H",
                          "cause": "other_name", "includes": [first, later], **fields}
                said = catalogue.advice(header, "/p")
                self.assertIn(words, said)
                self.assertNotIn(never, said)


class Listing(unittest.TestCase):
    def test_counts_each_header_entered_by_its_real_path(self):
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory).resolve()
            (top / "inc").mkdir()
            (top / "inc" / "a.h").write_text("")
            os.symlink("inc/a.h", top / "link.h")
            listing = ("In file included from x.c:1:\n"
                       ". inc/a.h\n"
                       ".. /usr/include/stdio.h\n"
                       "... /usr/include/features.h\n"
                       ". ./inc/a.h\n"
                       ". link.h\n"
                       "x.c:3:10: fatal error: b.h: No such file or directory\n"
                       "Multiple include guards may be useful for:\n"
                       "inc/a.h\n")
            self.assertEqual(entries.entered(listing, str(top)),
                             Counter({str(top / "inc" / "a.h"): 3, "/usr/include/stdio.h": 1,
                                      "/usr/include/features.h": 1}))
            self.assertEqual(entries.first_error(listing),
                             "x.c:3:10: fatal error: b.h: No such file or directory")
            self.assertEqual(entries.first_error(". a.h\nwarning: w\n"), "warning: w")
            self.assertEqual(entries.first_error(". a.h\n"), "")
            self.assertEqual(entries.first_error(
                "Configured with: ../configure --disable-werror\n"
                "gcc: fatal error: cannot execute 'cc1obj'\n"),
                "gcc: fatal error: cannot execute 'cc1obj'")
            self.assertEqual(entries.first_error("x.c(3): fatal error C1083: no b.h\n"),
                             "x.c(3): fatal error C1083: no b.h")

    def test_a_listing_read_as_it_comes_takes_only_what_goes_on_its_tree(self):
        # (the listing, the paths counted); the paths are below a directory of the test's own,
        # where a.h, b.h and c.h are, written here as /.
        cases = [
            (b". /a.h\n.. /b.h\n... /c.h\n. /a.h\n", {"/a.h": 2, "/b.h": 1, "/c.h": 1}),
            # A message's lines that look like entries, but deeper than any header open.
            (b". /a.h\nx.c:1: warning: w\n... /etc/passwd\n", {"/a.h": 1}),
            (b".. /etc/passwd\n. /a.h\n", {"/a.h": 1}),
        ]
        with tempfile.TemporaryDirectory() as directory:
            top = os.path.realpath(directory)
            for name in ("a.h", "b.h", "c.h"):
                Path(top, name).write_text("")
            for listing, counted in cases:
                with self.subTest(listing=listing):
                    lines = listing.replace(b" /", f" {top}/".encode()).splitlines(keepends=True)
                    self.assertEqual(dict(entries.entered_from(lines, "/")),
                                     {top + p: n for p, n in counted.items()})

    def test_a_program_is_bounded_in_memory_and_in_what_it_says(self):
        limits = Limits(256 << 20, 1000)
        if not limits.active:
            self.skipTest("this system has no bounds a process can set (Windows)")
        # (the program, how large its standard error may grow)
        cases = [
            ([sys.executable, "-c", "b = bytearray(1 << 30)"], None),
            (["sh", "-c", "head -c 100000 /dev/zero >&2"], 1000),
        ]
        for argv, said in cases:
            with self.subTest(argv=argv):
                _, status, _, errors = processes.run_program_to_file(argv, None, 60,
                                                                     limits=limits)
                with errors:
                    self.assertNotEqual(status, 0)
                    if said:
                        self.assertLessEqual(len(errors.read()), said)

    def test_the_launcher_starts_each_program_bounded_and_tells_how_it_ended(self):
        if not Limits(1 << 30, 1 << 20).active:
            self.skipTest("this system has no bounds a process can set (Windows)")
        import resource

        from guardgen_common import launcher
        bound = 256 << 20
        starter = launcher.Launcher([(resource.RLIMIT_AS, bound), (resource.RLIMIT_CORE, 0)],
                                    dict(os.environ))
        py = [sys.executable, "-c"]
        # (the program, its environment's X, what it ends with, what it writes)
        cases = [
            (py + ["import resource; print(*resource.getrlimit(resource.RLIMIT_AS))"], None, 0,
             f"{bound} {bound}\n"),
            (py + ["import os; print(os.getcwd(), os.environ['X'])"], "a\udcffb", 0,
             os.path.realpath(tempfile.gettempdir()) + " a\udcffb\n"),
            (["sh", "-c", "exit 3"], None, 3, ""),
            (["sh", "-c", "kill -9 $$"], None, -signal.SIGKILL, ""),
            (py + ["b = bytearray(1 << 30)"], None, 1, None),
            # A command longer than a message of the socket holds.
            (["printf", "%s", "x" * 100000], None, 0, "x" * 100000),
        ]
        try:
            for argv, x, status, said in cases:
                with self.subTest(argv=argv[:3]), tempfile.TemporaryFile() as out:
                    env = dict(os.environ, **({"X": x} if x else {}))
                    started = starter.start(argv, tempfile.gettempdir(), env, stdout=out.fileno())
                    self.assertEqual(started.wait(60), status)
                    out.seek(0)
                    if said is not None:
                        self.assertEqual(os.fsdecode(out.read()), said)
            with self.assertRaises(OSError) as missing:
                starter.start(["/no/such/program"], None, {})
            self.assertEqual(missing.exception.errno, errno.ENOENT)
            waiting = starter.start(["sleep", "30"], None, dict(os.environ))
            with self.assertRaises(subprocess.TimeoutExpired):
                waiting.wait(0.2)
            os.killpg(waiting.pid, signal.SIGKILL)  # its group, as a timeout stops it
            self.assertEqual(waiting.wait(60), -signal.SIGKILL)
        finally:
            starter.close()
        self.assertEqual(starter.process.returncode, 0)

    def test_programs_run_in_parallel_are_stopped_before_their_workers_are_waited_for(self):
        from guardgen_common import registry
        ended = []

        def work(item):
            if item == "fail":
                time.sleep(0.5)  # the other's program is running by then
                raise ValueError("failed")
            ended.append(processes.run_program(["sleep", "5"], None, 60)[1])

        with unittest.mock.patch.object(registry, "_registry", registry.Registry()):
            with self.assertRaises(ValueError):
                processes.in_parallel(work, ["sleep", "fail"], 2)
        # Stopped with the run, not waited for until it ends by itself.
        self.assertEqual(ended, [-signal.SIGKILL])

    def test_gccs_preprocessor_run_without_its_driver_only_where_the_driver_says_so(self):
        # A -### line and its words: the driver's quoting read back, or None for a line that
        # is not written as the driver writes one.
        for line, words in [
            (' /x/cc1 -E -D "X=a b" "q\\"\\\\\\$" ""',
             ["/x/cc1", "-E", "-D", "X=a b", 'q"\\$', ""]),
            (" /x/cc1 -E -quiet a.c", ["/x/cc1", "-E", "-quiet", "a.c"]),
            (' /x/cc1 "-E"', None), (" /x/cc1  -E", None), (' /x/cc1 "a', None), ("", None),
        ]:
            with self.subTest(line=line):
                self.assertEqual(listing.words_of(line), words)
        ok = ('echo "Target: x86_64-linux-gnu"; echo COLLECT_GCC=gcc; '
              'echo "COLLECT_GCC_OPTIONS=\'-M\'"; ')
        # (what the made-up driver prints for -### with its last word as $f, the name of $f as
        # $n; whether the preprocessor runs the units alone)
        cases = [
            (ok + 'echo " $cc1 -E -M $f -dumpbase $n -dumpbase-ext .c"', True),
            (ok + 'echo " $cc1 -E -M $f"', True),
            # A word made of the file's name that the marks do not know: the second unit tells.
            (ok + 'echo " $cc1 -E -M $f -auxbase ${n%.c}"', False),
            (ok + 'echo " $cc1 -E -M $f"; echo " /usr/bin/as -o x.o"', False),
            (ok + 'echo " /bin/sh -c $f"', False),
            (ok + 'echo " $cc1 -E -M $f $f"', False),
            (ok + 'echo " $cc1 -E -M $f"; exit 1', False),
        ]
        with tempfile.TemporaryDirectory() as directory:
            cc1 = os.path.join(directory, "cc1")
            Path(cc1).write_text("#!/bin/sh\necho \"$COLLECT_GCC:$*\" >&2\n")
            os.chmod(cc1, 0o755)
            for said, direct in cases:
                with self.subTest(said=said[len(ok):]):
                    driver = os.path.join(directory, "gcc")
                    Path(driver).write_text(
                        f'#!/bin/sh\nfor f; do :; done; n=${{f##*/}}; cc1={cc1}\n'
                        f'{{ {said}; }} >&2\n')
                    os.chmod(driver, 0o755)
                    argvs = [[driver, "-M", "-H", "-w", f"src/{name}.c"] for name in "abc"]
                    found = listing.commands(argvs, [directory] * 3, ["gcc"] * 3, 2, 60,
                                             lambda p: p == cc1)
                    # Asked while the units are planned, from their plans (-E as planned): the
                    # same commands.
                    with processes.Background(2) as background:
                        early = listing.Early(background, 60, lambda p: p == cc1, None)
                        for argv in argvs:
                            plan = types.SimpleNamespace(argv=[argv[0], "-E", *argv[2:]],
                                                         style="-H")
                            early.planned(plan, directory, lambda: "gcc")
                        self.assertEqual(len(early.asked), 1)
                        self.assertEqual(listing.commands(argvs, [directory] * 3, ["gcc"] * 3,
                                                          2, 60, lambda p: False, None,
                                                          early.asked), found)
                    if not direct:
                        self.assertEqual(found, [listing.Command(a) for a in argvs])
                        continue
                    self.assertEqual([c.argv[0] for c in found], [cc1] * 3)
                    self.assertEqual([c.argv[3] for c in found], [a[-1] for a in argvs])
                    self.assertEqual(found[2].env,
                                     {"COLLECT_GCC": "gcc", "COLLECT_GCC_OPTIONS": "'-M'"})
                    if "dumpbase" in said:
                        self.assertEqual(found[2].argv[5:], ["c.c", "-dumpbase-ext", ".c"])
                    _, status, _, errors = processes.run_program(found[1].argv, directory, 60,
                                                         added=found[1].env)
                    self.assertEqual(errors.decode(), f"gcc:{shlex.join(found[1].argv[1:])}\n")
            # Too few of a kind, another compiler, the driver's -E, or a preprocessor that is not
            # to run (in the tree, or not a compiled program): the driver runs them.
            Path(driver).write_text(f'#!/bin/sh\nfor f; do :; done; cc1={cc1}\n'
                                    f'{{ {cases[1][0]}; }} >&2\n')
            argvs = [[driver, "-M", "x.c"], [driver, "-M", "y.c"], [driver, "-E", "z.c"]]
            for argvs, answer, trusted in [(argvs, "gcc", None), (argvs[:2] * 2, "clang", None),
                                           (argvs[:2] * 2, "gcc", lambda p: False)]:
                self.assertEqual(listing.commands(argvs, [directory] * len(argvs),
                                                  [answer] * len(argvs), 2, 60,
                                                  trusted or (lambda p: p == cc1)),
                                 [listing.Command(a) for a in argvs])

    def test_the_same_from_the_files_opened_and_from_show_includes(self):
        trace = ('4242  openat(AT_FDCWD, "g.h", O_RDONLY) = 4\n'
                 '4242  openat(AT_FDCWD, "/inc/g.h", O_RDONLY|O_NOCTTY) = 3\n'
                 '4242  openat(AT_FDCWD, "/usr/g.h", O_RDONLY) = -1 ENOENT (No such file)\n'
                 '4243  open("/inc/g.h", O_RDONLY) = 5\n'
                 '4243  openat(3, "x.h", O_RDONLY) = 6\n'
                 '4242  +++ exited with 0 +++\n')
        self.assertEqual(entries.opened(trace, "/inc"),
                         Counter({"/inc/g.h": 3, "/inc/x.h": 1}))
        with tempfile.TemporaryDirectory() as directory:
            for name in ("g.h", "other.h"):
                Path(directory, name).write_text("")
            shown = (f"x.c\nNote: including file: {directory}/g.h\n"
                     f"Note: including file:  {directory}/other.h \nNote: including file: g.h\n")
            self.assertEqual(sum(entries.shown_includes(shown, directory).values()), 3)


class Database(unittest.TestCase):
    def read(self, entries_json, name="compile_commands.json"):
        made = tempfile.TemporaryDirectory()
        self.addCleanup(made.cleanup)
        self.directory = made.name
        path = Path(self.directory) / name
        path.write_text(entries_json if isinstance(entries_json, str) else json.dumps(entries_json))
        return database.read(path)

    def test_both_forms_quoting_and_relative_directories(self):
        units = self.read([
            {"directory": "/b", "file": "../s/a.c", "arguments": ["gcc", "-DX=a b", "-c", "a.c"]},
            {"directory": "/b", "file": "/s/b.c",
             "command": "ccache g++ -DS='\"x y\"' -I\"/p q\" -c /s/b.c"},
            {"directory": "sub", "file": "c.c", "command": "cc -c c.c", "output": "c.o"},
        ])
        self.assertEqual([u.argv for u in units], [
            ["gcc", "-DX=a b", "-c", "a.c"],
            ["ccache", "g++", '-DS="x y"', "-I/p q", "-c", "/s/b.c"],
            ["cc", "-c", "c.c"],
        ])
        self.assertEqual([u.path for u in units],
                         ["/s/a.c", "/s/b.c", os.path.join(self.directory, "sub", "c.c")])

    def test_each_bad_input_is_one_line(self):
        # (the file's text, what is said after its path)
        cases = [
            ("{", "not JSON: Expecting property name enclosed in double quotes at line 1"),
            ('{"a": 1}', "not a list of entries"),
            ("[1]", "entry 1 is not an object"),
            ('[{"file": "a.c", "command": "gcc a.c"}]', 'entry 1 has no "directory"'),
            ('[{"directory": "/b", "command": "gcc a.c"}]', 'entry 1 has no "file"'),
            ('[{"directory": "/b", "file": "a.c"}]', 'entry 1 has neither "arguments" nor "command"'),
            ('[{"directory": "/b", "file": "a.c", "arguments": []}]',
             'entry 1: "arguments" is not a list of strings'),
            ('[{"directory": "/b", "file": "a.c", "command": "gcc \\"a.c"}]',
             'entry 1: "command" cannot be split: No closing quotation'),
            ('[{"directory": "/b", "file": "a.c", "arguments": ["gcc", "a\\u0000"]}]',
             'entry 1: "arguments" holds a NUL character'),
            ('[{"directory": "/b\\ud800", "file": "a.c", "command": "gcc a.c"}]',
             'entry 1: "directory" is not valid text (a lone surrogate)'),
            ("[" * 100000 + "]" * 100000, "not JSON that can be read: nested too deeply"),
            ("[" + "9" * 5000 + "]", "not JSON that can be read: a number too long"),
            ("[]", "no entries, so no unit to audit (bear -- make records only what make "
                   "compiles: run it after make clean)"),
            (" [ ]\n", "no entries, so no unit to audit"),
        ]
        for text, said in cases:
            with self.subTest(text=text[:80]):
                with self.assertRaises(Failure) as raised:
                    self.read(text)
                self.assertTrue(str(raised.exception).startswith(
                    f"{self.directory}/compile_commands.json: {said}"), str(raised.exception))

    def test_found_as_a_file_a_directory_or_by_default(self):
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory)
            (top / "build").mkdir()
            (top / "build" / "compile_commands.json").write_text("[]")
            (top / "empty").mkdir()
            here = os.getcwd()
            os.chdir(top)
            hint = (r" \(CMake writes one with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON, Meson in its "
                    r"build directory, any other build with bear -- make\)$")
            try:
                found = [database.locate(None), database.locate("build"),
                         database.locate("build/compile_commands.json")]
                # (what is given, where in it, the error)
                missing = [
                    ("nowhere", top, "^nowhere: no compilation database there \\(a "),
                    ("empty", top, "^empty/compile_commands.json: no compilation database there"
                     + hint),
                    ("empty/compile_commands.json", top, "^empty/compile_commands.json: no "
                     "compilation database there" + hint),
                    (None, top / "empty", "^no compile_commands.json here or in build/: give the "
                     "database or the directory holding it" + hint),
                ]
                for given, where, said in missing:
                    with self.subTest(given=given, where=where):
                        os.chdir(where)
                        with self.assertRaisesRegex(Failure, said):
                            database.locate(given)
            finally:
                os.chdir(here)
            self.assertEqual(set(found), {(top / "build" / "compile_commands.json").resolve()})


class LargeInputs(unittest.TestCase):
    """Each step on an input of a shape that once made it grow faster than the input: run with
    a minute's bound, so that such a step fails rather than hangs (the benchmark
    check_guards_bounds times them)."""

    def test_each_step_is_bounded_by_its_inputs_size_not_its_shape(self):
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory).resolve()
            u, h, undef = str(top / "u.c"), str(top / "h.h"), str(top / "undef.h")
            (top / "h.h").write_text("#ifndef H_H\n#define H_H\n#endif\n")
            (top / "undef.h").write_text("#undef H_H\n")
            n = 100000

            def explained(text, walked):
                (top / "u.c").write_text(text)
                with run_texts.read_once():
                    found = causes.explain(u, walked, lambda p: ("guard", "H_H") if p == h
                                           else ("no_guard", None))
                return Counter(cause for _, cause, _ in found)
            # (the step, what it is given, what it gives)
            cases = [
                # The names a new guard could clash with, in one word of 2 MB.
                (fixes.taken_names, (["A" * (2 << 20) + "_INCLUDED x_INCLUDED"],),
                 {"A" * (2 << 20) + "_INCLUDED", "x_INCLUDED"}),
                # A file of an #include of a macro's value and n #include lines of one header.
                (explained, ('#include NAME\n' + '#include "h.h"\n' * n, [(1, h)] * n),
                 Counter(unknown=n - 1)),
                # A header entered again after an #undef, n times.
                (explained, ('#include "h.h"\n#include "undef.h"\n' * (n // 2),
                             [(1, h), (1, undef)] * (n // 2)),
                 Counter(macro_undefined=n // 2 - 1, shape=n // 2 - 1)),
                # A test of defined followed by a long blank steps.
                (shapes.value_tests, ("#if defined" + " " * n + "+ X\n#endif\n",), {"X"}),
                (lambda text: shapes.shape(text).reason,
                 ("/* licence */ // x\n" + '#ifndef G\n#define G\nint s = "/*";\n' * n
                  + "#endif\n",), "no_guard"),
            ]
            for step, given, said in cases:
                with self.subTest(step=step.__name__, given=str(given)[:60]):
                    self.assertEqual(bounded(self, step, *given), said)

    def test_a_database_is_read_in_a_small_multiple_of_its_size(self):
        # 64 MiB of empty entries read in 512 MiB at the most: refused at its first entry.
        with tempfile.TemporaryDirectory() as directory:
            path = Path(directory) / "compile_commands.json"
            path.write_text("[" + "{}," * ((64 << 20) // 3) + "{}]")
            script = ("import resource, sys; sys.path.insert(0, sys.argv[1]); "
                      "resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20)); "
                      "from check_guards.plan import database; from guardgen_common.failure "
                      "import Failure\ntry:\n    database.read(sys.argv[2])\n"
                      "except Failure as failure:\n    print(failure)")
            tools = Path(__file__).resolve().parent.parent / "tools"
            done = subprocess.run([sys.executable, "-c", script, str(tools), str(path)],
                                  capture_output=True, text=True, timeout=120)
            self.assertEqual(done.stdout, f'{path}: entry 1 has no "directory"\n', done.stderr)


class Failed(unittest.TestCase):
    def said(self, failed, total):
        lines = []
        with unittest.mock.patch.object(failures, "say", lines.append):
            failures.say_failed(failed, total, "/b/compile_commands.json", ["/b", "/p/src"])
        return lines

    def test_most_units_failed_for_one_reason_is_said_once(self):
        def refused(message, file="/p/u{}.c"):
            return lambda i: {"file": file.format(i), "status": "refused", "message": message}

        def failed(message, status=1):
            return lambda i: {"file": f"/p/src/u{i}.c", "status": status,
                              "message": message.format(i)}

        def outside(i):
            named = ["its directory /home/me lies outside the tree: refused",
                     "its -include or -imacros /home/me/.ssh/id_rsa lies outside the tree: refused",
                     "a response file outside the tree: refused"]
            return {"file": f"/p/src/u{i}.c", "status": "refused", "message": named[i % 3]}

        db = "/b/compile_commands.json: "
        # (each failure made from the unit's number, how many failed, of how many units, the
        # line said once for all; None where each is said in a line of its own)
        cases = [
            # Paths outside the tree, whichever: the tree said, never a path a unit named.
            (outside, 3, 4, "3 of 4 units refused: their files lie outside the tree (/b, "
             "/p/src): give --tree with the directory that holds the sources"),
            (refused("its file ../src/u.c lies outside the tree: refused"), 2, 2,
             "2 of 2 units refused: their files lie outside the tree (/b, /p/src): give --tree "
             "with the directory that holds the sources"),
            (refused("its directory /home/them/b does not exist"), 3, 3,
             "3 of 3 units refused: the database's paths do not exist here (/home/them/b, for "
             "one): was it made on another machine?"),
            (refused("../src/u{}.c does not exist"), 8, 8,
             "8 of 8 units refused: the database's paths do not exist here (/p/u0.c, for one): "
             "was it made on another machine?"),
            (failed("cc1: fatal error: ../src/u{}.c: No such file or directory"), 2, 3,
             "2 of 3 units failed (1): the database's paths do not exist here (/p/src/u0.c, for "
             "one): was it made on another machine?"),
            (refused("its compiler 'gcc-12' is not found on the PATH"), 5, 6,
             "5 of 6 units refused: their compiler 'gcc-12' is not found on the PATH (--compiler "
             "names one to use instead)"),
            (refused("its compiler '/opt/cross/bin/gcc' is no program that can be run"), 2, 2,
             "2 of 2 units refused: their compiler '/opt/cross/bin/gcc' is no program that can be "
             "run here (--compiler names one to use instead)"),
            (failed("../src/u{}.c:1:10: fatal error: gen.h: No such file or directory"), 3, 4,
             "3 of 4 units failed (1): a header they include is not found: gen.h (one the build "
             "makes? build it first)"),
            (failed("../src/u{}.c:1:10: fatal error: 'gen.h' file not found"), 3, 3,
             "3 of 3 units failed (1): a header they include is not found: gen.h (one the build "
             "makes? build it first)"),
            (failed("stopped after 5 s", "timeout"), 4, 4,
             "4 of 4 units failed (timeout): stopped after 5 s"),
            # Half, one alone, or each for its own reason: a line for each.
            (refused("its compiler 'gcc-12' is not found on the PATH"), 2, 4, None),
            (refused("its directory /home/them/b does not exist"), 1, 1, None),
            (failed("../src/u{}.c:3:1: error: expected ';'"), 3, 3, None),
            (outside, 1, 1, None),
            # A compiler's words that read as the refusal are its own failure, as they are.
            (failed("its file /home/me/u{}.c lies outside the tree: refused"), 3, 3, None),
        ]
        for make, count, total, once in cases:
            failures = [make(i) for i in range(count)]
            with self.subTest(failure=failures[0], count=count, total=total):
                lines = self.said(failures, total)
                if once:
                    self.assertEqual(lines, [db + once])
                else:
                    self.assertEqual(len(lines), count, lines)
                    self.assertEqual([line.startswith(f["file"] + ": ")
                                      for line, f in zip(lines, failures)], [True] * count, lines)
        # Two reasons at once: the one of most units said once, the other unit's alone.
        lines = self.said([refused("its directory /x does not exist")(i) for i in range(3)]
                          + [failed("../src/u{}.c:3:1: error: expected ';'")(9)], 4)
        self.assertEqual(lines, [db + "3 of 4 units refused: the database's paths do not exist "
                                 "here (/x, for one): was it made on another machine?",
                                 "/p/src/u9.c: failed (1): ../src/u9.c:3:1: error: expected ';'"])

    def test_no_sentence_that_the_build_is_clean_of_units_not_audited(self):
        def summary(units, failed, skipped=0):
            return {"headers": [], "failed": [{"file": "u.c", "status": 1, "message": ""}] * failed,
                    "skipped": {"not C": skipped} if skipped else {},
                    "totals": record.totals(units, [])}

        # (units, failed, skipped, baseline, the sentence)
        cases = [
            (3, 0, 0, False, "No header of the build's own is entered more than once in a unit."),
            (3, 3, 0, False, "No unit was audited (3 failed): nothing is known of the build's "
                             "headers."),
            (3, 2, 1, True, "No unit was audited (2 failed, 1 skipped): nothing is known of the "
                            "build's headers."),
            (4, 0, 4, False, "No unit was audited (4 skipped): nothing is known of the build's "
                             "headers."),
            (8, 6, 0, False, "No header of the build's own is entered more than once in the 2 "
                             "units audited (6 failed)."),
            (2, 1, 0, True, "No header of the build's own is newly entered again in the 1 unit "
                            "audited (1 failed), beyond the baseline."),
            (2, 0, 0, True, "No header of the build's own is newly entered again, beyond the "
                            "baseline."),
        ]
        for units, failed, skipped, baseline, sentence in cases:
            with self.subTest(units=units, failed=failed, skipped=skipped):
                table = report.table(summary(units, failed, skipped), "/p", 20,
                                     baseline=baseline)
                self.assertEqual(table.splitlines()[0], sentence)


class Commands(unittest.TestCase):
    def test_only_the_allowlist_reaches_the_compiler(self):
        # (the unit's words after its program, the words kept, the dropped ones named)
        cases = [
            # What writes a file, links or warns goes without a word.
            ("-Iinc -MD -MF a.d -MT a.o -MQ $(x) -MMD -MFa.d -o a.o -oa.o -c -save-temps=obj "
             "-ftime-trace -fdump-tree-all -S -M -MM --serialize-diagnostics a.dia -MJ a.json "
             "-dumpbase-ext .c -Wall -Werror -g3 -pipe -Wl,-z,now -fuse-ld=lld --ld-path=/x/ld",
             ["-Iinc"], []),
            # Each family with its values, joined where it can be.
            ("-I inc -D X=1 -DY -U Z -isystem sys -iquote q -idirafter d -include c.h -imacros m.h "
             "-std=c++20 -O2 -Os -x c++ -xc -fPIC -fno-exceptions -fopenmp -m64 -march=native "
             "-pthread -nostdinc --sysroot /s --sysroot=/t -isysroot /sdk -target aarch64-linux "
             "--target=x86_64-linux-gnu -stdlib=libc++ -fsanitize=address,undefined",
             ["-Iinc", "-DX=1", "-DY", "-UZ", "-isystemsys", "-iquoteq", "-idirafterd",
              "-include", "c.h", "-imacros", "m.h", "-std=c++20", "-O2", "-Os", "-xc++", "-xc",
              "-fPIC", "-fno-exceptions", "-fopenmp", "-m64", "-march=native", "-pthread",
              "-nostdinc", "--sysroot=/s", "--sysroot=/t", "-isysroot/sdk", "-target",
              "aarch64-linux", "--target=x86_64-linux-gnu", "-stdlib=libc++",
              "-fsanitize=address,undefined"], []),
            # The preprocessor's own options: those of the allowlist pass as they are.
            ("-Wp,-D_FORTIFY_SOURCE=2,-MD,a.d -Xpreprocessor -DX -Xpreprocessor -o",
             ["-D_FORTIFY_SOURCE=2", "-DX"], ["-Wp,-MD", "-Xpreprocessor -o"]),
            # What starts a program, loads code or reads a configuration: named, with its value.
            ("-B /evil -B/evil --prefix /evil -specs=x.specs -wrapper sh,-c -fplugin=x.so "
             "--plugin=y.so -iplugindir=/p -Xclang -load -Xclang z.so --config c.cfg "
             "-ccc-install-dir /e --gcc-toolchain=/g -mllvm -info-output-file=o "
             "-fmodule-mapper=|prog -fmodules -fcrash-diagnostics-dir=d -gen-reproducer "
             "-save-stats -fproc-stat-report=r -serialize-diagnostics d.dia --output=o "
             "--write-dependencies -Iok",
             ["-Iok"],
             ["-B", "-B", "--prefix", "-specs", "-wrapper", "-fplugin=", "--plugin=",
              "-iplugindir=", "-Xclang", "-Xclang", "--config", "-ccc-install-dir",
              "--gcc-toolchain=", "-mllvm", "-fmodule-mapper=", "-fmodules",
              "-fcrash-diagnostics-dir=", "-save-stats",
              "-fproc-stat-report=", "--write-dependencies"]),
            # An option that takes a value ends the command: it takes nothing of the tool's.
            ("-I", [], []),
            ("-x", [], []),
            ("-include", [], []),
            # A value that a compiler would read as a response file or an option is not passed.
            ("-include @r -target -x --sysroot=@s -std=@x", [],
             ["-include", "-target", "--sysroot=", "-std="]),
            ("-- -Iafter", [], []),
            # An empty value (two blanks: an empty word) stays apart, as the build gives it.
            ("-D  -DZZ -I  -Iok", ["-D", "", "-DZZ", "-I", "", "-Iok"], []),
        ]
        for words, kept, dropped in cases:
            with self.subTest(words=words):
                judged = flags.judge(words.split(" "))
                self.assertEqual((judged.kept, judged.dropped), (kept, dropped))
        judged = flags.judge("-isystem a -cxx-isystem b -idirafterc -m32 -target t".split())
        self.assertEqual((judged.system, judged.search), (["a", "b", "c"],
                                                          ["-m32", "-target", "t"]))

    def test_response_files_read_by_the_compilers_rules_and_judged_the_same(self):
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory)
            (top / "a.rsp").write_text("-I'with space' \"-DX=a b\" -B\\ /evil @b.rsp\n")
            (top / "b.rsp").write_text("-Iinner\n")
            (top / "loop.rsp").write_text("@loop.rsp")
            os.mkfifo(top / "fifo.rsp")
            # Few small files that name each other many times (20 ** 9 words), a file of too
            # many words, and one named too often for the bytes of all.
            for n in range(10):
                (top / f"fan{n}.rsp").write_text(" ".join([f"@fan{n + 1}.rsp"] * 20) if n < 9
                                                 else "-DX")
            (top / "words.rsp").write_text("-w " * (responses.RESPONSE_WORDS + 1))
            (top / "long.rsp").write_text("-D" + "X" * (responses.RESPONSE_SIZE - 2))
            (top / "bytes.rsp").write_text("@long.rsp " * 9)
            words = responses.expanded(["-c", "@a.rsp", "x.c"], directory)
            self.assertEqual(words, ["-c", "-Iwith space", "-DX=a b", "-B /evil", "-Iinner",
                                     "x.c"])
            self.assertEqual(flags.judge(words).kept, ["-Iwith space", "-DX=a b", "-Iinner"])
            for word, said in [("@loop.rsp", "nested too deeply"),
                               ("@fifo.rsp", "not a regular file"),
                               ("@none.rsp", "No such file"),
                               ("@fan0.rsp", "names more than 2000 response files"),
                               ("@words.rsp", "hold more than 262144 words"),
                               ("@bytes.rsp", "response files are more than 8 MiB")]:
                with self.subTest(word=word), self.assertRaisesRegex(Failure, said):
                    bounded(self, responses.expanded, [word], directory)
            # A response file is named by its path in the tree, never by what another holds,
            # and what it holds is never said.
            (top / "tree").mkdir()
            (top / "tree" / "in.rsp").write_text("@../outside.rsp")
            (top / "outside.rsp").write_bytes(b"-DOUTSIDE\0")
            (top / "tree" / "names.rsp").write_text("@named-by-a-secret.rsp")
            for word, roots, said in [
                    ("@in.rsp", [top / "tree"], "a response file outside the tree: refused"),
                    ("@names.rsp", [top], "a response file that another names: No such file"),
                    ("@fan0.rsp", [top], r"response file fan\d.rsp: the unit names more")]:
                with self.subTest(word=word, roots=roots), self.assertRaises(Failure) as raised:
                    responses.expanded([word], top / "tree" if word != "@fan0.rsp" else top,
                                   [str(r) for r in roots])
                self.assertRegex(str(raised.exception), f"^{said}")

    def test_only_gcc_and_clang_outside_the_tree_run_decided_before_anything_runs(self):
        gcc, clang = shutil.which("gcc"), shutil.which("clang")
        if not gcc:
            self.skipTest("gcc is not installed")
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory).resolve()
            (top / ".git").mkdir()
            (top / "build").mkdir()
            (top / "bin").mkdir()
            (top / "src").mkdir()
            (top / "src" / "a.c").write_text("")
            database = str(top / "build" / "compile_commands.json")
            fake = top / "bin" / "gcc"
            fake.write_text("#!/bin/sh\ntouch ran\n")
            fake.chmod(0o755)
            (top / "build" / "gcc").symlink_to(fake)
            if clang:
                (top / "bin" / "clang").symlink_to(clang)
            wrapped = top / "wrappers"
            wrapped.mkdir()
            (wrapped / "ccache").write_text("#!/bin/sh\n")
            (wrapped / "ccache").chmod(0o755)
            (wrapped / "gcc").symlink_to(wrapped / "ccache")
            # (the unit's command, the PATH in front, the program it runs by or the refusal)
            cases = [
                (["gcc", "-c", "../src/a.c"], "", gcc),
                (["ccache", "gcc", "-c", "../src/a.c"], "", gcc),
                (["sccache", "distcc", "gcc", "../src/a.c"], "", gcc),
                (["gcc", "../src/a.c"], f".:{os.pathsep}:{top / 'build'}", "lies in the "
                                                                           "database's tree"),
                (["gcc", "../src/a.c"], ".", gcc),
                (["gcc", "../src/a.c"], str(wrapped), gcc),  # ccache's link: the gcc behind it
                ([str(wrapped / "gcc"), "../src/a.c"], "", gcc),
                ([str(fake), "-c", "../src/a.c"], "", "lies in the database's tree"),
                (["/proc/self/cwd/bin/gcc", "../src/a.c"], "", "is a path through /proc"),
                ([str(top / "bin" / "clang"), "../src/a.c"], "", "lies in the database's tree"),
                (["touch", "x"], "", "touch is not a C or C++ compiler"),
                (["sh", "-c", "touch x"], "", "sh is not a C or C++ compiler"),
                (["nasm", "x.asm"], "", "nasm is not a C or C++ compiler"),
                (["cl.exe", "/c", "a.c"], "", "its compiler 'cl.exe' is not found on the PATH"),
                (["./gcc", "-c", "a.c"], "", "is a path into the build tree: refused"),
                (["gcc-99", "a.c"], "", "is not found on the PATH"),
                (["/no/such/gcc", "a.c"], "", "is no program that can be run"),
            ]
            here, path = os.getcwd(), os.environ["PATH"]
            os.chdir(top)
            try:
                for argv, front, expected in cases:
                    os.environ["PATH"] = os.pathsep.join(filter(None, [front, path]))
                    unit = database_unit(str(top / "build"), "../src/a.c", argv)
                    with self.subTest(argv=argv, front=front):
                        if expected.startswith("/"):
                            self.assertEqual(os.path.realpath(
                                compilers.plan(unit, database).argv[0]),
                                os.path.realpath(expected))
                        else:
                            with self.assertRaises(Failure) as raised:
                                compilers.plan(unit, database)
                            self.assertIn(expected, str(raised.exception))
            finally:
                os.chdir(here)
                os.environ["PATH"] = path
            self.assertFalse((top / "ran").exists() or (top / "build" / "ran").exists())
            for name in ("gcc", "g++-12", "x86_64-linux-gnu-gcc-12", "clang", "clang++-14",
                         "arm-none-eabi-gcc", "clang.exe"):
                self.assertEqual(programs.listing_of(f"/usr/bin/{name}"), "-H", name)
            for name in ("cc", "ccache", "tcc", "sh", "gcc-wrapper.sh", "xgcc", "mcpp"):
                self.assertIsNone(programs.listing_of(f"/usr/bin/{name}"), name)
            for name in ("cl", "CL.EXE", "clang-cl"):
                self.assertEqual(programs.listing_of(name), "/showIncludes", name)

    def test_the_tools_options_come_first_and_the_unit_is_judged_before_it_runs(self):
        gcc = shutil.which("gcc")
        if not gcc:
            self.skipTest("gcc is not installed")
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory).resolve()
            (top / "a.c").write_text("")
            (top / "-a.c").write_text("")
            (top / "a.f90").write_text("")
            os.mkfifo(top / "fifo.c")
            database = str(top / "compile_commands.json")
            plan = compilers.plan(database_unit(str(top), "a.c", ["gcc", "-c", "a.c", "-I"]),
                                  database)
            self.assertEqual(plan.argv, [gcc, "-E", "-H", "-w", "a.c"])
            plan = compilers.plan(database_unit(str(top), "-a.c", ["gcc", "-x", "c", "--",
                                                                   "-a.c"]), database)
            self.assertEqual(plan.argv, [gcc, "-E", "-H", "-w", "-xc", "./-a.c"])
            # What the steps after take from the plan: how it lists, the macros it sets.
            plan = compilers.plan(database_unit(str(top), "a.c", ["gcc", "-DX=1", "-D", "Y", "-UX",
                                                                  "a.c"]), database)
            self.assertEqual((plan.style, plan.defined), ("-H", {"X", "Y"}))
            # (the unit's command, its file, the reason it does not run)
            cases = [
                (["gcc", "-c", "a.f90"], "a.f90", ".f90 is not C or C++"),
                (["gcc", "-x", "f95", "a.c"], "a.c", "f95 is not C or C++"),
                (["gcc", "fifo.c"], "fifo.c", "fifo.c is not a regular file: refused"),
                (["gcc", "gone.c"], "gone.c", "gone.c does not exist"),
                (["gcc", "-include", "/dev/zero", "a.c"], "a.c",
                 "-include or -imacros /dev/zero lies outside the tree: refused"),
                # Nothing a unit names outside the tree is read, nor its words said.
                (["gcc", "-I/etc", "a.c"], "a.c",
                 "its directory searched for headers /etc lies outside the tree: refused"),
                (["gcc", "-include", "@/etc/hostname", "a.c"], "a.c",
                 "a response file outside the tree: refused"),
                (["gcc", "-x", "c", "/etc/hostname"], "/etc/hostname",
                 "its file /etc/hostname lies outside the tree: refused"),
                (["gcc", "-include", "/proc/self/root/etc/hostname", "a.c"], "a.c",
                 "/proc/self/root/etc/hostname lies outside the tree: refused"),
                (["gcc", "-include", "../../etc/hostname", "a.c"], "a.c",
                 "-imacros ../../etc/hostname lies outside the tree: refused"),
                (["gcc", "@/dev/zero", "a.c"], "a.c", "a response file outside the tree: refused"),
                (["gcc", "@fifo.c", "a.c"], "a.c", "response file fifo.c: not a regular file"),
            ]
            for argv, file, said in cases:
                with self.subTest(argv=argv), self.assertRaises(Failure) as raised:
                    compilers.plan(database_unit(str(top), file, argv), database)
                self.assertIn(said, str(raised.exception))
            with self.assertRaisesRegex(Failure, f"its directory {top}/gone does not exist"):
                compilers.plan(database_unit(str(top / "gone"), "a.c", ["gcc", "a.c"]), database)
            with self.assertRaisesRegex(Failure, "its directory /no/such/dir lies outside the "
                                                 "tree: refused"):
                compilers.plan(database_unit("/no/such/dir", "a.c", ["gcc", "a.c"]), database)


    def test_the_tree_is_taken_from_the_databases_path_and_tree_alone(self):
        # (the database's directory, --tree directories, the tree, or the start of the error).
        # A .git file marks its own directory only, wherever its gitdir points; the home
        # directory and those above it, and the system's, are never a tree.
        cases = [
            ("home/super/sub/build", (), ["home/super"], None),
            ("home/wt/build", (), ["home/wt"], None),
            ("home/plain/build", (), ["home/plain/build"], None),
            ("home/plain/build", ("home/plain/src",), ["home/plain/build", "home/plain/src"],
             None),
            ("home/dot/build", (), ["home/dot/build"], None),
            ("home", (), None, "the database lies in the home directory, or one above it"),
            ("home", ("home/plain",), ["home/plain"], None),
            ("home/plain/build", ("/",), None, "--tree /: a directory of the system's"),
            ("home/plain/build", ("/etc/ssh",), None, "a directory of the system's"),
            ("home/plain/build", ("home/none",), None, "no directory there"),
        ]
        with tempfile.TemporaryDirectory() as directory:
            top = Path(os.path.realpath(directory))
            for d in ("home/.git", "home/super/.git/modules/sub", "home/super/sub/build",
                      "home/main/.git/worktrees/wt", "home/wt/build", "home/plain/build",
                      "home/plain/src", "home/dot/build", "home/evil"):
                (top / d).mkdir(parents=True)
            (top / "home/super/sub/.git").write_text("gitdir: ../.git/modules/sub\n")
            (top / "home/wt/.git").write_text(f"gitdir: {top}/home/main/.git/worktrees/wt\n")
            (top / "home/dot/.git").write_text("gitdir: /root/.git/worktrees/x\0\n")
            with unittest.mock.patch.dict(os.environ, HOME=str(top / "home")):
                for where, given, expected, error in cases:
                    with self.subTest(database=where, tree=given):
                        args = (str(top / where / "compile_commands.json"),
                                [g if g.startswith("/") else str(top / g) for g in given])
                        if error:
                            with self.assertRaisesRegex(Failure, re.escape(error)):
                                trees.of(*args)
                            continue
                        self.assertEqual(trees.of(*args), [str(top / e) for e in expected])

    def test_a_compiler_that_does_not_say_where_its_headers_are_is_said_in_one_line(self):
        # A program that answers as gcc but fails, with the unit's flags and without them; one
        # that does not answer as a compiler at all is refused, with nothing said of its headers.
        with tempfile.TemporaryDirectory() as directory:
            failing = os.path.join(directory, "cc")
            with open(failing, "w") as f:
                f.write("#!/bin/sh\necho 'gcc version 12.2.0 (Debian)' >&2\nexit 1\n")
            os.chmod(failing, 0o755)
            false = shutil.which("false") or "/bin/false"
            for program, answer, lines in ((failing, "gcc", 1), (false, None, 0)):
                with self.subTest(program=program):
                    said = []
                    key = ((program,), "c", ("-target", "t"), "-H")
                    self.assertEqual(probe.probe(key, "/", 10, said.append), ([], answer))
                    self.assertEqual(len(said), lines, said)
                    if lines:
                        self.assertIn(f"'{program} -target t' did not say where its own headers "
                                      "are", said[0])
                        self.assertIn("nor without those flags: every header its units enter "
                                      "counts as the build's own", said[0])


def bounded(test, function, *args):
    """What `function(*args)` returns or raises, run in a process of its own: a step whose cost
    grows faster than its input fails here within a minute rather than hanging the suite (a
    thread could not be waited for while a regular expression runs: it holds the interpreter)."""
    reading, writing = os.pipe()
    child = os.fork()
    if child == 0:
        os.close(reading)
        try:
            said = pickle.dumps(("value", function(*args)))
        except BaseException as error:  # noqa: B036  (raised again in the test's process)
            said = pickle.dumps(("error", error))
        with os.fdopen(writing, "wb") as f:
            f.write(said)
        os._exit(0)
    os.close(writing)
    with os.fdopen(reading, "rb") as f:
        ready = select.select([f], [], [], 60)[0]
        said = f.read() if ready else None
        if not ready:
            os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
        test.assertTrue(ready, f"{function.__name__} still runs after a minute")
        kind, value = pickle.loads(said)
    if kind == "error":
        raise value
    return value


def database_unit(directory, file, argv):
    return database.Unit(directory, file, argv)


# Each case runs in a process of its own, as the tool does, with the interruptions caught: the
# relay thread that a signal wakes ends that process, never the tests'.
SIGNALLED = r"""
import os, signal, subprocess, sys, threading, time
from concurrent.futures import ThreadPoolExecutor
sys.path.insert(0, sys.argv[1])
from guardgen_common import command, keeper, outputs, processes, registry, signals
from guardgen_common.limits import Limits
case, started = sys.argv[2], []
real = subprocess.Popen

def landing(*args, **kwargs):
    process = real(*args, **kwargs)
    started.append(process)
    if args[0][-2:] == ["sleep", "30"]:
        os.kill(os.getpid(), signal.SIGTERM)
    return process

signals.catch_interruptions(registry.stop_all, keeper.end)
try:
    if case == "as a program starts":
        subprocess.Popen = landing
        processes.run_program(["sleep", "30"], None, 60)
    elif case == "while workers wait":
        with ThreadPoolExecutor(4) as pool:
            futures = [pool.submit(processes.run_program, ["sleep", "30"], None, 60)
                       for _ in range(8)]
            time.sleep(0.5)
            os.kill(os.getpid(), signal.SIGTERM)
            for future in futures:
                future.result()
    elif case == "while bounded workers wait":
        # Started by the launcher, not by the tool: stopped all the same.
        limits = Limits(1 << 30, 1 << 20)
        with ThreadPoolExecutor(4) as pool:
            futures = [pool.submit(processes.run_program_to_file, ["sleep", "30"], None, 60,
                                   limits=limits) for _ in range(4)]
            time.sleep(0.5)
            launcher = limits.launcher.process.pid
            os.kill(os.getpid(), signal.SIGTERM)
            for future in futures:
                future.result()
    elif case == "in a long computation":
        os.kill(os.getpid(), signal.SIGTERM)
        while True:
            sum(range(1000))
    elif case == "while its output waits for a reader that reads nothing":
        # The tool's own end: a write the signal cuts short returns as if done.
        reading, writing = os.pipe()
        os.dup2(writing, 1)
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGTERM)).start()
        command.run_as_command("t", lambda _: print("x" * 1000000) or 0)
    elif case == "killed while an output is written":
        with outputs.replacing(os.path.join(sys.argv[3], "record.json")) as f:
            f.write(b"{")
            os.kill(os.getpid(), signal.SIGKILL)
except signals.Interrupted as interruption:
    left = [p for p in started if p.args[-2:] == ["sleep", "30"] and p.poll() is None]
    if case == "while bounded workers wait":
        time.sleep(0.2)
        left = []
        for name in filter(str.isdigit, os.listdir("/proc")):
            try:
                stat = open(f"/proc/{name}/stat").read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(stat[1]) == launcher and stat[0] != "Z":
                left.append(name)
    print(f"interrupted by {interruption.number}, {len(left)} left", flush=True)
    os._exit(0)
"""


class Signals(unittest.TestCase):
    def test_a_signal_stops_the_run_at_once_wherever_it_lands(self):
        """The handler raises nothing into the code it lands in; the programs are stopped at
        once, the threads waiting for them raise Interrupted, and a run that does not come to
        such a wait is ended by the signal's relay within its grace."""
        tools = str(Path(__file__).resolve().parent.parent / "tools")
        term = signal.SIGTERM
        # (where the signal lands, what the run says, the statuses it may end with)
        cases = [
            ("as a program starts", "interrupted by 15, 0 left\n", {0}),
            ("while workers wait", "interrupted by 15, 0 left\n", {0}),
            ("while bounded workers wait", "interrupted by 15, 0 left\n", {0}),
            ("in a long computation", "", {128 + term}),
            # Never a success: by the signal where the cut write returns, by the relay where
            # the write waits on.
            ("while its output waits for a reader that reads nothing", "", {-term, 128 + term}),
            # No handler sees SIGKILL: the keeper removes the part of the file.
            ("killed while an output is written", "", {-signal.SIGKILL}),
        ]
        for case, said, status in cases:
            with self.subTest(case=case), tempfile.TemporaryDirectory() as written:
                start = time.monotonic()
                ran = subprocess.run([sys.executable, "-c", SIGNALLED, tools, case, written],
                                     capture_output=True, text=True, timeout=30)
                self.assertEqual(ran.stdout, said, ran.stderr)
                self.assertIn(ran.returncode, status, ran.stderr)
                self.assertLess(time.monotonic() - start, signals.GRACE + 3)
                for _ in range(200):
                    if not os.listdir(written):
                        break
                    time.sleep(0.01)
                self.assertEqual(os.listdir(written), [])


def bwrap_or_skip(test):
    """bwrap, where it can start a sandbox here; else `test` is skipped, saying why."""
    from guardgen_common import sandbox, system
    bwrap = shutil.which("bwrap")
    if bwrap is None or system.WINDOWS:
        test.skipTest("bubblewrap (bwrap) is not installed")
    if subprocess.run(sandbox.enclose(bwrap, (), {}, "/") + ["true"],
                      capture_output=True).returncode != 0:
        test.skipTest("bubblewrap cannot start a sandbox here")
    return bwrap


# Types a character into its terminal, as a hostile program would.
TYPED = """import fcntl, os, termios
try:
    fcntl.ioctl(os.open("/dev/tty", os.O_RDWR), termios.TIOCSTI, b" ")
    print("typed")
except OSError as error:
    print("refused", error.errno)
"""


class Sandboxes(unittest.TestCase):
    def test_a_program_in_a_sandbox_cannot_type_into_the_users_terminal(self):
        """Started as the tool starts a program, from a terminal's session: it has no terminal
        of its own to type into. Started in that session as it is, the same program can."""
        import pty
        from guardgen_common import sandbox
        bwrap = bwrap_or_skip(self)
        with tempfile.TemporaryDirectory() as top:
            script = os.path.join(top, "typed.py")
            Path(script).write_text(TYPED)
            os.chmod(top, 0o755)
            os.chmod(script, 0o644)
            typed = [os.path.realpath(sys.executable), "-I", script]
            # (how it is started, what it says)
            cases = [
                (typed, b"typed"),
                (sandbox.enclose(bwrap, [top, *sandbox.interpreter()], {}, "/") + typed,
                 b"refused"),
                (sandbox.Sandbox(bwrap, ["/usr/bin", "/bin"], [top]).wrap(typed, "/"),
                 b"refused"),
            ]
            for argv, said in cases:
                with self.subTest(argv=argv[:1]):
                    pid, terminal = pty.fork()
                    if pid == 0:  # in the terminal's session, as a user's shell is
                        try:
                            if argv is typed:
                                subprocess.run(argv, timeout=30)
                            else:
                                os.write(1, processes.run_program(argv, "/", 30, bare=True,
                                                                  keep_output=True)[2])
                        finally:
                            os._exit(0)  # never the test's own run, in this copy of it
                    heard = b""
                    while True:
                        try:
                            piece = os.read(terminal, 4096)
                        except OSError:  # the terminal's end, on Linux
                            break
                        if not piece:
                            break
                        heard += piece
                    os.waitpid(pid, 0)
                    os.close(terminal)
                    if argv is typed and b"refused" in heard:
                        self.skipTest("this kernel lets no program type into a terminal "
                                      "(dev.tty.legacy_tiocsti is 0)")
                    self.assertIn(said, heard)

    def test_a_sandbox_stopped_the_moment_it_starts_leaves_nothing_running(self):
        """Stopped as a timeout or an interruption stops it, its group killed at once, at any
        point of its start; and the run inside ends once the process that started it has gone,
        however that ended."""
        from guardgen_common import sandbox, system
        bwrap = bwrap_or_skip(self)
        chance = random.Random(7)
        with tempfile.TemporaryDirectory() as top:
            marker = os.path.join(top, "marker")
            # Programs that never end by themselves, under either kind of sandbox.
            never = ["sh", "-c", "sleep 600; :", marker]
            kinds = [sandbox.enclose(bwrap, (), {}, "/") + never,
                     sandbox.Sandbox(bwrap, ["/usr/bin", "/bin"], ()).wrap(never, "/")]
            for argv in kinds:
                # Once up, each of its processes is in the group that stopping it kills.
                started = subprocess.Popen(argv, stderr=subprocess.DEVNULL, **system.NEW_GROUP)
                for _ in range(500):
                    up = subprocess.run(["pgrep", "-f", marker], capture_output=True,
                                        text=True).stdout.split()
                    if up:
                        break
                    time.sleep(0.01)
                groups = {Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[2]
                          for pid in up}
                system.stop_group(started)
                started.wait()
                self.assertEqual(groups, {str(started.pid)})
            # Stopped at any point of its start.
            for argv in kinds * 30:
                started = subprocess.Popen(argv, stderr=subprocess.DEVNULL, **system.NEW_GROUP)
                time.sleep(chance.uniform(0, 0.015))
                system.stop_group(started)
                started.wait()
            # The outer end of the run inside: gone by SIGKILL, the pipe's end is all it sees.
            reading, writing = os.pipe()
            inner = subprocess.Popen(
                [sys.executable, "-c", "import sys; sys.path[:0] = [sys.argv[2]]; "
                 "from guardgen_common import processes, registry, signals; "
                 "signals.end_with_parent(int(sys.argv[1]), registry.stop_all); "
                 "processes.run_program(['sh', '-c', 'sleep 600; :', sys.argv[3]], None, 600)",
                 str(reading), str(Path(guardgen_common.__file__).parent.parent), marker],
                pass_fds=(reading,))
            os.close(reading)
            time.sleep(0.5)
            os.close(writing)
            self.assertEqual(inner.wait(30), 128 + signal.SIGKILL)
            for _ in range(100):
                left = subprocess.run(["pgrep", "-f", marker], capture_output=True,
                                      text=True).stdout.split()
                if not left:
                    break
                time.sleep(0.02)
            subprocess.run(["pkill", "-KILL", "-f", marker], check=False)
            self.assertEqual(left, [])


class Settings(unittest.TestCase):
    def test_the_macros_a_unit_sets_are_named_however_it_spells_them(self):
        # (the unit's argv, the macros it sets), as its flags are judged for its plan
        cases = [
            (["gcc", "-DX", "-D", "Y=1", "-DF(a)=a", "-DEMPTY=", "-c", "u.c"],
             {"X", "Y", "F", "EMPTY"}),
            (["cl", "/DWIN", "/D", "V=2", "-DDASH", "/c", "u.c"], {"WIN", "V", "DASH"}),
            # -U unsets, and a -D inside another flag's word sets nothing; one given to the
            # preprocessor itself reaches it as -D.
            (["gcc", "-UX", "-I-DNOT", "-Wp,-DNOR", "-Xpreprocessor", "-DXP", "u.c"],
             {"NOR", "XP"}),
            (["gcc", "-DA", "-UA", "u.c"], {"A"}),
            (["gcc", "-D"], set()),
            (["cl", "/D"], set()),
        ]
        for argv, names in cases:
            judge = msvc.judge if argv[0] == "cl" else flags.judge
            with self.subTest(argv=argv):
                self.assertEqual(set(judge(argv[1:]).defined), names)


class PosixStyle(unittest.TestCase):
    def test_a_command_split_as_shlex_splits_it_whatever_it_holds(self):
        pieces = ["gcc", "-c", "a b", " ", "  ", "\t", "\r", "\n", "\f", "\v", "\u00a0",
                  "\u2028", "\u3000", "#", "'", '"', "\\", "\0", "=", "x.c", "\\ ", "é"]
        made = random.Random(7)
        commands = ["", " ", "gcc -c u.c", "cc\f-c\vu.c", "gcc\u00a0-c u.c # no comment",
                    "gcc -DX=\\\"a\\\" u.c", "gcc 'a  b' \"c\"\"d\" ''"]
        commands += ["".join(made.choices(pieces, k=made.randrange(12))) for _ in range(3000)]
        for command in commands:
            try:
                expected = shlex.split(command)
            except ValueError as error:
                expected = error.args
            with self.subTest(command=command):
                try:
                    self.assertEqual(database.posix_split(command), expected)
                except ValueError as error:
                    self.assertEqual(error.args, expected)


class MsvcStyle(unittest.TestCase):
    def test_a_windows_command_line_split_as_the_c_runtime_splits_it(self):
        # (the command, its words)
        cases = [
            ('cl /I..\\inc /D"X=a b" "C:\\Program Files\\x.c"', ["cl", "/I..\\inc", "/DX=a b",
                                                              "C:\\Program Files\\x.c"]),
            ('cl a\\\\"b c"d e\\"f', ["cl", 'a\\b cd', 'e"f']),
            ("cl  /Fo..\\obj\\  /c", ["cl", "/Fo..\\obj\\", "/c"]),
        ]
        for command, words in cases:
            with self.subTest(command=command):
                self.assertEqual(database.windows_split(command), words)

    def test_an_entry_of_cl_read_as_a_windows_builds_by_its_program_alone(self):
        # (the entry's program and what follows it, its words, its file's path): the program as
        # the C runtime reads it decides both how the command is split and how its paths are
        # read, a quoted one with blanks too; another's backslashes are characters of its own.
        cases = [
            ({"command": "cl /I..\\inc ..\\src\\a.c"}, ["cl", "/I..\\inc", "..\\src\\a.c"],
             "/w/src/a.c"),
            ({"command": '"/opt/Visual Studio/clang-cl" /I..\\inc ..\\src\\a.c'},
             ["/opt/Visual Studio/clang-cl", "/I..\\inc", "..\\src\\a.c"], "/w/src/a.c"),
            ({"arguments": ['"CL.EXE"', "/c", "..\\src\\a.c"]},
             ['"CL.EXE"', "/c", "..\\src\\a.c"], "/w/src/a.c"),
            ({"command": "gcc -I..\\inc ..\\src\\a.c"}, ["gcc", "-I..inc", "..srca.c"],
             "/w\\build/..\\src\\a.c"),
        ]
        for given, argv, path in cases:
            entry = {"directory": "/w\\build", "file": "..\\src\\a.c", **given}
            with self.subTest(entry=entry):
                unit = database.unit(entry, 1, "/w/compile_commands.json")
                self.assertEqual((unit.argv, unit.path), (argv, path))

    def test_only_the_allowlist_of_cl_reaches_the_compiler(self):
        # (the unit's words after its program, the words kept, the dropped ones named)
        slash = "\\" if os.name == "nt" else "/"
        cases = [
            ("/nologo /c /Fo..\\obj\\a.obj /Fdx.pdb /W4 /wd4996 /Zi /FS /MP /EHsc /MD /std:c++17 "
             "/I..\\inc /I inc2 -Iinc3 /DX=1 /D Y /UZ /FIpre.h /external:I ..\\ext /TP /utf-8 "
             "/Zc:__cplusplus /GR- /O2",
             ["/EHsc", "/MD", "/std:c++17", f"/I..{slash}inc", "/Iinc2", "/Iinc3", "/DX=1", "/DY",
              "/UZ", "/FIpre.h", f"/external:I..{slash}ext", "/TP", "/utf-8", "/Zc:__cplusplus",
              "/GR-", "/O2"], []),
            ("/B1 evil.dll /Bx evil.exe /Yupch.h /Fppch.pch /clang:-fplugin=x.so -Xclang -load "
             "/d1reportAllClassLayout /Iok",
             ["/Iok"], ["/B1", "/Bx", "/Yu", "/Fp", "/clang:", "-Xclang", "/d1"]),
            ("/I", [], []),
        ]
        for words, kept, dropped in cases:
            with self.subTest(words=words):
                judged = msvc.judge(words.split(" "))
                self.assertEqual((judged.kept, judged.dropped), (kept, dropped))
        judged = msvc.judge(["/external:Iext", "-imsvcsys", "/FIf.h", "/TC"])
        self.assertEqual((judged.system, judged.files, judged.language), (["ext", "sys"],
                                                                          ["f.h"], "c"))

    def test_show_includes_read_in_any_language(self):
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory).resolve()
            (top / "a.h").write_text("")
            (top / "b.h").write_text("")
            # (the listing, what it entered)
            cases = [
                ("Note: including file: a.h\nNote: including file:  b.h\nNote: including file: a.h\n",
                 [(1, "a.h"), (2, "b.h"), (1, "a.h")]),
                ("x.c(3): warning C4996: a: b\nHinweis: Einlesen der Datei: a.h\n"
                 "Hinweis: Einlesen der Datei:  b.h\nx.c(4): error C1083: Datei: nicht.h\n",
                 [(1, "a.h"), (2, "b.h")]),
                ("Note: including file:   b.h\nNote: including file: a.h\n", [(1, "a.h")]),
            ]
            for listing, walked in cases:
                with self.subTest(listing=listing):
                    found = entries.walk_shown(listing.encode().splitlines(keepends=True),
                                               str(top))
                    self.assertEqual(list(found), [(d, str(top / f)) for d, f in walked])


class Causes(unittest.TestCase):
    def test_each_cause_from_the_listing_tree_and_the_text(self):
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory).resolve()
            files = {
                "u.c": '#include "a.h"\n#include "sub/a.h"\n',
                "a.h": "#ifndef A_H\n#define A_H\n#endif\n",
                "sub/a.h": '#include "../a.h"\n',
                "loop.h": '#ifndef LOOP_H\n#define LOOP_H\n#include "back.h"\n#endif\n',
                "back.h": '#include "loop.h"\n',
                "undef.h": "#undef A_H\n",
                "plain.h": "int plain;\n",
                "twice.h": '#include "plain.h"\n#include "plain.h"\n',
                "sub/loop.h": '#include "../loop.h"\n',
                "route.h": '#include "sub/loop.h"\n',
            }
            for name, text in files.items():
                (top / name).parent.mkdir(exist_ok=True)
                (top / name).write_text(text)
            shapes_of = {str(top / n): shapes.shape(t) for n, t in files.items()}

            def shape_of(path):
                return shapes_of[path].reason, shapes_of[path].macro

            a, u, sub = str(top / "a.h"), str(top / "u.c"), str(top / "sub/a.h")
            loop, back = str(top / "loop.h"), str(top / "back.h")
            plain, twice = str(top / "plain.h"), str(top / "twice.h")
            u1, u2, sub1 = (u, 1, '#include "a.h"'), (u, 2, '#include "sub/a.h"'), \
                (sub, 1, '#include "../a.h"')
            sub_loop = (str(top / "sub/loop.h"), 1, '#include "../loop.h"')
            # (the unit's text, what the listing entered, as (depth, file), the causes, the
            # lines named, each with its role and route)
            cases = [
                (None, [(1, "a.h"), (1, "sub/a.h"), (2, "a.h")], [(a, "other_name")],
                 [[(u1, "first", (u1,)), (sub1, "again", (u2, sub1))]]),
                (None, [(1, "loop.h"), (2, "back.h"), (3, "loop.h")], [(loop, "cycle")],
                 [[((back, 1, '#include "loop.h"'), "back", ())]]),
                (None, [(1, "a.h"), (1, "undef.h"), (1, "a.h")], [(a, "macro_undefined")],
                 # u.c's one #include of a.h is its first entry's: the second's is not known.
                 [[(None, "again", ()), ((str(top / "undef.h"), 1, "#undef A_H"), "undef", ())]]),
                (None, [(1, "plain.h"), (1, "plain.h")], [(plain, "shape")],
                 [[(None, "again", ())]]),
                (None, [(1, "a.h"), (1, "a.h")], [(a, "unknown")], [[(None, "again", ())]]),
                # A cycle, then another route to the header once it is closed: only the #include
                # inside it is "back"; the other route's, closed there, is "again", with its route.
                ('#include "loop.h"\n#include "route.h"\n',
                 [(1, "loop.h"), (2, "back.h"), (3, "loop.h"), (1, "route.h"),
                  (2, "sub/loop.h"), (3, "loop.h")],
                 [(loop, "cycle"), (loop, "other_name")],
                 [[((back, 1, '#include "loop.h"'), "back", ())],
                  [((u, 1, '#include "loop.h"'), "first", ((u, 1, '#include "loop.h"'),)),
                   (sub_loop, "again", ((u, 2, '#include "route.h"'),
                                        (str(top / "route.h"), 1, '#include "sub/loop.h"'),
                                        sub_loop))]]),
                # An #include in a branch not taken is passed over where an entry after it in
                # the listing was included below it.
                ('#include "plain.h"\n#ifdef NEVER\n#include "plain.h"\n#endif\n'
                 '#include "a.h"\n#include "plain.h"\n',
                 [(1, "plain.h"), (1, "a.h"), (1, "plain.h")], [(plain, "shape")],
                 [[((u, 6, '#include "plain.h"'), "again", ())]]),
                # With none after it, an #include in a condition is passed over where one
                # outside every condition must have been read: the first entry is line 4, so
                # the second is line 5, never the unit's first.
                ('#ifdef NEVER\n#include "plain.h"\n#endif\n#include "plain.h"\n'
                 '#include "plain.h"\n', [(1, "plain.h"), (1, "plain.h")], [(plain, "shape")],
                 [[((u, 5, '#include "plain.h"'), "again", ())]]),
                # A file entered twice counts its own #include lines afresh each time: the
                # second entry's first #include of plain.h is its line 1 again, not line 2.
                ('#include "twice.h"\n#include "twice.h"\n',
                 [(1, "twice.h"), (2, "plain.h"), (2, "plain.h"), (1, "twice.h"), (2, "plain.h"),
                  (2, "plain.h")],
                 [(plain, "shape"), (twice, "shape"), (plain, "shape"), (plain, "shape")],
                 [[((twice, 2, '#include "plain.h"'), "again", ())],
                  [((u, 2, '#include "twice.h"'), "again", ())],
                  [((twice, 1, '#include "plain.h"'), "again", ())],
                  [((twice, 2, '#include "plain.h"'), "again", ())]]),
            ]
            for text, walked, expected, lines in cases:
                with self.subTest(walked=walked):
                    (top / "u.c").write_text(text or files["u.c"])
                    with run_texts.read_once():  # each case a run of its own, its files read anew
                        found = causes.explain(u, [(d, str(top / f)) for d, f in walked],
                                               shape_of)
                    self.assertEqual([(p, c) for p, c, _ in found], expected)
                    self.assertEqual([[(n.line, n.role, n.route) for n in ls]
                                      for _, _, ls in found], lines)
            # Which #include of an entry of a file entered each header it made: those of its
            # exact path, else of its name, each below the one before; a quoted one that names
            # another file beside it never; none where none names it (a computed #include).
            (top / "i.c").write_text('#include <x/a.h>\n#include "sub/a.h"\n#include "sub/a.h"\n')
            i, s_a, y_a = str(top / "i.c"), str(top / "sub/a.h"), str(top / "y/a.h")
            for headers, lines in [([s_a], [2]), ([s_a, s_a], [2, 3]),
                                   # One pass reads each line once: a third has none left.
                                   ([s_a, s_a, s_a], [2, 3, None]), ([y_a, s_a], [1, 2]),
                                   ([str(top / "b.h"), s_a], [None, 2])]:
                found = directives.placed(i, headers)
                self.assertEqual([f and f[1] for f in found], lines, headers)
            # An #include read whenever the file is (in no condition but the guard) is taken
            # before one in a condition, and then the entry after it cannot be above it.
            guarded = "#ifndef P_H\n#define P_H\n#ifdef X\n#include <a.h>\n#endif\n#include <a.h>\n"
            for text, headers, lines in [
                    (guarded + "#endif\n", [a], [6]),
                    (guarded + "#endif\n", [a, a], [4, 6]),
                    # No guard of its own: the block is a condition like any other.
                    (guarded + "#else\n#endif\n", [a], [4]),
                    ("#include <a.h>\n#if X\n#include <a.h>\n#endif\n#include <b.h>\n"
                     "#include <a.h>\n", [a, str(top / "b.h"), a], [1, 5, 6])]:
                (top / "p.h").write_text(text)
                with run_texts.read_once():
                    found = directives.placed(str(top / "p.h"), headers)
                self.assertEqual([f and f[1] for f in found], lines, text)
            # The catalogue names every cause the finder gives, and no other.
            self.assertEqual({c for _, _, e, _ in cases for _, c in e}, set(catalogue.CAUSES))


class Fixes(unittest.TestCase):
    def test_a_fix_only_adds_lines_and_moves_none_the_compiler_numbers(self):
        # (the header, its cause, the knobs a build may set, the fixed text)
        guard = "#ifndef INC_X_H_INCLUDED\n#define INC_X_H_INCLUDED\n"
        cases = [
            ("#include <a.h>\n#ifndef X_H\n#define X_H\nint y;\n#endif\n", "shape", (),
             guard + "#include <a.h>\n#ifndef X_H\n#define X_H\nint y;\n#endif\n"
             "#pragma once\n#endif\n"),
            ("#ifndef X_H\n#define X_H\nint line = __LINE__;\n#endif\n", "other_name", (),
             "#ifndef X_H\n#define X_H\nint line = __LINE__;\n#pragma once\n#endif\n"),
            ("#ifndef X_H\r\n#define X_H\r\n#endif\r\n", "cycle", (),
             "#pragma once\r\n#ifndef X_H\r\n#define X_H\r\n#endif\r\n"),
            ("extern int counter;", "shape", (),
             guard + "extern int counter;\n#pragma once\n#endif\n"),
            # A setting's default at the end of a header is no guard of it.
            ("int g(void);\n#ifndef PLATFORM_X\n#define PLATFORM_X 1\n#endif\n", "shape", (),
             guard + "int g(void);\n#ifndef PLATFORM_X\n#define PLATFORM_X 1\n#endif\n"
             "#pragma once\n#endif\n"),
            ("#ifndef OPT\n#define OPT\nint o;\n#endif\n", "other_name", ("OPT",),
             guard + "#ifndef OPT\n#define OPT\nint o;\n#endif\n#pragma once\n#endif\n"),
            ("#ifndef LIST_H\n#define LIST_H 1\nint l;\n#endif\n", "other_name", (),
             guard + "#ifndef LIST_H\n#define LIST_H 1\nint l;\n#endif\n#pragma once\n#endif\n"),
            # A form feed ends no line, a CR alone does, as the compiler reads them.
            ("#ifndef X_H\n#define X_H\f\nint a;\f int b;\n#endif\n", "other_name", (),
             "#ifndef X_H\n#define X_H\f\nint a;\f int b;\n#pragma once\n#endif\n"),
            ("#ifndef X_H\r#define X_H\rint a;\r#endif\r", "cycle", (),
             "#pragma once\r#ifndef X_H\r#define X_H\rint a;\r#endif\r"),
        ]
        for text, cause, knobs, expected in cases:
            with self.subTest(text=text):
                # As the audit records it: the shape the compiler reads, and the guard's macro
                # as a setting where the build may set it.
                found = shapes.shape(text)
                settled = shapes.shape(text, frozenset(knobs), valued=True)
                header = {"path": "/p/inc/x.h", "shape": found.reason, "macro": found.macro,
                          "line": found.line, "cause": cause, "causes": {cause: 1},
                          "setting": found.macro if settled.reason != found.reason else None}
                new, record = fixes.fixed(text, header, fixes.fresh_name("inc/x.h", set()))
                self.assertEqual(new, expected)
                # Every line of the header kept, in order.
                kept = iter(new.splitlines())
                self.assertTrue(all(row in kept for row in text.splitlines()))
                self.assertIn(shapes.shape(new).reason, ("guard", "pragma_once"))
        self.assertEqual(fixes.fresh_name("inc/x.h", {"INC_X_H_INCLUDED"}), "INC_X_H_INCLUDED_2")

    def test_the_patch_of_a_fix_shows_lines_added_alone_and_git_applies_it(self):
        # (before, after): lines common enough to be taken for junk, no newline at the end, an
        # empty file, a hunk in the middle of a long file.
        many = [f"l{i}\n" for i in range(20)]
        cases = [("a\n}\n" * 150 + "#endif\n", "a\n}\n" * 150 + "#pragma once\n#endif\n"),
                 ("#ifndef A\n#define A\nint a;\n#endif", "#ifndef A\n#define A\nint a;\n"
                  "#pragma once\n#endif"),
                 ("", "#pragma once\n"),
                 ("".join(many), "".join(many[:10] + ["new\n"] + many[10:])),
                 # A form feed and a CR inside a line are part of it, to git as to patch.
                 ("int a;\f\nint b;\r x\n", "#pragma once\nint a;\f\nint b;\r x\n")]
        if not shutil.which("git"):
            self.skipTest("git is not installed")
        for before, after in cases:
            with self.subTest(before=before[-20:]), tempfile.TemporaryDirectory() as directory:
                subprocess.run(["git", "init", "-q", directory], check=True)
                Path(directory, "f.h").write_bytes(before.encode())
                patch = proof.diff(before, after, "f.h")
                self.assertFalse([r for r in patch.splitlines()[2:] if r.startswith("-")], patch)
                subprocess.run(["git", "apply", "-"], cwd=directory, input=patch.encode(),
                               check=True)
                self.assertEqual(Path(directory, "f.h").read_bytes(), after.encode())


class Proof(unittest.TestCase):
    def test_the_views_before_and_after_cost_the_same_but_for_the_fix(self):
        # Bound over the tree, both views start the same nested sandbox with as many binds (the
        # one before each header over itself): its start is timed on both sides, never saved.
        Fix = namedtuple("Fix", "new")
        with tempfile.TemporaryDirectory() as tree, tempfile.TemporaryDirectory() as work:
            headers = [os.path.join(os.path.realpath(tree), n) for n in ("a.h", "b.h")]
            for header in headers:
                Path(header).write_text("int x;\n")
            trees = scratch.Trees(work, bound=True)
            trees.make([], {h: Fix("#pragma once\nint x;\n") for h in headers})
            self.assertEqual([over for _, over in trees.before.binds],
                             [over for _, over in trees.after.binds])
            self.assertEqual([source for source, _ in trees.before.binds], headers)
            self.assertEqual(Path(trees.after.binds[0][0]).read_text(), "#pragma once\nint x;\n")

    def test_a_units_argv_moved_into_the_scratch_tree(self):
        with tempfile.TemporaryDirectory() as tree:
            os.makedirs(tree + "/src/inc")
            Path(tree + "/src/u.c").write_text("")
            argv = ["/usr/bin/gcc", "-E", "-H", "-w", "-I/src/inc", "-isystem/usr/include",
                    "-include", "/src/u.c", "-DX=/src/inc", "/src/u.c"]
            moved = ["/usr/bin/gcc", "-E", "-H", "-w", f"-I{tree}/src/inc",
                     "-isystem/usr/include", "-include", f"{tree}/src/u.c", "-DX=/src/inc",
                     f"{tree}/src/u.c"]
            self.assertEqual(readers.argv_in(argv, tree), moved)
            self.assertEqual(readers.argv_in(argv, tree, timed=True), moved[:2] + moved[3:])
            self.assertEqual(readers.assembly_argv(argv, tree)[:6],
                             ["/usr/bin/gcc", "-S", "-o", "-", f"-ffile-prefix-map={tree}=",
                              f"-fdebug-prefix-map={tree}="])
            # -H kept: it names a precompiled header that the compile reads.
            self.assertIn("-H", readers.assembly_argv(argv, tree))
            # The compiler itself never runs from the scratch tree.
            os.makedirs(tree + "/usr/bin")
            Path(tree + "/usr/bin/gcc").write_text("")
            self.assertEqual(readers.argv_in(argv, tree)[0], "/usr/bin/gcc")

    def test_the_text_compared_holds_each_lines_file_and_number(self):
        head = b'# 1 "u.c"\n# 1 "h.h" 1\n'
        # (the text after, whether it is the text of `head` + "int a;" then u.c's line 2)
        before = head + b'int a;\n# 2 "u.c" 2\nint b;\n'
        cases = [
            (before, True),
            (head + b'   int a;   \n\n\n# 2 "u.c" 2\nint b;\n', True),  # blanks aside
            (head + b'int a;\n# 2 "u.c" 2\n\nint b;\n', False),  # u.c's line 3
            (head + b'\n\n# 1 "h.h"\nint a;\n\n# 2 "u.c" 2\n# 2 "u.c"\nint b;\n', True),
            (head + b'#line 1\nint a;\n# 2 "u.c" 2\nint b;\n', True),
            (head + b'\n\nint a;\n# 2 "u.c" 2\nint b;\n', False),  # moved down by two
            (head + b'int a;\n# 3 "u.c" 2\nint b;\n', False),
            (b'# 1 "u.c"\n# 1 "g.h" 1\nint a;\n# 2 "u.c" 2\nint b;\n', False),
            (b'# 1 "u.c"\n# 1 "h.h" 1 3 4\nint a;\n# 2 "u.c" 2\nint b;\n', False),
            (b'# 1 "u.c"\n# 1 "h.h" 1 3\nint a;\n# 2 "u.c" 2\nint b;\n', False),
            (head + b'int  a;\n# 2 "u.c" 2\nint b;\n', False),
        ]
        for after, same in cases:
            with self.subTest(after=after):
                self.assertEqual(readers.normal(after, "") == readers.normal(before, ""), same)
        # The scratch tree's name taken out, from the markers and the text alike.
        moved = before.replace(b'"h.h"', b'"/s/b/h.h"') + b'char *f = "/s/b/h.h";\n'
        self.assertEqual(readers.normal(moved, "/s/b"), readers.normal(
            before.replace(b'"h.h"', b'"/h.h"') + b'char *f = "/h.h";\n', ""))
        with tempfile.TemporaryDirectory() as directory:
            for name in ("a.h", "a.h.gch", "b.h", "c.h", "c.h.pch"):
                Path(directory, name).write_text("")
            self.assertEqual([readers.probed_pch(["gcc", "-E", "-include", name, "u.c"], directory)
                              for name in ("a.h", "b.h", "c.h")],
                             [f"{directory}/a.h.gch", None, f"{directory}/c.h.pch"])

    def test_the_times_summed_up_and_the_saving_measurable_only_by_the_shared_rule(self):
        clear = [1.5, 1.52, 1.48, 1.51, 1.49, 1.5]
        # (seconds before, after, the saving a round, why it is not measurable (None: it is),
        # what the proof says of it)
        cases = [
            ([1.0], [0.5], 0.5, "runs", "no measurable saving: too few rounds to tell (1, at "
             "least 6 needed)"),  # one round: any saving was "measurable" once
            (clear[:5], [1.0] * 5, 0.5, "runs", "too few rounds to tell (5, at least 6 needed)"),
            ([], [], 0.0, "runs", "too few rounds to tell (0, at least 6 needed)"),
            # Differences around zero, and rounds that saved nothing at all.
            ([1.3, 0.8, 1.1, 0.7, 1.2, 0.9, 1.05, 0.95], [1.0] * 8, 0.0, "zero",
             "no measurable saving: its 95% interval, -0.200 to 0.150 s a round, holds 0"),
            ([1.0] * 6, [1.0] * 6, 0.0, "zero", "holds 0"),
            (clear, [1.0] * 6, 0.5, None, "; saving 0.500 s a round (0.485 to 0.515 s, 95% "
             "interval)"),
            ([1.0] * 6, clear, -0.5, None, "; loss 0.500 s a round (0.485 to 0.515 s, 95% "
             "interval)"),
            # A round stalled on the side after the patch does not hide a clear saving.
            ([*clear, 1.0], [1.0] * 6 + [4.0], 0.5, None, "; saving 0.500 s a round"),
            # Every round saved time, but by so much more or less that the runs do not pin it.
            ([1.1, 1.9, 1.2, 1.8, 1.15, 1.85], [1.0] * 6, 0.5, "wide",
             "no measurable saving: its 95% interval, 0.125 to 0.875 s a round, is wider than "
             "the saving itself (0.500 s)"),
        ]
        for before, after, saving, why, words in cases:
            with self.subTest(before=before, after=after):
                times = {"before": before, "after": after}
                found = stats.summary(times)
                self.assertEqual(found, stats.summary(times))  # seeded: the same every time
                self.assertAlmostEqual(found["saving_s"], saving)
                interval = found["saving_interval_s"]
                if before:
                    self.assertLessEqual(interval["low"], found["saving_s"])
                    self.assertLessEqual(found["saving_s"], interval["high"])
                self.assertEqual((found["measurable"], found["not_measurable"]),
                                 (why is None, why))
                self.assertEqual(found["before_s"]["fastest"], min(before, default=0.0))
                said = proof.lines({"patched": ["/h.h"], "withdrawn": [], "units": 1,
                                    "output_identical": True, "reentries_before": 2,
                                    "reentries_after": 0, "rounds": len(before), **found})
                self.assertIn(words, said)
                self.assertEqual("no measurable saving" in said, why is not None, said)

    def test_runs_measure_a_difference_only_by_enough_of_them_and_a_clear_narrow_interval(self):
        # (estimate, its interval's low and high ends, runs, why the runs measure nothing)
        cases = [
            (0.5, 0.25, 0.75, 6, None),
            (-0.5, -0.75, -0.25, 6, None),  # a loss is measured as a saving is
            (0.5, 0.25, 0.75, 5, "runs"),
            (0.5, 0.25, 0.75, 1, "runs"),
            (0.5, 0.0, 0.75, 6, "zero"),  # an interval that ends at zero holds it
            (-0.5, -0.75, 0.0, 6, "zero"),
            (0.0, 0.0, 0.0, 6, "zero"),
            (0.5, -0.75, -0.25, 6, "zero"),  # the estimate beyond zero from its interval
            (0.5, 0.125, 0.625, 6, None),  # as wide as the estimate: still measured
            (0.5, 0.125, 0.875, 6, "wide"),
            (-0.5, -0.875, -0.125, 6, "wide"),
        ]
        for estimate, low, high, count, why in cases:
            with self.subTest(estimate=estimate, low=low, high=high, runs=count):
                found = measured.Measure(estimate, low, high, count)
                self.assertEqual((found.unmeasured, found.measurable), (why, why is None))
        # The median's interval comes from its own seed alone, and holds the median.
        values = [0.3, 0.1, 0.4, 0.1, 0.5, 0.9, 0.2]
        self.assertEqual(measured.median(values, "s"), measured.median(values, "s"))
        found = measured.median(values, "s")
        self.assertEqual((found.estimate, found.runs), (0.3, 7))
        self.assertTrue(min(values) <= found.low <= found.estimate <= found.high <= max(values))

    def test_the_patch_starts_at_the_projects_top_wherever_it_is_run(self):
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory).resolve()
            for d in ("home/.git", "home/proj/.git", "home/proj/src", "home/proj/build",
                      "other/.git", "other/src", "main/.git/worktrees/wt", "wt/src", "out/build",
                      "plain/src", "plain/build", "super/.git", "super/sub/src"):
                (top / d).mkdir(parents=True)
            (top / "wt/.git").write_text(f"gitdir: {top}/main/.git/worktrees/wt\n")
            (top / "super/sub/.git").write_text("gitdir: ../.git/modules/sub\n")
            # (the database's directory, the units' files, the top found)
            cases = [
                ("home/proj/build", ["../src/a.c", "../src/b.c"], "home/proj"),  # not HOME's
                ("out/build", [f"{top}/home/proj/src/a.c"], "home/proj"),
                ("out/build", [f"{top}/other/src/a.c", f"{top}/home/proj/src/a.c",
                               f"{top}/other/src/b.c"], "other"),  # the most units'
                ("out/build", [f"{top}/other/src/a.c", f"{top}/home/proj/src/a.c"], "home/proj"),
                ("wt/src", ["a.c"], "wt"),
                ("super/sub/src", ["a.c"], "super/sub"),
                ("plain/build", ["../src/a.c"], "plain"),  # outside git: what they share
                ("plain/build", ["../src/a.c", f"{top}/plain/lib.c"], "plain"),
            ]
            for where, files, found in cases:
                with self.subTest(database=where, files=files):
                    units = [database_unit(str(top / where), f, ["gcc"]) for f in files]
                    self.assertEqual(project.project_top(
                        str(top / where / "compile_commands.json"), units), str(top / found))
            # The fixes, shown from the top wherever the tool runs; one outside it withdrawn.
            for d in ("home/proj/include", "other/include"):
                (top / d).mkdir()
            for name in ("home/proj/include/a.h", "other/include/b.h"):
                (top / name).write_text("int x;\n")
            # A link in the project to a file outside it, and a path that climbs out of it.
            (top / "home/proj/include/c.h").symlink_to(top / "other/include/b.h")
            outside = ["home/proj/include/c.h", "home/proj/include/../../../other/include/b.h"]
            headers = [{"path": str(top / name), "shape": "no_guard", "causes": {"shape": 1}}
                       for name in ("home/proj/include/a.h", "other/include/b.h", *outside)]
            here = os.getcwd()
            for cwd in (top, top / "home/proj/src", top / "other"):
                with self.subTest(cwd=cwd):
                    os.chdir(cwd)
                    try:
                        proposed = proof.proposed.propose(headers, [], set(), top / "home/proj")
                    finally:
                        os.chdir(here)
                    self.assertEqual([(f.shown, f.new.splitlines()[0]) for f in
                                      proposed.fixes.values()],
                                     [("include/a.h", "#ifndef INCLUDE_A_H_INCLUDED")])
                    self.assertEqual(proposed.withdrawn, [
                        {"path": str(top / name), "reason": "it lies outside the project's top, "
                         f"{top}/home/proj, where git apply takes the patch"}
                        for name in ("other/include/b.h", *outside)])

    def test_the_patchs_paths_start_inside_the_tree(self):
        # (the work trees made, the tree, where the patch's paths start): a work tree above the
        # tree (HOME's own dotfiles) gives no path outside it.
        cases = [
            (["home/.git"], "home/proj", "home/proj"),
            (["home/.git", "home/proj/.git"], "home/proj", "home/proj"),
            (["home/proj/.git", "home/proj/sub/.git"], "home/proj", "home/proj/sub"),
        ]
        for made, tree, expected in cases:
            with self.subTest(made=made), tempfile.TemporaryDirectory() as directory:
                top = Path(os.path.realpath(directory))
                for d in [*made, "home/proj/sub/src"]:
                    (top / d).mkdir(parents=True, exist_ok=True)
                units = [database_unit(str(top / "home/proj/sub/src"), "u.c", ["gcc"])]
                self.assertEqual(project.patch_top(str(top / "home/proj/sub/compile_commands.json"),
                                               units, [str(top / tree)]), str(top / expected))

    def test_a_fix_is_proven_only_where_every_units_code_stays_the_same(self):
        if not shutil.which("gcc") or not shutil.which("g++"):
            self.skipTest("gcc or g++ is not installed")
        # Headers entered again by u.c (or u.cc), which includes h.h twice; in each unit's code
        # a number that only a line marker carries, or a file tested but never read, or a
        # precompiled header that -E does not read.
        twice = '#include "h.h"\n#include "h.h"\n'
        seen = "#ifdef H_SEEN\nint twice(void) { return 2; }\n#endif\n#define H_SEEN\n"
        # A body guarded, with a line after it that adds no text: a new guard goes round the
        # whole file, and the text of the units without the line markers is the same.
        body = "#ifndef H_H\n#define H_H\n%s#endif\n#define H_TAIL 1\n"
        line_of = "static inline int at(void) { return %s; }\nint use(void) { return at(); }\n"
        # (what it is, the files (src/ holds the unit), the unit's extra flags, its file, the
        # modes (in the sandbox, or not), the reason of the one fix withdrawn, or None where it
        # is proven)
        cases = [
            ("a plain header", {"src/h.h": "int h;\n"}, [], "u.c", (True, False), None),
            ("a guarded header named two ways, #pragma once before its #endif",
             {"src/h.h": "#ifndef H_H\n#define H_H\nint h;\n#endif\n",
              "src/sub/s.h": '#include "../h.h"\n', "src/u.c": '#include "h.h"\n'
              '#include "sub/s.h"\n'}, [], "u.c", (True, False), None),
            ("a body without lines", {"src/h.h": body % "int h(void) { return 1; }\n"}, [],
             "u.c", (True, False), None),
            ("__builtin_LINE()", {"src/h.h": body % (line_of % "__builtin_LINE()")},
             [], "u.c", (True, False), "it moves lines whose numbers its code holds"),
            ("std::source_location",
             {"src/h.h": "#include <source_location>\n" + body % (
                 "static inline unsigned at() { return std::source_location::current().line(); }"
                 "\nunsigned use() { return at(); }\n")},
             ["-std=c++20"], "u.cc", (True, False), "it moves lines whose numbers its code holds"),
            ("__LINE__ in an inline function", {"src/h.h": body % (line_of % "__LINE__")},
             [], "u.c", (True, False), "it moves lines whose numbers its code holds"),
            ("__builtin_LINE(), a cycle's #pragma once",
             {"src/h.h": "#ifndef H_H\n#define H_H\n#include \"back.h\"\n"
              + line_of % "__builtin_LINE()"
              + "#endif\n", "src/back.h": '#include "h.h"\n'},
             [], "u.c", (True, False), "it moves lines whose numbers its code holds"),
            ("__has_include of a file beside it", {"src/h.h": "#if __has_include(\"marker.txt\")\n"
                                                   + seen + "#endif\n", "src/marker.txt": ""},
             [], "u.c", (True, False), "it is read again on purpose"),
            ("__has_include of a file below it",
             {"src/h.h": "#if __has_include(\"sub/marker.txt\")\n" + seen + "#endif\n",
              "src/sub/marker.txt": ""},
             [], "u.c", (False,), "the scratch copies of --no-sandbox do not reproduce src/u.c"),
            ("a stale precompiled header in an absolute -I",
             {"include/h.h": seen, "pch/h.h": "#define H_SEEN\n",
              "src/u.c": '#include "h.h"\n#include "../include/h.h"\n'},
             ["-I{tree}/pch", "-I{tree}/include"], "u.c", (True, False),
             "its code could not be compared: it reads the precompiled header pch/h.h.gch"),
        ]
        for what, files, extra, name, modes, withdrawn in cases:
            for sandbox in modes:
                if sandbox and not shutil.which("bwrap"):
                    continue
                with self.subTest(what, sandbox=sandbox), tempfile.TemporaryDirectory() as top:
                    tree = Path(top).resolve()
                    for path, text in {f"src/{name}": twice, **files, ".git/x": ""}.items():
                        (tree / path).parent.mkdir(parents=True, exist_ok=True)
                        (tree / path).write_text(text)
                    if "pch/h.h" in files:
                        subprocess.run(["gcc", "-x", "c-header", "pch/h.h"], cwd=tree,
                                       check=True)
                        (tree / "pch/h.h").unlink()
                    compiler = "g++" if name.endswith(".cc") else "gcc"
                    (tree / "build").mkdir()
                    (tree / "build/compile_commands.json").write_text(json.dumps([{
                        "directory": str(tree / "build"), "file": f"../src/{name}",
                        "arguments": [compiler, *(e.format(tree=tree) for e in extra), "-c",
                                      f"../src/{name}"]}]))
                    done = subprocess.run(
                        [sys.executable, str(Path(__file__).parent.parent / "tools/check-guards"),
                         *([] if sandbox else ["--no-sandbox"]), "--rounds", "1", "--patch",
                         "fix.diff", "--json", "r.json", "build"], cwd=tree,
                        capture_output=True, text=True, timeout=120)
                    self.assertNotIn("Traceback", done.stderr)
                    found = json.loads((tree / "r.json").read_text())["proof"]
                    reasons = [w["reason"] for w in found["withdrawn"]]
                    # One round (--rounds 1) never measures a saving, and says why.
                    self.assertEqual((found["measurable"], found["not_measurable"]),
                                     (False, "runs"))
                    if found["units"]:
                        self.assertIn("; no measurable saving: too few rounds to tell (1, at "
                                      "least 6 needed)\n", done.stdout)
                    if withdrawn is None:
                        self.assertEqual((done.returncode, reasons, len(found["patched"])),
                                         (0, [], 1), done.stdout)
                    else:
                        self.assertEqual((done.returncode, found["patched"]), (1, []),
                                         done.stdout)
                        self.assertEqual(len(reasons), 1, reasons)
                        self.assertIn(withdrawn, reasons[0])

    def test_the_re_entries_counted_are_those_of_the_fixed_headers(self):
        count = compare.counter({"/a.h": None, "/b.h": None})
        walked = [(1, "/a.h"), (1, "/a.h"), (1, "/c.h"), (1, "/c.h"), (2, "/b.h"), (1, "/a.h")]
        self.assertEqual((count(walked), count(walked, "/a.h"), count(walked, "/c.h")), (2, 2, 0))


def code_span_text(span):
    """What Markdown shows of the code span `span`, which must be all of it; None where it is
    not one: its fence is the first run of backticks, closed by the next run as long."""
    fence = re.match("`+", span)
    if not fence:
        return None
    runs = [m for m in re.finditer("`+", span[fence.end():]) if len(m[0]) == len(fence[0])]
    if not runs or fence.end() + runs[0].end() != len(span):
        return None
    inside = span[fence.end():fence.end() + runs[0].start()]
    if inside.startswith(" ") and inside.endswith(" ") and inside.strip(" "):
        inside = inside[1:-1]
    return inside


class Shown(unittest.TestCase):
    def test_a_name_is_shown_so_that_it_cannot_forge_a_line(self):
        # (a name, as printable shows it, as a line that begins with it shows it)
        command = "::error file=README.md,line=1::x/a.h"
        cases = [
            ("src/a.h", "src/a.h", "src/a.h"),
            ("a\u202eh.c", "a\\u202eh.c", "a\\u202eh.c"),
            ("\u2066x\u2069\u200b\ufeff", "\\u2066x\\u2069\\u200b\\ufeff", None),
            ("tag\U000e0041", "tag\\U000e0041", None),
            ("back\\slash\u202e", "back\\\\slash\\u202e", None),
            ("back\\slash", "back\\slash", None),
            ("\udcff.h", "\\xff.h", None),
            ("\u00e9.h", "\u00e9.h", None),
            ("##vso[task.setvariable variable=PATH]/a.h",
             "\\x23#vso[task.setvariable variable=PATH]/a.h", None),
            ("x ##[error]y ##VSO[task]", "x \\x23#[error]y \\x23#VSO[task]", None),
            ("#define CAT(a, b) a##b", "#define CAT(a, b) a##b", None),
            (command, command, "./" + command),
            ("  ::warning::x", "  ::warning::x", "./  ::warning::x"),
            ("##x/a.h", "##x/a.h", "./##x/a.h"),
            ("src/::error::/a.h", "src/::error::/a.h", "src/::error::/a.h"),
        ]
        for text, shown, first in cases:
            with self.subTest(text=text):
                self.assertEqual(names.printable(text), shown)
                self.assertEqual(names.line_start(text), first or shown)

    def test_a_table_cell_holds_its_text_whole(self):
        # (a header's text, its cell as plain text, as code)
        cases = [
            ("a|b", "a\\|b", "`a\\|b`"),
            ("a`b", "a\\`b", "``a`b``"),
            ("`x`", "\\`x\\`", "`` `x` ``"),
            ("a\\|b", "a\\\\\\|b", "`a\\\\|b`"),
            ("`` | ```", "\\`\\` \\| \\`\\`\\`", "```` `` \\| ``` ````"),
            ("int a; // \u202e", "int a; // \\u202e", "`int a; // \\u202e`"),
        ]
        for text, plain, code in cases:
            with self.subTest(text=text):
                self.assertEqual((report.cell(text), report.code_cell(text)), (plain, code))
                # A row of the two splits into them alone, as GitHub splits a table's row, and
                # the code span shows the text (its | escaped for the table).
                row = f"| {plain} | {code} |"
                self.assertEqual(len(re.split(r"(?<!\\)\|", row)), 4, row)
                self.assertEqual(code_span_text(code).replace("\\|", "|"),
                                 names.printable(text))


class Record(unittest.TestCase):
    def test_the_version_said_is_the_builds(self):
        cmake = (Path(__file__).resolve().parent.parent / "CMakeLists.txt").read_text()
        self.assertIn(f"VERSION {guardgen_common.VERSION}\n", cmake)

    def test_the_shards_missing_and_the_records_refused_as_shards_of_one_build(self):
        def part(shard, directory="/p"):
            return {"directory": directory, "shard": shard}

        # (the shards given, those missing)
        for given, missing in [(["1/3", "3/3"], ["2/3"]), (["1/2", "2/2"], []), ([None], []),
                               (["2/2"], ["1/2"]), (["01/2", "2/2"], [])]:
            with self.subTest(given=given):
                self.assertEqual(record.missing_parts([part(s) for s in given]), missing)
        # (the records, what the refusal says)
        for records, said in [
                ([part("1/2"), part("2/2", "/q")], "b: a record of the database in /q"),
                ([part("1/2"), part("1/2")], "b: the same part as a (1/2)"),
                ([part("1/2"), part("01/2")], "b: the same part as a (01/2)"),
                ([part(None), part("1/2")], "b: the same part as a"),
                ([part("1/2"), part(None)], "b: the same part as a (all units)")]:
            with self.subTest(records=records):
                with self.assertRaisesRegex(Failure, re.escape(said)):
                    record.check_parts(records, ["a", "b"])
        record.check_parts([part("1/2"), part("2/2")], ["a", "b"])

    def test_sums_the_units_and_merges_parts_as_one_run_over_all(self):
        def walked(counts):
            return [(1, path) for path, count in counts.items() for _ in range(count)]

        outcomes = [
            audit.Outcome("u1.c", walked({"/p/a.h": 3, "/p/b.h": 1, "/usr/include/s.h": 2})),
            audit.Outcome("u2.c", walked({"/p/a.h": 1, "/usr/include/s.h": 4})),
            audit.Outcome("u3.c", walked({"/p/a.h": 2})),
        ]
        system = [["/usr/include"]] * 3

        def summarise(part):
            found = {}
            for i in part:
                audit.add(found, outcomes[i].counts, system[i])
            for h in found.values():  # as if the files were there
                h.size = {"/p/a.h": 100, "/p/b.h": 10, "/usr/include/s.h": 1000}[h.path]
                h.shape, h.line, h.text = "no_guard", 1, "int x;"
            return record.record("/p", {"gcc": 1}, len(part), [], found)

        whole = summarise([0, 1, 2])
        a = next(h for h in whole["headers"] if h["path"] == "/p/a.h")
        self.assertEqual((a["units"], a["entries"], a["reentries"], a["bytes_reread"]),
                         (2, 6, 3, 300))
        self.assertEqual([h["path"] for h in whole["headers"]],
                         ["/usr/include/s.h", "/p/a.h", "/p/b.h"])
        self.assertEqual(whole["totals"], {
            "reentries_processed": 7, "units": 3, "headers": 3, "entries": 13, "reentries": 7,
            "bytes_read": 6 * 100 + 10 + 6 * 1000, "bytes_reread": 300 + 4000,
            "share_reread": round(4300 / 6610, 4)})
        merged = record.merge([summarise([0, 2]), summarise([1])])
        self.assertEqual(merged, whole)
        table = report.table(whole, "/p", 20)
        self.assertIn("| a.h | 3 | 2 | processed | 300 | no_guard, line 1: `int x;` |", table)
        self.assertNotIn("s.h |", table)
        self.assertIn("System headers: 1 entered again, 4 times, 4.0 kB scanned again", table)
        self.assertIn("/usr/include/s.h | 4 | 2 | processed | 4000 |", report.table(whole, "/p", 20, True))
        # A | in a cell would end it.
        whole["headers"][1].update(shape="not_a_guard_form", text="#if A || B")
        self.assertIn("not_a_guard_form, line 1: `#if A \\|\\| B` |", report.table(whole, "/p", 20))

    def test_shards_merged_in_any_order_give_the_record_of_one_run(self):
        if not shutil.which("gcc") or not shutil.which("cc"):
            self.skipTest("gcc is not installed")
        with tempfile.TemporaryDirectory() as top:
            top = Path(top)
            sharded_build(top)

            def audited(*options):
                out = top / f"r{len(list(top.glob('r*.json')))}.json"
                done = subprocess.run([sys.executable, str(TOOL), "--no-sandbox", "-j2",
                                       *options, "--json", str(out)], cwd=top,
                                      capture_output=True, text=True, timeout=300)
                self.assertNotIn("Traceback", done.stderr)
                return out, json.loads(out.read_text()), done.stdout

            _, whole, table = audited("build")
            # (what makes the merge matter, as one run gives it): a shard alone gives it
            # otherwise, so that a merge that takes it from one part, or in the parts' order,
            # gives it otherwise too.
            for what, value, expected in [
                    ("the lines named for common.h: the first ten in the database's order",
                     [(Path(i["path"]).name, i["line"]) for i in named(whole, "common.h")],
                     [("u1.c", 2), ("u2.c", 2), ("u6.c", 4), ("u8.c", 3), ("u8.c", 4),
                      ("u9.c", 2), ("u9.c", 3), ("u10.c", 2), ("u10.c", 3), ("u11.c", 2)]),
                    ("opt.h's setting, -D'd by the first unit alone",
                     header_of(whole, "opt.h")["setting"], "OPT"),
                    ("opt.h's shape, read knowing that", header_of(whole, "opt.h")["shape"],
                     "settings"),
                    ("late.h's setting, tested by a unit that does not enter it",
                     header_of(whole, "late.h")["setting"], "LATE_H"),
                    ("the programs, in the order of their first units", whole["compiler"],
                     "gcc, cc"),
                    ("the failures, in the database's order",
                     [Path(f["file"]).name for f in whole["failed"]], ["u3.c", "u4.c"]),
                    ("the skipped, by reason", list(whole["skipped"]),
                     [".s is not C or C++", "rustc is not a C or C++ compiler that lists its "
                      "headers (gcc, clang, cl or clang-cl)"]),
                    ("other.h's causes, in the catalogue's order",
                     header_of(whole, "other.h")["causes"], {"cycle": 1, "shape": 1}),
                    # Read in the second shard, their guards' macros -D'd by u13 alone, in the
                    # first: the shape as one run reads it knowing that.
                    *((f"{name}'s shape and setting, -D'd in another shard",
                       [header_of(whole, name)[k] for k in ("shape", "line", "setting")],
                       ["settings", 1, macro])
                      for name, macro in [("unset.h", "UNSET"), ("tail.h", "TAIL_H"),
                                          ("sysopt.h", "SYSOPT")]),
                    ("sysopt.h, a system header only measured in u13",
                     [header_of(whole, "sysopt.h")[k] for k in ("system", "units")], [True, 1])]:
                with self.subTest(what=what):
                    self.assertEqual(value, expected)
            for count in (2, 3):
                parts = [audited("--shard", f"{i}/{count}", "build")[0]
                         for i in range(1, count + 1)]
                for given in itertools.permutations(parts):
                    with self.subTest(merged=[p.name for p in given]):
                        _, merged, shown = audited("--merge", *map(str, given))
                        self.assertEqual(merged["merged"], [f"{i}/{count}"
                                                            for i in range(1, count + 1)])
                        self.same_record(merged, whole)
                        self.assertEqual(shown, table)

    def same_record(self, merged, whole):
        """`merged` is `whole`, field by field (their order too), but which parts it merged."""
        apart = ("shard", "merged")
        self.assertEqual([k for k in merged if k not in apart],
                         [k for k in whole if k not in apart])
        for key in whole:
            if key not in apart + ("headers",):
                self.assertEqual(json.dumps(merged[key]), json.dumps(whole[key]), key)
        self.assertEqual([h["path"] for h in merged["headers"]],
                         [h["path"] for h in whole["headers"]])
        for ours, theirs in zip(merged["headers"], whole["headers"]):
            for key in theirs:
                self.assertEqual(json.dumps(ours.get(key)), json.dumps(theirs[key]),
                                 f"{theirs['path']}: {key}")
            self.assertEqual(list(ours), list(theirs))


TOOL = Path(__file__).resolve().parent.parent / "tools/check-guards"


def header_of(found, name):
    """The header of the record `found` whose file is named `name`."""
    return next(h for h in found["headers"] if Path(h["path"]).name == name)


def named(found, name):
    return header_of(found, name)["includes"]


def sharded_build(top):
    """A build at `top` whose shards each see part of what one run decides: a header with no
    guard that more units include twice than ten lines name; a guard that one unit's -D makes a
    setting, and another that a unit which does not enter it tests for a value; guards, one that
    does not cover its file, and a system header's, that only a unit of another shard -D's; two
    programs, the second first in the second shard; failures and skipped units in different
    shards; a header entered again as a cycle in one unit and by its shape in another."""
    for directory in (".git", "include", "src", "build", "sys"):
        (top / directory).mkdir()
    for name, text in [
            ("common.h", "int common;\n"),
            ("opt.h", "#ifndef OPT\nint opt;\n#endif\n"),
            ("late.h", "#ifndef LATE_H\n#define LATE_H\nint late;\n#endif\n"),
            ("other.h",
             '#ifndef DEPTH\n#define DEPTH\n#include "other.h"\n#endif\nint other;\n'),
            ("unset.h", "#ifndef UNSET\nint unset;\n#endif\n"),
            # A guard that does not cover the whole file.
            ("tail.h", "#ifndef TAIL_H\n#define TAIL_H\nint tail;\n#endif\nint after;\n"),
            ("../sys/sysopt.h", "#ifndef SYSOPT\nint sysopt;\n#endif\n")]:
        (top / "include" / name).write_text(text)

    def includes(*names):
        return "".join(f'#include "{n}"\n' for n in names)

    twice = includes("common.h", "common.h", "opt.h", "opt.h")
    # (its program, its flags, its file, the file's text)
    units = [
        ("gcc", ["-DOPT=2"], "u1.c", twice + "#include <stddef.h>\n#if LATE_H > 1\n#endif\n"),
        ("cc", [], "u2.c", twice + includes("late.h") + "#undef LATE_H\n" + includes("late.h")
         + "#include <stddef.h>\n#include <stddef.h>\n"),
        ("gcc", [], "u3.c", "#error one\n"),
        ("gcc", [], "u4.c", includes("missing.h")),
        ("rustc", [], "lib.rs", ""),
        ("gcc", [], "u6.c", includes("other.h", "opt.h") + twice),
        ("gcc", [], "asm.s", ""),
        ("gcc", [], "u8.c", "#define DEPTH\n" + includes("common.h", "common.h", "common.h",
                                                       "other.h", "other.h")),
        *(("gcc", [], f"u{n}.c", includes("common.h") + twice) for n in range(9, 13)),
        # The first shard of two and of three; u14 in the second of each.
        ("gcc", ["-DUNSET", "-DTAIL_H", "-DSYSOPT"], "u13.c", "#include <sysopt.h>\n"),
        ("gcc", [], "u14.c", includes("unset.h", "unset.h", "tail.h", "tail.h")
         + "#include <sysopt.h>\n#include <sysopt.h>\n"),
    ]
    for _, _, name, text in units:
        (top / "src" / name).write_text(text)
    (top / "build/compile_commands.json").write_text(json.dumps([
        {"directory": str(top / "build"), "file": f"../src/{name}",
         "arguments": [program, "-I../include", "-isystem", "../sys", *flags, "-c",
                       f"../src/{name}"]}
        for program, flags, name, _ in units]))


if __name__ == "__main__":
    unittest.main()
