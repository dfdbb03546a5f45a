#!/usr/bin/python3
"""The pure parts of compare-preprocessors on made-up timings: the fit and its interval, the
verdicts, the check of a preprocessor's output, the room the files take, the table and the JSON.
Nothing here runs a program or measures time."""

import json
import os
import random
import re
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

from compare_preprocessors import (checks, cli, costs, declarations, entry_counts,  # noqa: E402
                                   headers, inputs, measure, options, questions, report,
                                   verdicts)

COUNTS = (0, 2500, 5000, 10000)
STYLES = verdicts.STYLES


# Each count's runs are slowed by these (seconds), in the order of the rounds: a spread small
# against the costs below, so that every verdict is clear, but large enough that no interval is
# a point.
NOISE = (0.0, 3e-4, 1e-4, 6e-4, 2e-4, 0.0, 4e-4, 1e-4)


# The same, five times as loud: the runs no longer pin a ratio down to within a few percent.
LOUD = tuple(n * 5 for n in NOISE)


def line(start_ms, ns_per_include, noise=NOISE):
    """Runs that take start + cost x count, each count's runs slowed by `noise` (seconds)."""
    return {c: [start_ms / 1e3 + ns_per_include * c / 1e9 + n for n in noise] for c in COUNTS}


# How many times an include of one declaration a large body costs in the made-up runs.
BODY = 100


def result(name, costs, start_ms=10.0, once_declarations=1, command=None, forms=None,
           identity=(1, 1, 1, 1, 1, 1, 2), guard_undef="re-read", guarded_body=None):
    """A preprocessor's made-up runs: `costs` of the four styles; the unguarded header, guard.h
    (`guarded_body`, default: as ig) and the guard forms other than #ifndef (`forms`, default:
    all as ng) on a large body, BODY times those; and its answers from the output."""
    r = measure.Result(name, command or measure.command_for(name), [name])
    for style, cost in zip(STYLES, costs):
        r.times[style] = line(start_ms, cost)
    r.times[verdicts.BODY_NG] = line(start_ms, costs[2] * BODY)
    for form, cost in zip(questions.FORM_NAMES,
                          [guarded_body or costs[1],
                           *(forms or [costs[2]] * len(questions.FORMS))]):
        r.times[questions.form_style(form)] = line(start_ms, cost * BODY)
    r.declarations = {"eg": 1, "ig": 1, "ng": max(COUNTS), "once": once_declarations}
    r.identity = dict(zip(questions.IDENTITY_CASES, identity))
    r.guard_undef = guard_undef
    return r


def simulated_runs(rng, counts, runs, ratio, start=5e-3, ng_ns=10000.0, noise=3e-4, drift=0.03,
                   outliers=0.02, stall=1.0):
    """ig and ng timed as the tool times them, with a known truth (ig costs `ratio` of ng) and
    the machine's faults: each run slowed by an exponential delay of mean `noise` seconds, each
    round by a drift of the whole machine (a factor with deviation `drift`), and a share
    `outliers` of runs stalled for `stall` seconds."""
    times = {s: {c: [] for c in counts} for s in ("ig", "ng")}
    for _ in range(runs):
        factor = 1 + rng.gauss(0, drift)
        for style, ns in (("ig", ng_ns * ratio), ("ng", ng_ns)):
            for count in counts:
                seconds = (start + ns * count / 1e9) * factor + rng.expovariate(1 / noise)
                times[style][count].append(seconds + (stall if rng.random() < outliers else 0))
    return times


