"""Prints the build requirements of pyproject.toml plus the tools the test build needs."""

import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).parent.parent / "pyproject.toml").read_text())
requirements = list(project["build-system"]["requires"])
requirements += [
    r
    for r in project["project"]["optional-dependencies"]["test"]
    if r.startswith(("cmake", "ninja"))
]
print("\n".join(f"'{r}'" for r in requirements))
