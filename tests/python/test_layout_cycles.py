"""The layout's cycle checks find planted cycles, and the code holds none: includes among the
C++ sources (scripts/include_cycles.py: between files, and between units, a header and its
source) and imports among the Python package's modules (scripts/import_cycles.py)."""

import importlib.util
import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
script = importlib.util.spec_from_file_location(
    "include_cycles", ROOT / "scripts" / "include_cycles.py"
)
include_cycles = importlib.util.module_from_spec(script)
script.loader.exec_module(include_cycles)
script = importlib.util.spec_from_file_location(
    "import_cycles", ROOT / "scripts" / "import_cycles.py"
)
import_cycles = importlib.util.module_from_spec(script)
script.loader.exec_module(import_cycles)


def cycles(src, by_file=False):
    unit = str if by_file else include_cycles.unit_of
    return include_cycles.strongly_connected(include_cycles.include_graph(src, unit))


def test_planted_cycles_are_found(tmp_path):
    files = {
        # a unit cycle through a source file only: x.hpp -> y.hpp, y.cpp -> x.hpp
        "a/x.hpp": '#include "b/y.hpp"\n',
        "b/y.hpp": "#include <vector>\n",
        "b/y.cpp": '#include "b/y.hpp"\n#include "a/x.hpp"\n',
        # a chain that closes through three headers
        "c/p.hpp": '#include "c/q.hpp"\n',
        "c/q.hpp": '#include "c/r.hpp"\n',
        "c/r.hpp": '#include "c/p.hpp"\n',
        # no cycle: a diamond, and an include of a file outside the tree
        "d/top.hpp": '#include "d/left.hpp"\n#include "d/right.hpp"\n',
        "d/left.hpp": '#include "d/base.hpp"\n#include "elsewhere.hpp"\n',
        "d/right.hpp": '#include "d/base.hpp"\n',
        "d/base.hpp": "",
    }
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    assert cycles(tmp_path) == [["a/x", "b/y"], ["c/p", "c/q", "c/r"]]
    assert cycles(tmp_path, by_file=True) == [["c/p.hpp", "c/q.hpp", "c/r.hpp"]]


def test_sources_have_no_cycles():
    src = ROOT / "src"
    assert cycles(src) == []
    assert cycles(src, by_file=True) == []


def test_planted_import_cycles_are_found_wherever_the_import_stands(tmp_path):
    files = {
        "__init__.py": "from . import a\n",
        # a cycle closed by an import inside a function
        "a.py": "from . import b\n",
        "b.py": "def f():\n    from .a import g\n",
        # a cycle closed under TYPE_CHECKING
        "c.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from .d import x\n",
        "d.py": "import pkg.c\n",
        # no cycle: a module both import
        "e.py": "from . import f\nfrom . import a\n",
        "f.py": "import numpy\n",
    }
    package = tmp_path / "pkg"
    package.mkdir()
    for name, text in files.items():
        (package / name).write_text(text)
    found = sorted(sorted(c) for c in import_cycles.cycles(import_cycles.import_graph(package)))
    assert found == [["pkg.a", "pkg.b"], ["pkg.c", "pkg.d"]]


def test_the_package_has_no_import_cycles():
    assert import_cycles.cycles(import_cycles.import_graph(ROOT / "python" / "vorlent")) == []