class Fit(unittest.TestCase):
    def test_recovers_start_and_cost_of_a_straight_line_with_no_spread(self):
        for start_ms, ns in [(0.0, 0.0), (2.0, 150.0), (40.0, 1400.0), (4.5, 25000.0)]:
            with self.subTest(start_ms=start_ms, ns=ns):
                c = costs.estimate(line(start_ms, ns, noise=(0.0, 0.0)), random.Random(1))
                self.assertAlmostEqual(c.start_ms, start_ms, places=6)
                for value in (c.ns_per_include, c.low, c.high):
                    self.assertAlmostEqual(value, ns, places=3)

    def test_fits_the_fastest_run_so_slowed_runs_do_not_move_it(self):
        times = line(5.0, 1000.0, noise=(0.003, 0.0, 0.0001))
        times[10000][0] += 2.0  # a run that stalled for two seconds
        times[0][2] += 0.5
        ns, start_ms = costs.line_through(times)
        self.assertAlmostEqual(start_ms, 5.0, places=6)
        self.assertAlmostEqual(ns, 1000.0, places=3)

    def test_the_interval_holds_the_cost_and_widens_with_the_spread_of_the_runs(self):
        rng = random.Random(7)
        widths = []
        for spread in (1e-5, 1e-4, 1e-3):
            noise = [rng.uniform(0, spread) for _ in range(10)]
            c = costs.estimate(line(5.0, 1000.0, noise), random.Random(3))
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
                c = costs.estimate(times, random.Random(5))
                self.assertEqual(c.measurable, expected)


