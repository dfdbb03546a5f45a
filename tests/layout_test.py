#!/usr/bin/python3
"""The lists of the companions' modules, in each package's docstring, in the README's layout and in
doc/development.md, against the modules that are there: each named once, none that is not."""

import ast
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PACKAGES = ("check_guards", "compare_preprocessors", "guardgen_common")


def modules(package):
    return sorted(p.stem for p in (ROOT / "tools" / package).glob("*.py") if p.stem != "__init__")


def in_docstring(package):
    """The modules a package's docstring lists, a line each as "    name   what it does" (a line
    that goes on from the one above it begins with more spaces)."""
    init = ROOT / "tools" / package / "__init__.py"
    text = ast.get_docstring(ast.parse(init.read_text()), clean=False)
    return sorted(m[1] for m in re.finditer(r"^    (\w+)  +\S", text, re.MULTILINE))


def in_document(path, package):
    """The modules a document lists under its line that names `tools/PACKAGE/`: the items that
    follow it, a line each as "  - `name`: what it does"."""
    lines = (ROOT / path).read_text().splitlines()
    start = next(i for i, line in enumerate(lines) if f"`tools/{package}/`" in line)
    found = []
    for line in lines[start + 1:]:
        match = re.match(r"  - `(\w+)`: \S", line)
        if not match:
            break
        found.append(match[1])
    return sorted(found)


class Layout(unittest.TestCase):
    def test_every_list_of_modules_names_each_module_once(self):
        for package in PACKAGES:
            for where, listed in [("docstring", in_docstring(package)),
                                  ("README.md", in_document("README.md", package)),
                                  ("doc/development.md",
                                   in_document("doc/development.md", package))]:
                with self.subTest(package=package, where=where):
                    self.assertEqual(listed, modules(package))


    def test_every_test_class_is_registered_whatever_its_name_and_a_broken_file_fails(self):
        lister = ROOT / "tests" / "list_python_tests.py"
        with tempfile.TemporaryDirectory() as directory:
            found = Path(directory, "found_test.py")
            found.write_text("import unittest\n\n\nclass Plain(unittest.TestCase):\n"
                             "    def test(self):\n        pass\n\n\nclass With_2_Parts("
                             "unittest.TestCase):\n    def test(self):\n        pass\n")
            broken = Path(directory, "broken_test.py")
            broken.write_text("import no_such_module_here\n")
            listed = subprocess.run([sys.executable, lister, found], capture_output=True,
                                    text=True, check=True)
            self.assertEqual(listed.stdout.split(), ["Plain", "With_2_Parts"])
            failed = subprocess.run([sys.executable, lister, broken], capture_output=True,
                                    text=True)
            self.assertNotEqual(failed.returncode, 0)
            self.assertIn("no_such_module_here", failed.stderr)

if __name__ == "__main__":
    unittest.main()
