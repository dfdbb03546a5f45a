#!/usr/bin/python3
"""The pure parts of check-guards and of what the companions share, on made-up input: the shape
of a header's guard, the compiler's listing of the headers it entered, the compilation database,
what runs a unit, and the record and its merging. Nothing here runs a compiler."""

import json
import os
import sys
import tempfile
import unittest
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

from check_guards import audit, compilers, database, report  # noqa: E402
from guardgen_common import entries, shapes  # noqa: E402
from guardgen_common.processes import Failure  # noqa: E402


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
        ]
        for text, reason, line, written in cases:
            with self.subTest(text=text):
                found = shapes.shape(text)
                self.assertEqual((found.reason, found.line, found.text), (reason, line, written))

    def test_every_shape_named_has_a_fix(self):
        self.assertLessEqual(set(shapes.GUARD_NAMES), set(report.FIXES))


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

    def test_the_same_from_the_files_opened_and_from_show_includes(self):
        trace = ('4242  openat(AT_FDCWD, "g.h", O_RDONLY) = 4\n'
                 '4242  openat(AT_FDCWD, "/inc/g.h", O_RDONLY|O_NOCTTY) = 3\n'
                 '4242  openat(AT_FDCWD, "/usr/g.h", O_RDONLY) = -1 ENOENT (No such file)\n'
                 '4243  open("/inc/g.h", O_RDONLY) = 5\n'
                 '4243  openat(3, "x.h", O_RDONLY) = 6\n'
                 '4242  +++ exited with 0 +++\n')
        self.assertEqual(entries.opened(trace, "/inc"),
                         Counter({"/inc/g.h": 3, "/inc/x.h": 1}))
        shown = ("x.c\nNote: including file: C:/inc/g.h\n"
                 "Note: including file:  C:/inc/other.h \nNote: including file: g.h\n")
        self.assertEqual(sum(entries.shown_includes(shown, "/w").values()), 3)


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
        ]
        for text, said in cases:
            with self.subTest(text=text):
                with self.assertRaises(Failure) as raised:
                    self.read(text)
                self.assertEqual(str(raised.exception), f"{self.directory}/compile_commands.json: {said}")

    def test_found_as_a_file_a_directory_or_by_default(self):
        with tempfile.TemporaryDirectory() as directory:
            top = Path(directory)
            (top / "build").mkdir()
            (top / "build" / "compile_commands.json").write_text("[]")
            here = os.getcwd()
            os.chdir(top)
            try:
                found = [database.locate(None), database.locate("build"),
                         database.locate("build/compile_commands.json")]
                with self.assertRaisesRegex(Failure, "^nowhere: no compilation database there"):
                    database.locate("nowhere")
            finally:
                os.chdir(here)
            self.assertEqual(set(found), {(top / "build" / "compile_commands.json").resolve()})