class Verdicts(unittest.TestCase):
    def test_a_timed_verdict_needs_runs_signal_interval_and_both_halves(self):
        def runs(ns, noise=NOISE):
            return line(10.0, ns, noise)

        def halves_apart(first, second):
            # The even rounds cost `first` ns per include, the odd ones `second`.
            even, odd = runs(first, NOISE[0::2]), runs(second, NOISE[1::2])
            return {c: [t for pair in zip(even[c], odd[c]) for t in pair] for c in COUNTS}

        # (ig runs, ng runs, verdict, what the runs lack)
        cases = [
            (runs(200.0), runs(9000.0), "skipped", None),  # gcc, tcc
            (runs(1400.0), runs(2800.0), "skipped", None),  # clang: still looks the header up
            (runs(25000.0), runs(25500.0), "re-read", None),  # mcpp
            (runs(700.0, LOUD), runs(1000.0, LOUD), "unclear", None),  # at the threshold
            (runs(550.0), runs(1000.0), "skipped", None),
            (runs(800.0), runs(1000.0), "re-read", None),
            (runs(650.0), runs(1000.0), "unclear", None),  # too near it for the halves
            (runs(200.0, NOISE[:5]), runs(9000.0, NOISE[:5]), "unclear", "runs"),
            # ng's cost, 4 us at the largest count, within how far the fastest runs move
            (runs(200.0), runs(0.4, tuple(n + 2e-5 for n in NOISE)), "unclear", "counts"),
            (runs(100.0), runs(-50.0), "unclear", "counts"),
            (halves_apart(200.0, 1000.0), runs(1000.0), "unclear", None),  # a drift for a while
        ]
        for ig, ng, verdict, lack in cases:
            with self.subTest(ig=ig[COUNTS[-1]][:1], ng=ng[COUNTS[-1]][:1]):
                judgement = verdicts.judge({"ig": ig, "ng": ng}, "test")
                self.assertEqual((judgement.verdicts["ig"], judgement.lacking), (verdict, lack))

    def test_the_clock_decides_on_a_large_body_only_where_it_costs_well_more_than_an_include(self):
        # (ns per include of noguard.h (ng), of the unguarded large body, of guard.h's form of
        # it; the verdict, what the runs lack)
        cases = [
            (4600.0, 7.6e6, 24000.0, "skipped", None),  # cppcheck
            (20000.0, 4.6e6, 4.2e6, "re-read", None),  # the stand-in, --rescan
            (10000.0, 110000.0, 10000.0, "skipped", None),  # an include's own cost, no more
            # mcpp, strace hidden: it opens the header again and passes over the body, at 0.6
            # of its cost, which the 1-declaration threshold of 0.7 would have called skipped.
            (8000.0, 3.0e6, 1.8e6, "re-read", None),
            (8000.0, 3.0e6, 0.3e6, "skipped", None),  # 0.1: a tenth of the body at most
            (8000.0, 3.0e6, 0.6e6, "unclear", None),  # 0.2: too near the threshold for the halves
            # A body of one declaration: a preprocessor that keeps the text pays the include's
            # own cost either way, and 0.8 of it says nothing of skipping.
            (5000.0, 6000.0, 4800.0, "unclear", "body"),
            (10000.0, 50000.0, 9000.0, "unclear", "body"),  # only five times an include
            (-50.0, 7.6e6, 24000.0, "unclear", "body"),  # an include's cost not bounded
        ]
        for ng, body_ng, body, verdict, lack in cases:
            with self.subTest(ng=ng, body_ng=body_ng, body=body):
                r = measure.Result("x", "x", ["x"], times={
                    "ng": line(10.0, ng), verdicts.BODY_NG: line(10.0, body_ng),
                    "body_ifndef": line(10.0, body)})
                judgement = verdicts.judge(r.times, "test")
                self.assertEqual(
                    (judgement.verdicts["body_ifndef"], judgement.lacks["body_ifndef"]),
                    (verdict, lack))
                how = report.form_verdict(r, judgement, "ifndef")[1]
                self.assertEqual(how.startswith("clock: the body of 2000 declarations costs less "
                                                "than 10 times an ng include"), lack == "body")

    def test_the_same_runs_give_the_same_judgement_whatever_was_judged_before(self):
        times = {"ig": line(10.0, 690.0), "ng": line(10.0, 1000.0),
                 "eg": line(10.0, 300.0), "once": line(10.0, 650.0)}
        alone = verdicts.judge(times, "k", ["ig"])
        verdicts.judge({"ig": line(1.0, 5.0), "ng": line(1.0, 9.0)}, "other")
        together = verdicts.judge(times, "k")
        self.assertEqual(alone.costs["ig"], together.costs["ig"])
        self.assertEqual(alone.verdicts["ig"], together.verdicts["ig"])
        self.assertNotEqual(verdicts.judge(times, "k2").costs["ig"].replicates,
                            together.costs["ig"].replicates)

    def test_seldom_wrong_with_confidence_on_noisy_runs_and_right_on_clean_ones(self):
        # (what is simulated, runs of the tool, truth, the share of them that must get it)
        default = [0, 100, 1000, 10000, 20000]
        cases = [
            # mcpp at a count of 10: the signal is lost in the start-up's noise.
            (dict(counts=[0, 10], runs=10, ratio=1.0), 3000, "re-read", 0.0),
            (dict(counts=[0, 10], runs=2, ratio=1.0), 500, "re-read", 0.0),
            # Near the threshold, where the signal shows above a noisy start-up.
            (dict(counts=[0, 100, 1000], runs=10, ratio=0.75, ng_ns=5000.0, noise=1e-3,
                  drift=0.02, outliers=0.03, stall=0.05), 2000, "re-read", 0.0),
            (dict(counts=[0, 100, 1000], runs=10, ratio=0.65, ng_ns=5000.0, noise=3e-4,
                  drift=0.02, outliers=0.03, stall=0.05), 2000, "skipped", 0.0),
            (dict(counts=[0, 100, 1000], runs=10, ratio=0.55, ng_ns=5000.0, noise=1e-3,
                  drift=0.02, outliers=0.03, stall=0.05), 2000, "skipped", 0.0),
            # The default counts on a quiet machine: gcc, clang and mcpp.
            (dict(counts=default, runs=10, ratio=0.04, ng_ns=4700.0, noise=2e-4, drift=0.01,
                  outliers=0.01), 200, "skipped", 0.99),
            (dict(counts=default, runs=10, ratio=0.31, ng_ns=1400.0, start=24e-3, noise=5e-4,
                  drift=0.01, outliers=0.01), 200, "skipped", 0.99),
            (dict(counts=default, runs=10, ratio=1.03, ng_ns=10800.0, noise=2e-4, drift=0.01,
                  outliers=0.01), 200, "re-read", 0.99),
        ]
        rng = random.Random(2026)
        for simulated, tries, truth, right_share in cases:
            with self.subTest(**simulated):
                found = [verdicts.judge(simulated_runs(rng, **simulated), f"sim{k}", ["ig"])
                         .verdicts["ig"] for k in range(tries)]
                wrong = sum(v not in (truth, "unclear") for v in found)
                self.assertLess(wrong / tries, 1 / 1000)
                self.assertGreaterEqual(found.count(truth) / tries, right_share)

    def test_lifted_guard_from_the_declarations_after_the_undef(self):
        # The output of guard.h, its guard lifted, the declaration between, guard.h again.
        cases = [
            ('# 1 "guard.h"\nextern int i;\nextern int lifted;\n# 1 "guard.h"\nextern int i;\n',
             "re-read"),
            ("extern int i ; extern int lifted ; extern int i ;", "re-read"),  # spaced, joined
            ("extern int i;\nextern int lifted;\n", "skipped"),
            ("extern int lifted;\nextern int i;\n", "unclear"),  # the first include lost
            ("extern int i;\nextern int i;\n", "unclear"),  # the output is not of this source
            ("", "unclear"),
        ]
        for output, verdict in cases:
            with self.subTest(output=output):
                self.assertEqual(declarations.guard_undef_verdict(declarations.declared(output)), verdict)

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
        for found, largest, verdict in cases:
            with self.subTest(declarations=found, largest=largest):
                self.assertEqual(declarations.pragma_once_verdict({"once": found}, largest),
                                 verdict)


