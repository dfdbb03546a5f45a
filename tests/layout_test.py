#!/usr/bin/python3
"""The lists of the companions' modules, in each package's docstring, in the README's layout and in
doc/development.md, against the modules that are there: each named once, none that is not."""

import ast
import re
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


if __name__ == "__main__":
    unittest.main()
