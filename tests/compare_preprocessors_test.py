#!/usr/bin/python3
"""The pure parts of compare-preprocessors on made-up timings: the fit and its interval, the
verdicts, the check of a preprocessor's output, the room the files take, the table and the JSON.
Nothing here runs a program or measures time."""

import json
import os
import random
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

from compare_preprocessors import cli, inputs, measure, questions, report, verdicts  # noqa: E402

COUNTS = (0, 2500, 5000, 10000)
STYLES = verdicts.STYLES


def line(start_ms, ns_per_include, noise=()):
    """Runs that take start + cost x count, each count's runs slowed by `noise` (seconds)."""
    return {
        c: [start_ms / 1e3 + ns_per_include * c / 1e9 + n for n in (noise or (0.0,))]
        for c in COUNTS
    }


def result(name, costs, start_ms=10.0, once_declarations=1, command=None, forms=None,
           identity=(1, 1, 1, 1, 1, 1, 2), guard_undef="re-read"):
    """A preprocessor's made-up runs: `costs` of the four styles, `forms` of the guard forms other
    than #ifndef (default: all as ng), and its answers from the output."""
    r = measure.Result(name, command or measure.command_for(name), [name])
    for style, cost in zip(STYLES, costs):
        r.times[style] = line(start_ms, cost)
    for form, cost in zip(questions.FORMS, forms or [costs[2]] * len(questions.FORMS)):
        r.times[form] = line(start_ms, cost)
    r.declarations = {"eg": 1, "ig": 1, "ng": max(COUNTS), "once": once_declarations}
    r.identity = dict(zip(questions.IDENTITY_CASES, identity))
    r.guard_undef = guard_undef
    return r