class Declarations(unittest.TestCase):
    def test_counts_each_declaration_by_its_tokens_whatever_the_preprocessor_puts_around_it(self):
        cases = [
            ("", 0),
            ("extern int i;\n", 1),
            ('# 1 "guard.h" 1\n\n\nextern int i;\n# 2 "ig3.c" 2\n', 1),
            ("    extern int i;\n#line 2 \"ng.c\"\nextern int i;\n", 2),
            ("extern  int  i ;\r\nextern int i;", 2),
            # Joined on one line; spaced, as cppcheck writes them; a declaration over two lines.
            ("extern int i; extern int i;\nextern int j;\n// extern int i;\n", 2),
            ('#line 1 "noguard.h"\nextern int i ; extern int i ; extern int i ;\n', 3),
            ("extern int i ; extern int\ni ;extern int i;extern int i;", 4),
            # Line markers of every form, between the tokens of a declaration too.
            ('# 3\nextern int i;\n#line 4\nextern\n#  7 "a b.h" 1 3 4\nint i;\n', 2),
            # Not declarations of i: in a comment or a literal, another name, part of one.
            ('/* extern int i; */ "extern int i;" \'x\' extern int ii; xextern int i;', 0),
            ("extern /* kept by -C */ int i;", 1),
        ]
        for text, n in cases:
            with self.subTest(text=text):
                self.assertEqual(declarations.count_declarations(text), n)

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
                self.assertEqual(declarations.output_problem(found, 10), problem)


