"""The package's layers: the import contracts of pyproject.toml, and what they cannot say."""

from __future__ import annotations

import grimp
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
