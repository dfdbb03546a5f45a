#!/usr/bin/python3
"""tools/summarize-tests on made-up CTest reports: what counts as passed, failed and skipped, and
the reason it gives for each skip."""

import contextlib
import importlib.machinery
import importlib.util
import io
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parent.parent / "tools" / "summarize-tests"
loader = importlib.machinery.SourceFileLoader("summarize_tests", str(SCRIPT))
module_spec = importlib.util.spec_from_loader(loader.name, loader)
st = importlib.util.module_from_spec(module_spec)
loader.exec_module(st)


def report(*cases):
    return '<?xml version="1.0"?>\n<testsuite name="(empty)">' + "".join(cases) + "</testsuite>"


class Outcomes(unittest.TestCase):
    def test_each_kind_of_case_as_ctest_reports_it(self):
        cases = [
            ('<testcase name="a" status="run"><system-out>1..1\nok 1 a\n</system-out></testcase>',
             ("passed", "default: a", "")),
            ('<testcase name="b" status="fail"><failure message=""/></testcase>',
             ("failed", "default: b", "")),
            ('<testcase name="c" status="notrun"><skipped message="Unable to find executable"/>'
             "</testcase>",
             ("failed", "default: c", "Unable to find executable")),
            ('<testcase name="d" status="notrun">'
             '<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>'
             "<system-out>1..1\nok 1 d # skip needs /dev/full\n</system-out></testcase>",
             ("skipped", "default: d", "needs /dev/full")),
            ('<testcase name="e" status="notrun">'
             '<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>'
             "<system-out>1..1\nok 1 e # skip (gcc is not installed)\n</system-out></testcase>",
             ("skipped", "default: e", "gcc is not installed")),
            ('<testcase name="f" status="notrun"><skipped message="SKIP_RETURN_CODE=77"/>'
             "</testcase>",
             ("skipped", "default: f", "SKIP_RETURN_CODE=77")),
            ('<testcase name="g" status="disabled"></testcase>',
             ("skipped", "default: g", "disabled")),
        ]
        for xml, outcome in cases:
            with self.subTest(xml=xml):
                self.assertEqual(list(st.outcomes("default", report(xml))), [outcome])


class Summary(unittest.TestCase):
    def test_lists_failures_and_skips_then_counts_them_all(self):
        results = [
            ("passed", "default: a", ""),
            ("skipped", "win32: b", "needs /dev/full"),
            ("failed", "sanitize: c", ""),
            ("passed", "format check", ""),
            ("skipped", "the Win32 build", ""),
        ]
        self.assertEqual(
            st.summary(results),
            "Failed:\n  sanitize: c\n"
            "Skipped:\n  win32: b (needs /dev/full)\n  the Win32 build\n"
            "2 passed, 1 failed, 2 skipped\n",
        )

    def test_reports_and_checks_in_any_order(self):
        with tempfile.TemporaryDirectory() as directory:
            junit = Path(directory) / "r.xml"
            junit.write_text(report('<testcase name="a" status="run"></testcase>'))
            argv = [f"default={junit}", "--skipped", "win32: b", "no IA-32", f"win64={junit}",
                    "--passed", "format check"]
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                self.assertEqual(st.main(argv), 0)
        self.assertEqual(out.getvalue().splitlines()[-1], "3 passed, 0 failed, 1 skipped")

    def test_nothing_to_list(self):
        self.assertEqual(st.summary([("passed", "x", "")]), "1 passed, 0 failed, 0 skipped\n")


if __name__ == "__main__":
    unittest.main()
