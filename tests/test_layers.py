"""The package's layers: the import contracts of pyproject.toml, and what they cannot say."""

from __future__ import annotations

import subprocess
import sys

import grimp
import pytest
from importlinter.cli import lint_imports


def test_import_contracts_hold():
    assert lint_imports(no_cache=True) == 0


def test_no_module_imports_the_package_itself():
    graph = grimp.build_graph("kavri", cache_dir=None)
    lines = [
        detail["line_contents"]
        for importer in graph.find_modules_that_directly_import("kavri")
        for detail in graph.get_import_details(importer=importer, imported="kavri")
    ]
    # The two extension modules are invisible to the graph, so importing them reads as
    # importing the package: those are the only such lines allowed.
    assert lines and all("_kavri_core" in line or "_kavri_stream" in line for line in lines), lines


# Each script imports one module below the layer that defines the item and uses the item: the
# planner and the random chains must find it whichever module was imported first.
ORDER_FREE = {
    "a codec step through the array API": (
        "import numpy as np\n"
        "from kavri.api import process\n"
        "out = process(np.full(64, 0.25, np.float32), 8000, [{'type': 'mu_law'}])\n"
        "print(out.shape == (64,) and abs(float(out[0]) - 0.25) < 0.01)\n"
    ),
    "a noise item's drawn seed": (
        "from kavri.random_chain import RandomChain\n"
        "chain = RandomChain([{'type': 'noise', 'level_db': -40.0, 'mode': 'level'}])\n"
        "print('seed' in chain.sample(seed=3, index=0)[0])\n"
    ),
}


@pytest.mark.parametrize("script", ORDER_FREE.values(), ids=ORDER_FREE.keys())
def test_chain_items_are_found_whatever_was_imported_first(script):
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.stdout.strip() == "True", out.stderr


def test_the_package_loads_a_name_when_it_is_first_used():
    script = (
        "import sys, kavri\n"
        "loaded = 'kavri.api' in sys.modules\n"
        "kavri.process\n"
        "print(loaded, 'kavri.api' in sys.modules, 'process' in dir(kavri),\n"
        "      kavri.io.read is kavri.read)\n"
        # Looking for an attribute must not run the command (kavri.__main__ did, and exited).
        "print(hasattr(kavri, '__main__'), hasattr(kavri, 'io.x'))\n"
        # A module of a subpackage, as the docs name it (kavri.runs.batch had been missing
        # until something else imported it).
        "print(callable(kavri.runs.batch.find_files), hasattr(kavri.runs, 'nothing'))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.stdout.split() == ["False", "True", "True", "True", "False", "False"] + [
        "True",
        "False",
    ], out.stderr