class Counts(unittest.TestCase):
    def test_accepts_positive_counts_only(self):
        self.assertEqual(options.parse_count("007"), 7)
        self.assertEqual(options.parse_count("999999999"), 999999999)
        for text in ["0", "", "-5", "+5", "1e3", "abc", "1000000000", " 5", "\u0663"]:
            with self.subTest(text=text):
                with self.assertRaises(measure.Failure):
                    options.parse_count(text)

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
            # clang looks guard.h up on each include (ig about half of ng), and skips its body.
            result("clang -E -P", (800.0, 1430.0, 2750.0, 1500.0), start_ms=42.0,
                   guarded_body=140.0),
            result("mcpp", (1200.0, 24700.0, 25600.0, 1100.0), once_declarations=1),
            result("cpphs --cpp", (900.0, 5000.0, 5200.0, 5100.0), once_declarations=10000,
                   identity=(2, 2, 2, None, 2, 2, 2), guard_undef="skipped"),
        ]
        self.results[0].version = "gcc (Debian 12.2.0-14) 12.2.0"
        self.summary = report.report(COUNTS, self.results, cli.judge_all(self.results, 1234), 1234)

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
                          "measurable", "lacking", "pragma_once_identity", "guard_undef",
                          "guard_forms", "how"}
            )
            self.assertEqual(list(pp["pragma_once_identity"]), list(questions.IDENTITY_CASES))
            self.assertEqual(list(pp["guard_forms"]), list(questions.FORM_NAMES))
            for form in pp["guard_forms"].values():
                self.assertEqual(set(form), {"ns_per_include", "low", "high", "measurable",
                                             "bounded", "verdict", "how"})
            self.assertEqual(list(pp["styles"]), ["eg", "ig", "ng", "once"])
            for style in pp["styles"].values():
                self.assertEqual(
                    set(style), {"start_ms", "ns_per_include", "low", "high", "measurable",
                                 "bounded", "declarations", "fastest_s", "runs_s"}
                )
        ng = parsed["preprocessors"][0]["styles"]["ng"]
        self.assertEqual(
            (ng["ns_per_include"], ng["low"], ng["high"], ng["start_ms"], ng["declarations"]),
            (9100.0, 9092.0, 9110.3, 10.0, 10000),
        )
        self.assertEqual(list(ng["fastest_s"]), ["0", "2500", "5000", "10000"])
        self.assertAlmostEqual(ng["fastest_s"]["10000"], 0.010 + 9100e-9 * 10000)
        self.assertEqual(ng["runs_s"]["0"], [0.010 + n for n in NOISE])
        self.assertEqual(
            {k: self.summary[k] for k in ("verdict_confidence", "min_runs", "signal_factor")},
            {"verdict_confidence": 0.999, "min_runs": 6, "signal_factor": 2},
        )

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
        self.assertEqual(gcc["guard_forms"]["ifndef"]["ns_per_include"], 25000.0)
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
            "| gcc | skipped, 25000 ns | skipped, 24000 ns | skipped, 26000 ns "
            "| re-read, 905000 ns | re-read, 920000 ns | re-read |",
        )

    def test_table_has_a_row_per_preprocessor_with_the_intervals(self):
        self.assertEqual(
            report.costs_table(self.summary).splitlines(),
            [
                "| preprocessor | eg ns | ig ns | ng ns | once ns | start-up ms "
                "| guarded header | #pragma once |",
                "|---|---:|---:|---:|---:|---:|---|---|",
                "| gcc | 450 (442 to 460) | 250 (242 to 260) | 9100 (9092 to 9110) "
                "| 300 (292 to 310) | 10.0 | skipped | honoured |",
                "| clang -E -P | 800 (792 to 810) | 1430 (1422 to 1440) | 2750 (2742 to 2760) "
                "| 1500 (1492 to 1510) | 42.0 | skipped | honoured |",
                "| mcpp | 1200 (1192 to 1210) | 24700 (24692 to 24710) "
                "| 25600 (25592 to 25610) | 1100 (1092 to 1110) | 10.0 | re-read | honoured |",
                "| cpphs --cpp | 900 (892 to 910) | 5000 (4992 to 5010) | 5200 (5192 to 5210) "
                "| 5100 (5092 to 5110) | 10.0 | re-read | ignored |",
            ],
        )


    def test_the_start_up_shown_is_the_empty_files_run_and_never_below_zero(self):
        # (the fit's intercept in ms, the fastest run of each count in s, shown in ms)
        cases = [
            (-0.1, {"0": 0.0012, "1000": 0.005}, 1.2),  # noise took the fit below zero
            (2.5, {"0": 0.0021, "1000": 0.005}, 2.1),
            (-0.1, {"1000": 0.005}, 0.0),  # no empty file run: the intercept, at least 0
            (3.0, {"1000": 0.005}, 3.0),
        ]
        for start_ms, fastest, shown in cases:
            with self.subTest(start_ms=start_ms, fastest=fastest):
                style = {"start_ms": start_ms, "fastest_s": fastest}
                self.assertAlmostEqual(report.start_up_ms(style), shown)

    def test_a_cost_the_runs_do_not_pin_down_is_never_shown_below_zero(self):
        # (estimate, low, high, runs, in the costs table, in the forms table)
        cases = [
            (209.0, 188.0, 218.0, 10, "209 (188 to 218)", "209 ns"),
            (-6.0, -506.0, 886.0, 10, "< 886", "< 886 ns"),
            (40.0, 12.0, 90.0, 10, "< 90", "< 90 ns"),  # wider than itself
            (-2054.0, -4000.0, -10.0, 10, "not measurable", "not measurable"),
            (299377.0, 299377.0, 299377.0, 1, "not measurable", "not measurable"),  # one run
        ]
        for ns, low, high, runs, cell, form in cases:
            c = costs.Cost(1.0, ns, low, high, [], runs)
            cost = {"ns_per_include": ns, "low": low, "high": high, "measurable": c.measurable,
                    "bounded": c.bounded}
            with self.subTest(cost=cost):
                self.assertEqual(report.cost_text(cost), cell)
                self.assertEqual(report.cost_text(cost, False, " ns"), form)


