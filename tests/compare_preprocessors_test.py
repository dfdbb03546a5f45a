#!/usr/bin/python3
"""The pure parts of tools/compare-preprocessors on made-up timings: the fit, the verdicts, the
declaration count, the table and the JSON. Nothing here runs a program or measures time."""

import importlib.machinery
import importlib.util
import json
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parent.parent / "tools" / "compare-preprocessors"
loader = importlib.machinery.SourceFileLoader("compare_preprocessors", str(SCRIPT))
module_spec = importlib.util.spec_from_loader(loader.name, loader)
cp = importlib.util.module_from_spec(module_spec)
loader.exec_module(cp)

COUNTS = (0, 2500, 5000, 10000)


def line(start_ms, ns_per_include, noise=()):
    """Runs that take start + cost x count, each count's runs slowed by `noise` (seconds)."""
    return {
        c: [start_ms / 1e3 + ns_per_include * c / 1e9 + n for n in (noise or (0.0,))]
        for c in COUNTS
    }


def result(name, costs, start_ms=10.0, once_declarations=1, command=None):
    r = cp.Result(name, command or cp.command_for(name))
    for style, cost in zip(cp.STYLES, costs):
        r.times[style] = line(start_ms, cost)
    r.declarations = {"eg": 1, "ig": 1, "ng": max(COUNTS), "once": once_declarations}
    return r


class Fit(unittest.TestCase):
    def test_recovers_start_and_cost_of_a_straight_line(self):
        for start_ms, ns in [(0.0, 0.0), (2.0, 150.0), (40.0, 1400.0), (4.5, 25000.0)]:
            with self.subTest(start_ms=start_ms, ns=ns):
                f = cp.fit(line(start_ms, ns))
                self.assertAlmostEqual(f.start_ms, start_ms, places=6)
                self.assertAlmostEqual(f.ns_per_include, ns, places=3)

    def test_fits_the_fastest_run_so_slowed_runs_do_not_move_it(self):
        times = line(5.0, 1000.0, noise=(0.003, 0.0, 0.0001))
        times[10000][0] += 2.0  # a run that stalled for two seconds
        times[0][2] += 0.5
        f = cp.fit(times)
        self.assertAlmostEqual(f.start_ms, 5.0, places=6)
        self.assertAlmostEqual(f.ns_per_include, 1000.0, places=3)


class Verdicts(unittest.TestCase):
    def test_guarded_header_skipped_only_well_below_an_unguarded_include(self):
        # (ig ns, ng ns, verdict)
        cases = [
            (200.0, 9000.0, "skipped"),  # gcc, tcc
            (1400.0, 2800.0, "skipped"),  # clang: still looks the header up
            (699.0, 1000.0, "skipped"),
            (701.0, 1000.0, "re-read"),
            (25000.0, 25500.0, "re-read"),  # mcpp
            (26000.0, 25000.0, "re-read"),
            (100.0, 0.0, "re-read"),  # nothing to compare with
            (-5.0, -10.0, "re-read"),
        ]
        for ig, ng, verdict in cases:
            with self.subTest(ig=ig, ng=ng):
                fits = {"ig": cp.Fit(1.0, ig), "ng": cp.Fit(1.0, ng)}
                self.assertEqual(cp.guarded_header_verdict(fits), verdict)

    def test_pragma_once_honoured_only_with_one_declaration(self):
        for declarations, verdict in [(1, "honoured"), (10000, "ignored"), (0, "ignored")]:
            with self.subTest(declarations=declarations):
                self.assertEqual(cp.pragma_once_verdict({"once": declarations}), verdict)


class Declarations(unittest.TestCase):
    def test_counts_each_declaration_line_whatever_the_preprocessor_puts_around_it(self):
        cases = [
            ("", 0),
            ("extern int i;\n", 1),
            ('# 1 "guard.h" 1\n\n\nextern int i;\n# 2 "ig3.c" 2\n', 1),
            ("    extern int i;\n#line 2 \"ng.c\"\nextern int i;\n", 2),
            ("extern  int  i ;\r\nextern int i;", 2),
            ("extern int i; extern int i;\nextern int j;\n// extern int i;\n", 0),
        ]
        for text, n in cases:
            with self.subTest(text=text):
                self.assertEqual(cp.count_declarations(text), n)