def cost(replicates):
    """A cost whose replicates are `replicates`, as the verdicts see it."""
    low, high = verdicts.interval(replicates)
    return verdicts.Cost(1.0, sorted(replicates)[len(replicates) // 2], low, high, replicates)


class Fit(unittest.TestCase):
    def test_recovers_start_and_cost_of_a_straight_line_with_no_spread(self):
        for start_ms, ns in [(0.0, 0.0), (2.0, 150.0), (40.0, 1400.0), (4.5, 25000.0)]:
            with self.subTest(start_ms=start_ms, ns=ns):
                c = verdicts.estimate(line(start_ms, ns, noise=(0.0, 0.0)), random.Random(1))
                self.assertAlmostEqual(c.start_ms, start_ms, places=6)
                for value in (c.ns_per_include, c.low, c.high):
                    self.assertAlmostEqual(value, ns, places=3)

    def test_fits_the_fastest_run_so_slowed_runs_do_not_move_it(self):
        times = line(5.0, 1000.0, noise=(0.003, 0.0, 0.0001))
        times[10000][0] += 2.0  # a run that stalled for two seconds
        times[0][2] += 0.5
        ns, start_ms = verdicts.line_through(times)
        self.assertAlmostEqual(start_ms, 5.0, places=6)
        self.assertAlmostEqual(ns, 1000.0, places=3)

    def test_the_interval_holds_the_cost_and_widens_with_the_spread_of_the_runs(self):
        rng = random.Random(7)
        widths = []
        for spread in (1e-5, 1e-4, 1e-3):
            noise = [rng.uniform(0, spread) for _ in range(10)]
            c = verdicts.estimate(line(5.0, 1000.0, noise), random.Random(3))
            with self.subTest(spread=spread):
                self.assertLessEqual(c.low, c.ns_per_include)
                self.assertLessEqual(c.ns_per_include, c.high)
            widths.append(c.high - c.low)
        self.assertEqual(widths, sorted(widths))

    def test_a_cost_lost_in_the_start_up_is_not_measurable(self):
        # (ns per include, spread of the runs in seconds, measurable)
        cases = [
            (9000.0, 1e-5, True),  # 90 ms at the largest count against a 10 us spread
            (100.0, 5e-2, False),  # 1 ms against a 50 ms spread
            (0.0, 1e-4, False),
        ]
        rng = random.Random(11)
        for ns, spread, expected in cases:
            times = {c: [10e-3 + ns * c / 1e9 + rng.uniform(0, spread) for _ in range(10)]
                     for c in COUNTS}
            with self.subTest(ns=ns, spread=spread):
                c = verdicts.estimate(times, random.Random(5))
                self.assertEqual(verdicts.measurable(c), expected)


class Verdicts(unittest.TestCase):
    def test_guarded_header_needs_the_whole_interval_on_one_side(self):
        # (replicates of the ig cost, of the ng cost, verdict)
        cases = [
            ([200.0] * 50, [9000.0] * 50, "skipped"),  # gcc, tcc
            ([1400.0] * 50, [2800.0] * 50, "skipped"),  # clang: still looks the header up
            ([25000.0] * 50, [25500.0] * 50, "re-read"),  # mcpp
            ([690.0 + k for k in range(50)], [1000.0] * 50, "unclear"),  # 0.69 to 0.74
            ([600.0 + k for k in range(50)], [1000.0] * 50, "skipped"),
            ([700.0 + k for k in range(50)], [1000.0] * 50, "re-read"),
            ([100.0] * 50, [-50.0 + 10 * k for k in range(50)], "unclear"),  # ng not above 0
            ([-5.0] * 50, [-10.0] * 50, "unclear"),
        ]
        for ig, ng, verdict in cases:
            with self.subTest(ig=ig[:2], ng=ng[:2]):
                costs = {"ig": cost(ig), "ng": cost(ng)}
                self.assertEqual(verdicts.guarded_header_verdict(costs), verdict)

    def test_lifted_guard_from_the_declarations(self):
        for declarations, verdict in [(2, "re-read"), (1, "skipped"), (0, "unclear")]:
            with self.subTest(declarations=declarations):
                self.assertEqual(verdicts.guard_undef_verdict(declarations), verdict)

    def test_pragma_once_from_the_declarations_and_at_least_two_includes(self):
        # (declarations of the once source, largest count, verdict)
        cases = [
            (1, 10000, "honoured"),
            (10000, 10000, "ignored"),
            (1, 2, "honoured"),
            (2, 2, "ignored"),
            (1, 1, "unclear"),  # one include declares once either way
            (0, 10000, "unclear"),
            (5000, 10000, "unclear"),
        ]
        for declarations, largest, verdict in cases:
            with self.subTest(declarations=declarations, largest=largest):
                self.assertEqual(
                    verdicts.pragma_once_verdict({"once": declarations}, largest), verdict
                )


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
                self.assertEqual(verdicts.count_declarations(text), n)

    def test_output_that_is_no_preprocessing_is_found(self):
        # (declarations of eg, ig, ng at the largest count 10, what is wrong)
        cases = [
            ((1, 1, 10), None),  # a preprocessor
            ((0, 0, 0), ("ng", 0, 10)),  # cat, true: no include expanded
            ((1, 1, 1), ("ng", 1, 10)),  # the unguarded header read once only
            ((10, 10, 10), ("eg", 10, 1)),  # no guard honoured at all
            ((1, 2, 10), ("ig", 2, 1)),
        ]
        for (eg, ig, ng), problem in cases:
            with self.subTest(eg=eg, ig=ig, ng=ng):
                found = {"eg": eg, "ig": ig, "ng": ng, "once": 1}
                self.assertEqual(verdicts.output_problem(found, 10), problem)


class Counts(unittest.TestCase):
    def test_accepts_positive_counts_only(self):
        self.assertEqual(cli.parse_count("007"), 7)
        self.assertEqual(cli.parse_count("999999999"), 999999999)
        for text in ["0", "", "-5", "1e3", "abc", "1000000000", " 5"]:
            with self.subTest(text=text):
                with self.assertRaises(measure.Failure):
                    cli.parse_count(text)

    def test_counts_too_small_are_said_in_one_line(self):
        cases = [
            (["gcc"], "gcc"),
            (["gcc", "tcc"], "gcc and tcc"),
            (["clang -E -P", "gcc", "mcpp"], "clang -E -P, gcc and mcpp"),
        ]
        for names, listed in cases:
            with self.subTest(names=names):
                self.assertEqual(
                    cli.too_small(names, 10),
                    f"counts up to 10 are too small to measure {listed} against the start-up: "
                    "give larger counts",
                )

    @unittest.skipUnless(os.environ.get("GUARDGEN"), "GUARDGEN names no guardgen to write the files")
    def test_the_room_the_files_take_holds_what_is_written(self):
        # What the files written for a run take on disk, a block at least for each, against the
        # room asked for before; and twice the counts ask for about twice the room for the
        # includes.
        guardgen = Path(os.environ["GUARDGEN"]).resolve()
        for counts in ([0, 1], [0, 5, 2000], [0, 100, 1000, 30000]):
            with self.subTest(counts=counts), tempfile.TemporaryDirectory() as directory:
                work = Path(directory)
                inputs.write_inputs(guardgen, counts, work, 60)
                taken = sum(max(-(-p.lstat().st_size // 4096), 1) * 4096
                            for p in work.rglob("*") if not p.is_dir())
                needed = inputs.bytes_needed(counts)
                self.assertLessEqual(taken, needed)
                self.assertLess(needed, taken * 1.5 + 64 * 1024)

    def test_a_run_the_temporary_directory_cannot_hold_is_refused(self):
        with tempfile.TemporaryDirectory() as directory:
            inputs.check_room([0, 1000], directory)
            with self.assertRaisesRegex(measure.Failure, f"need .* in {directory}, which has"):
                inputs.check_room([0, 10**14], directory)


class Output(unittest.TestCase):
    def setUp(self):
        self.results = [
            result("gcc", (450.0, 250.0, 9100.0, 300.0), forms=(240.0, 260.0, 9050.0, 9200.0)),
            result("clang -E -P", (800.0, 1430.0, 2750.0, 1500.0), start_ms=42.0),
            result("mcpp", (1200.0, 24700.0, 25600.0, 1100.0), once_declarations=1),
            result("cpphs --cpp", (900.0, 5000.0, 5200.0, 5100.0), once_declarations=10000,
                   identity=(2, 2, 2, None, 2, 2, 2), guard_undef="skipped"),
        ]
        self.results[0].version = "gcc (Debian 12.2.0-14) 12.2.0"
        self.summary = report.report(COUNTS, self.results, 1234, random.Random(1234))

    def test_json_has_the_documented_shape_and_the_commands_as_run(self):
        parsed = json.loads(json.dumps(self.summary))
        self.assertEqual(
            {k: parsed[k] for k in ("counts", "seed", "threshold", "confidence")},
            {"counts": list(COUNTS), "seed": 1234, "threshold": 0.7, "confidence": 0.95},
        )
        self.assertEqual(
            [(p["name"], p["command"], p["version"]) for p in parsed["preprocessors"]],
            [("gcc", "gcc -E", "gcc (Debian 12.2.0-14) 12.2.0"), ("clang -E -P", "clang -E -P", None),
             ("mcpp", "mcpp", None), ("cpphs --cpp", "cpphs --cpp", None)],
        )
        for pp in parsed["preprocessors"]:
            self.assertEqual(
                set(pp), {"name", "command", "version", "styles", "guarded_header", "pragma_once",
                          "measurable", "pragma_once_identity", "guard_undef", "guard_forms"}
            )
            self.assertEqual(list(pp["pragma_once_identity"]), list(questions.IDENTITY_CASES))
            self.assertEqual(list(pp["guard_forms"]), list(questions.FORM_NAMES))
            for form in pp["guard_forms"].values():
                self.assertEqual(set(form), {"ns_per_include", "low", "high", "verdict"})
            self.assertEqual(list(pp["styles"]), ["eg", "ig", "ng", "once"])
            for style in pp["styles"].values():
                self.assertEqual(
                    set(style), {"start_ms", "ns_per_include", "low", "high", "declarations",
                                 "fastest_s", "runs_s"}
                )
        ng = parsed["preprocessors"][0]["styles"]["ng"]
        self.assertEqual(
            (ng["ns_per_include"], ng["low"], ng["high"], ng["start_ms"], ng["declarations"]),
            (9100.0, 9100.0, 9100.0, 10.0, 10000),
        )
        self.assertEqual(list(ng["fastest_s"]), ["0", "2500", "5000", "10000"])
        self.assertAlmostEqual(ng["fastest_s"]["10000"], 0.010 + 9100e-9 * 10000)
        self.assertEqual(ng["runs_s"]["0"], [0.010])

    def test_verdicts_follow_the_timings_and_the_declarations(self):
        verdicts_found = [(p["guarded_header"], p["pragma_once"])
                          for p in self.summary["preprocessors"]]
        self.assertEqual(
            verdicts_found,
            [("skipped", "honoured"), ("skipped", "honoured"), ("re-read", "honoured"),
             ("re-read", "ignored")],
        )

    def test_forms_and_identity_follow_the_timings_and_the_output(self):
        gcc, cpphs = self.summary["preprocessors"][0], self.summary["preprocessors"][3]
        self.assertEqual(
            {f: v["verdict"] for f, v in gcc["guard_forms"].items()},
            {"ifndef": "skipped", "if_not_defined": "skipped", "comments_outside": "skipped",
             "else_branch": "re-read", "tail_after_endif": "re-read"},
        )
        self.assertEqual(gcc["guard_forms"]["ifndef"]["ns_per_include"], 250.0)
        self.assertEqual(cpphs["pragma_once_identity"]["symlink"], None)
        lines = report.identity_table(self.summary).splitlines()
        self.assertEqual(
            [lines[0], lines[2], lines[5]],
            [
                "| #pragma once, then | same name | ./once.h | sub/../once.h | symbolic link "
                "| hard link | copy, same mtime | copy, other mtime |",
                "| gcc | same file | same file | same file | same file | same file | same file "
                "| read again |",
                "| cpphs --cpp | read again | read again | read again | not tried | read again "
                "| read again | read again |",
            ],
        )
        self.assertEqual(
            report.forms_table(self.summary).splitlines()[2],
            "| gcc | skipped, 250 ns | skipped, 240 ns | skipped, 260 ns | re-read, 9050 ns "
            "| re-read, 9200 ns | re-read |",
        )

    def test_table_has_a_row_per_preprocessor_with_the_intervals(self):
        self.assertEqual(
            report.costs_table(self.summary).splitlines(),
            [
                "| preprocessor | eg ns | ig ns | ng ns | once ns | start-up ms "
                "| guarded header | #pragma once |",
                "|---|---:|---:|---:|---:|---:|---|---|",
                "| gcc | 450 (450 to 450) | 250 (250 to 250) | 9100 (9100 to 9100) "
                "| 300 (300 to 300) | 10.0 | skipped | honoured |",
                "| clang -E -P | 800 (800 to 800) | 1430 (1430 to 1430) | 2750 (2750 to 2750) "
                "| 1500 (1500 to 1500) | 42.0 | skipped | honoured |",
                "| mcpp | 1200 (1200 to 1200) | 24700 (24700 to 24700) "
                "| 25600 (25600 to 25600) | 1100 (1100 to 1100) | 10.0 | re-read | honoured |",
                "| cpphs --cpp | 900 (900 to 900) | 5000 (5000 to 5000) | 5200 (5200 to 5200) "
                "| 5100 (5100 to 5100) | 10.0 | re-read | ignored |",
            ],
        )


class Commands(unittest.TestCase):
    def test_known_names_get_their_command_and_anything_else_is_the_command(self):
        cases = [
            ("gcc", "gcc -E"),
            ("clang", "clang -E"),
            ("tcc", "tcc -E"),
            ("mcpp", "mcpp"),
            ("cl", "cl /nologo /E"),
            ("clang-cl", "clang-cl /nologo /E"),
            ("clang -E -P", "clang -E -P"),
            ("/usr/bin/cpp -P", "/usr/bin/cpp -P"),
        ]
        for name, command in cases:
            with self.subTest(name=name):
                self.assertEqual(measure.command_for(name), command)

    def test_output_paths_are_checked_before_the_run(self):
        with tempfile.TemporaryDirectory() as directory:
            # (path, the error, or None)
            cases = [
                (f"{directory}/r.json", None),
                ("-", None),
                (directory, f"{directory}: is a directory"),
                (f"{directory}/no/r.json", f"{directory}/no/r.json: cannot write there"),
            ]
            for path, error in cases:
                with self.subTest(path=path):
                    if error is None:
                        cli.check_writable(path)
                    else:
                        with self.assertRaises(measure.Failure) as raised:
                            cli.check_writable(path)
                        self.assertEqual(str(raised.exception), error)


if __name__ == "__main__":
    unittest.main()