class Commands(unittest.TestCase):
    def test_what_writes_a_file_is_taken_away_and_the_listing_asked_for(self):
        unit = database.Unit("/b", "a.c", [
            "ccache", "g++", "-Iinc", "-MD", "-MF", "a.d", "-MT", "a.o", "-MQ", "$(x)", "-MMD",
            "-MFa.d", "-o", "a.o", "-oa.o", "-c", "-save-temps=obj", "-ftime-trace",
            "-fdump-tree-all", "-Wp,-MD,a.d", "-DX", "-std=c++20", "a.c", "-S", "-M", "-MM",
            "--serialize-diagnostics", "a.dia", "-MJ", "a.json", "-dumpbase-ext", ".c", "-isystem",
            "sys", "-Ideps"])
        self.assertEqual(compilers.audit_argv(unit),
                         ["g++", "-Iinc", "-DX", "-std=c++20", "a.c", "-isystem", "sys", "-Ideps",
                          "-E", "-H"])
        self.assertEqual(compilers.audit_argv(unit, ["clang++", "-w"])[:3],
                         ["clang++", "-w", "-Iinc"])
        self.assertEqual(compilers.system_flag_directories(unit), ["/b/sys"])

    def test_only_gcc_and_clang_run_decided_before_anything_runs(self):
        with tempfile.TemporaryDirectory() as directory:
            # A program of the build tree's own that calls itself gcc.
            fake = Path(directory) / "gcc"
            fake.write_text("#!/bin/sh\ntouch ran\n")
            fake.chmod(0o755)
            # (the unit's command, the refusal, or None where it runs)
            cases = [
                (["gcc", "-c", "a.c"], None),
                (["ccache", "gcc", "-c", "a.c"], None),
                ([str(fake), "-c", "a.c"], None),  # an absolute path is the user's own choice
                (["touch", "x"], "its compiler 'touch' is not gcc or clang: refused"),
                (["sh", "-c", "touch x"], "its compiler 'sh'"),
                (["./gcc", "-c", "a.c"], "its compiler './gcc' is a path into the build tree: "
                                         "refused"),
                (["no-such-cc-here", "a.c"], "its compiler 'no-such-cc-here' is not found"),
            ]
            for argv, refusal in cases:
                if argv[0] in ("gcc", "ccache") and not os.path.exists("/usr/bin/gcc"):
                    continue
                unit = database.Unit(directory, "a.c", argv)
                with self.subTest(argv=argv):
                    if refusal is None:
                        compilers.checked_program(unit)
                    else:
                        with self.assertRaises(Failure) as raised:
                            compilers.checked_program(unit)
                        self.assertIn(refusal, str(raised.exception))
            self.assertFalse((Path(directory) / "ran").exists())
            for name in ("gcc", "g++-12", "x86_64-linux-gnu-gcc-12", "clang", "clang++-14",
                         "arm-none-eabi-gcc", "clang.exe"):
                self.assertEqual(entries.listing_of(f"/usr/bin/{name}"), "-H", name)
            for name in ("cc", "ccache", "tcc", "sh", "gcc-wrapper.sh", "xgcc", "mcpp"):
                self.assertIsNone(entries.listing_of(f"/usr/bin/{name}"), name)
            for name in ("cl", "CL.EXE", "clang-cl"):
                self.assertEqual(entries.listing_of(name), "/showIncludes", name)


class Record(unittest.TestCase):
    def test_sums_the_units_and_merges_parts_as_one_run_over_all(self):
        outcomes = [
            audit.Outcome("u1.c", Counter({"/p/a.h": 3, "/p/b.h": 1, "/usr/include/s.h": 2})),
            audit.Outcome("u2.c", Counter({"/p/a.h": 1, "/usr/include/s.h": 4})),
            audit.Outcome("u3.c", Counter({"/p/a.h": 2})),
        ]
        system = [["/usr/include"]] * 3

        def summarise(part):
            found = audit.headers([outcomes[i] for i in part], [system[i] for i in part])
            for h in found.values():  # as if the files were there
                h.size = {"/p/a.h": 100, "/p/b.h": 10, "/usr/include/s.h": 1000}[h.path]
                h.reason, h.line, h.text = "no_guard", 1, "int x;"
            return report.record("/p", "gcc", len(part), [], found)

        whole = summarise([0, 1, 2])
        a = next(h for h in whole["headers"] if h["path"] == "/p/a.h")
        self.assertEqual((a["units"], a["entries"], a["reentries"], a["bytes_reread"]),
                         (2, 6, 3, 300))
        self.assertEqual([h["path"] for h in whole["headers"]],
                         ["/usr/include/s.h", "/p/a.h", "/p/b.h"])
        self.assertEqual(whole["totals"], {
            "units": 3, "headers": 3, "entries": 13, "reentries": 7,
            "bytes_read": 6 * 100 + 10 + 6 * 1000, "bytes_reread": 300 + 4000,
            "share_reread": round(4300 / 6610, 4)})
        merged = report.merge([summarise([0, 2]), summarise([1])])
        self.assertEqual(merged, whole)
        table = report.table(whole, "/p", 20)
        self.assertIn("| a.h | 3 | 2 | 300 | no_guard, line 1: `int x;` |", table)
        self.assertNotIn("s.h |", table)
        self.assertIn("System headers: 1 entered again, 4 times, 4.0 kB re-read", table)
        self.assertIn("/usr/include/s.h | 4 | 2 | 4000 |", report.table(whole, "/p", 20, True))


if __name__ == "__main__":
    unittest.main()