class Counts(unittest.TestCase):
    def test_accepts_positive_counts_only(self):
        self.assertEqual(cp.parse_count("007"), 7)
        self.assertEqual(cp.parse_count("999999999"), 999999999)
        for text in ["0", "", "-5", "1e3", "abc", "1000000000", " 5"]:
            with self.subTest(text=text):
                with self.assertRaises(cp.Failure):
                    cp.parse_count(text)


class Output(unittest.TestCase):
    def setUp(self):
        self.results = [
            result("gcc", (450.0, 250.0, 9100.0, 300.0)),
            result("clang -E -P", (800.0, 1430.0, 2750.0, 1500.0), start_ms=42.0),
            result("mcpp", (1200.0, 24700.0, 25600.0, 1100.0), once_declarations=1),
            result("cpphs --cpp", (900.0, 5000.0, 5200.0, 5100.0), once_declarations=10000),
        ]
        self.summary = cp.report(COUNTS, self.results)

    def test_json_has_the_documented_shape_and_the_commands_as_run(self):
        parsed = json.loads(json.dumps(self.summary))
        self.assertEqual(parsed["counts"], list(COUNTS))
        self.assertEqual(
            [(p["name"], p["command"]) for p in parsed["preprocessors"]],
            [("gcc", "gcc -E"), ("clang -E -P", "clang -E -P"), ("mcpp", "mcpp"),
             ("cpphs --cpp", "cpphs --cpp")],
        )
        for pp in parsed["preprocessors"]:
            self.assertEqual(
                set(pp), {"name", "command", "styles", "guarded_header", "pragma_once"}
            )
            self.assertEqual(list(pp["styles"]), ["eg", "ig", "ng", "once"])
            for style in pp["styles"].values():
                self.assertEqual(set(style), {"start_ms", "ns_per_include", "declarations"})
        gcc = parsed["preprocessors"][0]
        self.assertAlmostEqual(gcc["styles"]["ng"]["ns_per_include"], 9100.0)
        self.assertAlmostEqual(gcc["styles"]["ng"]["start_ms"], 10.0)
        self.assertEqual(gcc["styles"]["ng"]["declarations"], 10000)

    def test_verdicts_follow_the_timings_and_the_declarations(self):
        verdicts = [(p["guarded_header"], p["pragma_once"]) for p in self.summary["preprocessors"]]
        self.assertEqual(
            verdicts,
            [("skipped", "honoured"), ("skipped", "honoured"), ("re-read", "honoured"),
             ("re-read", "ignored")],
        )

    def test_table_has_a_row_per_preprocessor(self):
        self.assertEqual(
            cp.markdown_table(self.summary).splitlines(),
            [
                "| preprocessor | eg ns | ig ns | ng ns | once ns | start-up ms "
                "| guarded header | #pragma once |",
                "|---|---:|---:|---:|---:|---:|---|---|",
                "| gcc | 450 | 250 | 9100 | 300 | 10.0 | skipped | honoured |",
                "| clang -E -P | 800 | 1430 | 2750 | 1500 | 42.0 | skipped | honoured |",
                "| mcpp | 1200 | 24700 | 25600 | 1100 | 10.0 | re-read | honoured |",
                "| cpphs --cpp | 900 | 5000 | 5200 | 5100 | 10.0 | re-read | ignored |",
            ],
        )


class Commands(unittest.TestCase):
    def test_known_names_get_their_command_and_anything_else_is_the_command(self):
        cases = [
            ("gcc", "gcc -E"),
            ("clang", "clang -E"),
            ("tcc", "tcc -E"),
            ("mcpp", "mcpp"),
            ("clang -E -P", "clang -E -P"),
            ("/usr/bin/cpp -P", "/usr/bin/cpp -P"),
        ]
        for name, command in cases:
            with self.subTest(name=name):
                self.assertEqual(cp.command_for(name), command)


if __name__ == "__main__":
    unittest.main()
