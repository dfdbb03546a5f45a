#!/usr/bin/python3
"""The lists of the companions' modules, in each package's docstring, in the README's layout and in
doc/development.md, against the modules that are there: each named once, none that is not; and
each module a few screens long at the most, but those named with their reason."""

import ast
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / "tools"
PACKAGES = ("check_guards", "compare_preprocessors", "guardgen_common")
# check-guards' stages, in the order its data flows: each imports only those before it.
STAGES = ("plan", "audit", "record", "report", "proof")
# A module holds one idea, a few screens long at the most: one longer is split along its ideas,
# but for those named here, with the reason.
MOST_LINES = 320
LONGER = {
    "check_guards/audit/catalogue.py": "one table: every cause and shape, and what is asked of it",
}


def folders():
    """Each package and each folder of a package, as its path under tools/."""
    return [p.parent.relative_to(TOOLS).as_posix() for package in PACKAGES
            for p in sorted((TOOLS / package).rglob("__init__.py"))]


def modules(folder):
    """The modules of a folder, and its folders (as "name/")."""
    here = TOOLS / folder
    return sorted([p.stem for p in here.glob("*.py") if p.stem != "__init__"]
                  + [p.parent.name + "/" for p in here.glob("*/__init__.py")])


def in_docstring(folder):
    """The modules a folder's docstring lists, a line each as "    name   what it does" (a line
    that goes on from the one above it begins with more spaces)."""
    init = TOOLS / folder / "__init__.py"
    text = ast.get_docstring(ast.parse(init.read_text()), clean=False)
    return sorted(m[1] for m in re.finditer(r"^    (\w+/?)  +\S", text, re.MULTILINE))


def in_document(path, folder):
    """The modules a document lists under its line that names `tools/FOLDER/`: the items that
    follow it, a line each as "  - `name`: what it does"."""
    lines = (ROOT / path).read_text().splitlines()
    start = next(i for i, line in enumerate(lines) if f"in `tools/{folder}/`:" in line)
    found = []
    for line in lines[start + 1:]:
        match = re.match(r"  - `(\w+/?)`: \S", line)
        if match:
            found.append(match[1])
        elif not line.startswith("    "):
            break
    return sorted(found)


def imported(path):
    """The check_guards modules that the module at `path` imports, as dotted names."""
    place = path.relative_to(TOOLS).with_suffix("").parts
    package = place[:-1] if place[-1] != "__init__" else place[:-1]
    if place[-1] == "__init__":
        package = place[:-1]
    found = []
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            base = list(package[:len(package) - node.level + 1]) if node.level else []
            module = base + (node.module.split(".") if node.module else [])
            found += [".".join(module + [a.name]) for a in node.names]
        elif isinstance(node, ast.Import):
            found += [a.name for a in node.names]
    return [name for name in found if name.startswith("check_guards.")]


def stage_of(dotted):
    """The stage of a module of check_guards, or None for the command's (or the package)."""
    parts = dotted.split(".")
    return parts[1] if len(parts) > 1 and parts[1] in STAGES else None


class Layout(unittest.TestCase):
    def test_every_list_of_modules_names_each_module_once(self):
        for folder in folders():
            for where, listed in [("docstring", in_docstring(folder)),
                                  ("doc/development.md",
                                   in_document("doc/development.md", folder))]:
                with self.subTest(folder=folder, where=where):
                    self.assertEqual(listed, modules(folder))

    def test_no_stage_imports_one_below_it(self):
        for stage in STAGES:
            for path in sorted((TOOLS / "check_guards" / stage).glob("*.py")):
                for name in imported(path):
                    found = stage_of(name)
                    below = STAGES.index(found) > STAGES.index(stage) if found else True
                    with self.subTest(module=path.relative_to(TOOLS).as_posix(), imports=name):
                        self.assertFalse(below, "a stage imports only the stages above it")

    def test_no_module_is_longer_than_a_few_screens_but_those_named_with_their_reason(self):
        lengths = {p.relative_to(TOOLS).as_posix(): len(p.read_text().splitlines())
                   for package in PACKAGES for p in sorted((TOOLS / package).rglob("*.py"))}
        for module, length in lengths.items():
            with self.subTest(module=module, lines=length):
                self.assertTrue(length <= MOST_LINES or module in LONGER,
                                f"over {MOST_LINES} lines: split it along its ideas")
        for module in LONGER:
            with self.subTest(allowed=module):
                self.assertGreater(lengths.get(module, 0), MOST_LINES,
                                   "no longer long (or gone): take it out of LONGER")

    def test_each_companion_takes_its_interruptions_before_it_loads_anything_but_that(self):
        # Until early's handlers are set, Python's own turns Ctrl-C into KeyboardInterrupt, which
        # it drops where it lands while a module loads: the run would go on as if not asked to
        # end. So a script loads nothing before early but what Python has loaded to run it, and
        # early nothing but itself and its package.
        for script in ("check-guards", "compare-preprocessors"):
            body = ast.parse((TOOLS / script).read_text()).body
            first = next(i for i, node in enumerate(body) if isinstance(node, ast.Import)
                         and node.names[0].name == "guardgen_common.early")
            before = {a.name for node in body[:first]
                      if isinstance(node, (ast.Import, ast.ImportFrom)) for a in node.names}
            with self.subTest(script=script):
                self.assertLessEqual(before, {"os.path", "sys"})
        loaded = subprocess.run(
            [sys.executable, "-I", "-S", "-c",
             "import os.path, sys, _signal\nbefore = set(sys.modules)\n"
             f"sys.path.insert(0, {str(TOOLS)!r})\nimport guardgen_common.early as early\n"
             "print(*sorted(set(sys.modules) - before))\n"
             "print(_signal.getsignal(_signal.SIGINT) is early._end)"],
            capture_output=True, text=True, check=True).stdout.splitlines()
        self.assertEqual(loaded, ["guardgen_common guardgen_common.early", "True"])

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
