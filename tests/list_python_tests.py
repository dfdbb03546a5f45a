#!/usr/bin/python3
"""Prints the unittest classes of the Python test file given, one a line, as unittest's loader
finds them: each is registered as a test of its own. A file that cannot be loaded fails here,
at configure time, rather than being dropped."""

import importlib
import sys
import unittest
from pathlib import Path


def classes(path):
    sys.path.insert(0, str(Path(path).resolve().parent))
    module = importlib.import_module(Path(path).stem)
    found = []
    for suite in unittest.defaultTestLoader.loadTestsFromModule(module):
        for case in suite:
            name = type(case).__name__
            if name not in found:
                found.append(name)
    return found


if __name__ == "__main__":
    names = classes(sys.argv[1])
    if not names:
        sys.exit(f"{sys.argv[1]}: no test class found")
    print("\n".join(names))