class Evidence(unittest.TestCase):
    """Each kind of evidence and its verdict, both sides of each threshold: the entries a
    listing or the opens show, the clock's estimate of them, the lifted guard's entries."""

    def test_the_verdict_from_the_entries_a_listing_or_the_opens_show(self):
        # (entries, includes, verdict)
        cases = [(1, 10, "skipped"), (2, 10, "skipped"), (3, 10, "unclear"), (0, 10, "skipped"),
                 (10, 10, "re-read"), (9, 10, "re-read"), (8, 10, "unclear"), (5, 10, "unclear"),
                 (None, 10, "unclear"), (950.0, 1000, "re-read"), (1.4, 1000, "skipped"),
                 (500.0, 1000, "unclear")]
        for found, includes, expected in cases:
            with self.subTest(found=found, includes=includes):
                self.assertEqual(entry_counts.entries_verdict(found, includes), expected)
        for found, expected in [(2, "re-read"), (1, "skipped"), (0, "unclear"), (None, "unclear")]:
            self.assertEqual(entry_counts.undef_verdict(found), expected)

    def test_a_record_counts_only_where_it_shows_each_entry_of_the_unguarded_header(self):
        # (record, entries of noguard.h in 10 includes, the error of its run, why it cannot tell)
        cases = [
            ("listing", 10, None, None),
            ("opens", 10, None, None),
            ("opens", 11, None, None),  # an open more, to look at it first
            ("opens", 1, None, "its opens (strace) cannot tell: it opened noguard.h 1 time in 10 "
                               "includes, which each enter it"),  # it keeps the text
            ("opens", 0, None, "its opens (strace) cannot tell: it opened noguard.h 0 times in 10 "
                               "includes, which each enter it"),
            ("listing", 5, None, "its listing (-H) cannot tell: it listed noguard.h 5 times in 10 "
                                 "includes, which each enter it"),
            ("opens", 20, None, "its opens (strace) cannot tell: it opened noguard.h 20 times in "
                                "10 includes, which each enter it"),
            ("opens", None, "ptrace: Operation not permitted",
             "its opens (strace) cannot tell: ptrace: Operation not permitted"),
        ]
        for how, found, error, problem in cases:
            with self.subTest(how=how, found=found):
                self.assertEqual(entry_counts.unfit(how, found, 10, "noguard.h", error), problem)
        # An unclear verdict says why, and why the record could not tell where it was tried.
        self.assertEqual(verdicts.told("clock", "skipped", "x", "unfit"), "clock")
        self.assertEqual(verdicts.told("clock", "unclear", "too few runs", "its opens ..."),
                         "clock: too few runs; its opens ...")
        self.assertEqual(verdicts.told("opens", "unclear", "it failed"), "opens: it failed")

    def test_a_record_and_the_output_must_agree_on_the_lifted_guard(self):
        # (the record's (verdict, how, entries) or None, the output's verdict, the answer)
        cases = [
            (None, "re-read", ("re-read", "output", None)),
            (None, "skipped", ("skipped", "output", None)),
            (("re-read", "listing", 2), "re-read", ("re-read", "listing", 2)),
            (("skipped", "opens", 1), "re-read",
             ("unclear", "opens: it entered guard.h 1 time, but its output says re-read", 1)),
            (("unclear", "opens: it ended with status 1", None), "re-read",
             ("unclear", "opens: it ended with status 1, but its output says re-read", None)),
        ]
        for record, output, answer in cases:
            with self.subTest(record=record, output=output):
                self.assertEqual(questions.lifted_guard(record, output), answer)

    def test_only_a_verdict_of_the_clock_gets_more_rounds(self):
        runs = {s: {0: [0.001] * 2, 1000: [0.002] * 2}
                for s in (*verdicts.STYLES, *questions.BODY_HEADERS)}
        results = [measure.Result("gcc", "gcc -E", ["gcc", "-E"], times=runs, how="listing"),
                   measure.Result("x", "x", ["x"], times=runs, how="clock")]
        self.assertEqual([r.name for r in verdicts.pending(results, 1, 10)], ["x"])
        self.assertEqual(verdicts.pending(results, 1, 2), [])  # 2 more runs reach no verdict

    def test_the_clock_against_a_copy_that_cannot_be_skipped(self):
        def runs(ms, spread=0.0):
            return [ms / 1e3 + spread * k / 4 / 1e3 for k in range(5)]

        # (header, copy, a header of one declaration, empty: their runs; the verdict and the
        # share of the includes entered)
        n = headers.CLOCK_INCLUDES
        cases = [
            (runs(5.2), runs(25.0), runs(5.0), runs(5.0), "skipped", 0.01 * n),
            (runs(24.0), runs(25.0), runs(5.0), runs(5.0), "re-read", 0.95 * n),
            (runs(15.0), runs(25.0), runs(5.0), runs(5.0), "unclear", 0.5 * n),
            # twice the copy: no measure
            (runs(45.0), runs(25.0), runs(5.0), runs(5.0), "unclear", 2.0 * n),
            (runs(5.0), runs(5.5), runs(5.0), runs(5.0, 2.0), "unclear", None),  # in the spread
            # An include's own cost paid and no more: skipped, where the body costs ten times it.
            (runs(7.0), runs(27.0), runs(7.0), runs(5.0), "skipped", 0.0),
            # A body that costs no more than the include (one declaration): the ratio of the
            # header to the copy, 0.8 here, says nothing of skipping.
            (runs(6.6), runs(7.0), runs(6.0), runs(5.0), "unclear", None),
        ]
        for header, copy, fixed, empty, expected, found in cases:
            with self.subTest(header=header[0], copy=copy[0], fixed=fixed[0]):
                times = {"header": header, "copy": copy, "fixed": fixed, "empty": empty}
                verdict, entries, why = entry_counts.clock_estimate(times, n)
                self.assertEqual((verdict, entries), (expected, found))
                self.assertEqual(why is None, verdict != "unclear")
        self.assertTrue(entry_counts.clock_estimate(
            {"header": runs(6.6), "copy": runs(7.0), "fixed": runs(6.0), "empty": runs(5.0)}, n)[2]
            .startswith("the header's body costs less than 10 times an include's own cost"))
        # (a header, its copy that no preprocessor can skip)
        cases = [
            ('#pragma once\n_Pragma("once")\nint x;\n', '\n\nint x;\n\n#if 0\n#endif\n'),
            # The guard's macro undefined, for a preprocessor that passes over the body.
            ("#ifndef G\n#define G\nint g;\n#endif\n",
             "#ifndef G\n#define G\nint g;\n#endif\n\n#if 0\n#endif\n#undef G\n"),
        ]
        for text, copy in cases:
            with self.subTest(text=text):
                self.assertEqual(headers.unskippable(text), copy)


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

    def test_the_file_and_the_output_go_where_the_command_says(self):
        # (command, the extra words, the command line for a.c with output to /o)
        cases = [
            ("cpp", [], ["cpp", "a.c"]),
            ("gcc -E", ["-H"], ["gcc", "-E", "-H", "a.c"]),
            ("tcc -E -o {out}", ["-Id"], ["tcc", "-E", "-o", "/o", "-Id", "a.c"]),
            ("mcpp {in} {out}", ["-Id"], ["mcpp", "-Id", "a.c", "/o"]),
            ("x -o{out} --file={in} -v", [], ["x", "-o/o", "--file=a.c", "-v"]),
        ]
        for command, extra, argv in cases:
            with self.subTest(command=command):
                r = measure.Result(command, command, command.split())
                self.assertEqual(r.line("a.c", extra, "/o"), argv)
                self.assertEqual(r.writes_file, "{out}" in command)

    def test_a_name_with_a_bar_stays_one_cell_of_the_tables(self):
        # (a preprocessor's name, a header's path, its deciding line; the row's first cells)
        cases = [
            ("sh -c 'cpp $1 | cat' sh", "/t/a.h", "#if A", "| sh -c 'cpp $1 \\| cat' sh | ",
             "| /t/a.h | not_a_guard_form, line 1: `#if A` | "),
            ("gcc\n-E", "/t/a|b.h", "#if !defined(A) || B", "| gcc\\n-E | ",
             "| /t/a\\|b.h | not_a_guard_form, line 1: `#if !defined(A) \\|\\| B` | "),
            ("cpp\\|x", "/t/`a`.h", "#if `", "| cpp\\\\\\|x | ",
             "| /t/\\`a\\`.h | not_a_guard_form, line 1: `` #if ` `` | "),
        ]
        for name, path, text, first, header_row in cases:
            r = result(name, (450.0, 250.0, 9100.0, 300.0), command=name)
            summary = report.report(COUNTS, [r], cli.judge_all([r], 1), 1)
            found = [{"path": path, "reason": "not_a_guard_form", "line": 1, "text": text,
                      "preprocessors": {name: {"verdict": "re-read"}}}]
            tables = [report.costs_table(summary), report.identity_table(summary),
                      report.forms_table(summary), headers.table(found, [r])]
            for table in tables:
                lines = table.splitlines()
                with self.subTest(name=name, table=lines[0]):
                    self.assertTrue(lines[2].startswith(header_row if table is tables[-1]
                                                        else first), lines[2])
                    # Each row splits into the header's cells alone, as GitHub splits a row.
                    self.assertEqual(len(lines), 3, table)
                    self.assertEqual(len(re.split(r"(?<!\\)\|", lines[2])),
                                     len(re.split(r"(?<!\\)\|", lines[0])), lines[2])

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
                        checks.check_writable(path)
                    else:
                        with self.assertRaises(measure.Failure) as raised:
                            checks.check_writable(path)
                        self.assertEqual(str(raised.exception), error)


TOOLS = Path(__file__).resolve().parent.parent / "tools"


if __name__ == "__main__":
    unittest.main()
