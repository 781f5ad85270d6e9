"""Generates the site's pages from the package while ``mkdocs build`` runs (mkdocs-gen-files).

- Sections of hand-written pages marked ``<!-- generated: NAME -->`` are filled in from the
  package (:data:`SECTIONS`): the command reference from ``kavri.cli.build_parser()``, the
  effect index and reference from the catalogue, the presets, the random-chain format from
  ``kavri.random_chain``'s docstring and the package's layers from ``pyproject.toml``. An
  unknown marker fails the build.
- ``effects/TYPE.md`` for every effect type, each with its sound ``TYPE.ogg`` beside the dry
  ``dry.ogg``, and an engine effect's with its response plot ``TYPE.png`` (a step's page goes
  without); none of these files is kept in git.
- ``benchmarks/*.md`` from ``bench/README.md`` and ``bench/results``.
- ``kavri.1``, the man page.
- The nav's "Effects" and "Benchmarks" sections list the generated pages.
"""

from __future__ import annotations

import importlib
import inspect
import re
import sys
import tempfile
import tomllib
from collections.abc import Callable
from pathlib import Path

import mkdocs_gen_files

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import kavri  # noqa: E402
from docsite import cli_reference, effect_pages, manpage  # noqa: E402
from kavri import random_chain  # noqa: E402
from kavri.catalogue import FAMILIES, effect_types, markdown_reference  # noqa: E402
from kavri.chain import chain_summary  # noqa: E402
from kavri.cli import build_parser  # noqa: E402
from kavri.plot import MOVING_TYPES  # noqa: E402

MARKER = re.compile(r"<!-- generated: ([a-z-]+) -->")


def rst_to_markdown(text: str) -> str:
    """A docstring's reStructuredText roles and literals as Markdown code."""
    text = re.sub(r":[a-z]+:`~?([^`]+)`", r"`\1`", text)
    return text.replace("``", "`")


def first_sentence(text: str) -> str:
    paragraph = " ".join(inspect.cleandoc(text).split("\n\n")[0].split())
    end = re.search(r"\.(\s|$)", paragraph)
    return rst_to_markdown(paragraph[: end.start()] if end else paragraph) + "."


def layers() -> str:
    """The package's layers as the import contract in pyproject.toml states them, each
    module with the first sentence of its docstring."""
    config = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    contract = next(c for c in config["tool"]["importlinter"]["contracts"] if c["type"] == "layers")
    lines = ["| layer | module | what it is |", "|---:|---|---|"]
    for number, layer in enumerate(contract["layers"], start=1):
        for index, name in enumerate(m.strip() for m in layer.split("|")):
            doc = importlib.import_module(name).__doc__ or ""
            lines.append(f"| {number if index == 0 else ''} | `{name}` | {first_sentence(doc)} |")
    return "\n".join(lines) + "\n"


def presets() -> str:
    lines = ["| preset | chain | what it is for |", "|---|---|---|"]
    for name, description in kavri.list_presets().items():
        chain = chain_summary(kavri.load_preset(name)).replace("->", "→")
        lines.append(f"| `{name}` | {chain} | {description} |")
    return "\n".join(lines) + "\n"


SECTIONS: dict[str, Callable[[], str]] = {
    "cli-reference": lambda: cli_reference.markdown_reference(
        cli_reference.read_parser(build_parser())
    ),
    "effect-index": effect_pages.effect_index,
    "effect-reference": lambda: markdown_reference().replace("### ", "### All keys: "),
    "presets": presets,
    "random-chain-format": lambda: rst_to_markdown(inspect.cleandoc(random_chain.__doc__ or "")),
    "layers": layers,
}


def fill_sections(docs_dir: Path) -> None:
    for page in sorted(docs_dir.rglob("*.md")):
        text = page.read_text(encoding="utf-8")
        names = MARKER.findall(text)
        if not names:
            continue
        unknown = set(names) - set(SECTIONS)
        if unknown:
            raise SystemExit(f"{page}: unknown generated section {', '.join(sorted(unknown))}")
        filled = MARKER.sub(lambda m: SECTIONS[m.group(1)]().rstrip("\n"), text)
        name = page.relative_to(docs_dir).as_posix()
        with mkdocs_gen_files.open(name, "w") as out:
            out.write(filled)
        mkdocs_gen_files.set_edit_path(name, name)


def write_bytes(name: str, path: Path) -> None:
    with mkdocs_gen_files.open(name, "wb") as out:
        out.write(path.read_bytes())


def effect_site() -> list[object]:
    """Writes every effect's page, plot and sound; returns the nav entries by family."""
    signal = effect_pages.test_signal()
    sources = effect_pages.effect_sources(ROOT)
    with tempfile.TemporaryDirectory(prefix="kavri-docs-") as scratch:
        folder = Path(scratch)
        effect_pages.render_sound(None, folder / effect_pages.DRY_SOUND, signal)
        write_bytes(f"effects/{effect_pages.DRY_SOUND}", folder / effect_pages.DRY_SOUND)
        for name, info in kavri.EFFECTS.items():
            with mkdocs_gen_files.open(f"effects/{name}.md", "w") as out:
                out.write(effect_pages.effect_page(info, name in MOVING_TYPES, sources.get(name)))
            if effect_pages.drawn(info):  # a step's page has its sound, not a response
                effect_pages.render_plot(name, folder / f"{name}.png")
                write_bytes(f"effects/{name}.png", folder / f"{name}.png")
            effect_pages.render_sound(name, folder / f"{name}.ogg", signal)
            write_bytes(f"effects/{name}.ogg", folder / f"{name}.ogg")
    return [
        "effects/index.md",
        *(
            {title: [f"effects/{name}.md" for name in effect_types(family)]}
            for family, title in FAMILIES.items()
        ),
    ]


BENCH_TITLES = {
    "latest": "Results: every effect and its peers",
    "streaming": "Results: streaming files",
    "augment": "Results: augmentation",
    "atomic_write": "Results: atomic writes",
    "workers": "Results: worker threads",
    "workers-before": "Results: worker threads, before the pool",
    "steps": "Results: rate, speed and time stretch",
    "rooms": "Results: convolution and reverb",
}


def bench_site() -> list[object]:
    """Copies the benchmark's method and results into the site; returns the nav entries."""
    bench = ROOT / "bench"
    with mkdocs_gen_files.open("benchmarks/method.md", "w") as out:
        out.write((bench / "README.md").read_text(encoding="utf-8"))
    nav: list[object] = ["benchmarks/index.md", {"Method": "benchmarks/method.md"}]
    for result in sorted((bench / "results").glob("*.md")):
        name = f"benchmarks/{result.stem.replace('_', '-')}.md"
        with mkdocs_gen_files.open(name, "w") as out:
            out.write(result.read_text(encoding="utf-8"))
        nav.append({BENCH_TITLES.get(result.stem, f"Results: {result.stem}"): name})
    proof = bench / "results" / "prove_math.txt"
    if proof.exists():
        with mkdocs_gen_files.open("benchmarks/prove-math.md", "w") as out:
            out.write(
                "# Vector math against the C library\n\nThe output of `make prove-math`"
                " (`bench/results/prove_math.txt`):\n\n```text\n"
                f"{proof.read_text(encoding='utf-8')}```\n"
            )
        nav.append({"Results: vector math proof": "benchmarks/prove-math.md"})
    return nav


def expand_nav(nav: list[object], title: str, entries: list[object]) -> None:
    for item in nav:
        if isinstance(item, dict) and title in item:
            item[title] = entries
            return
    raise SystemExit(f"mkdocs.yml: the nav has no '{title}' entry")


def main() -> None:
    config = mkdocs_gen_files.config
    fill_sections(Path(config.docs_dir))
    with mkdocs_gen_files.open("kavri.1", "w") as out:
        out.write(manpage.manpage(cli_reference.read_parser(build_parser()), kavri.__version__))
    expand_nav(config.nav, "Effects", effect_site())
    expand_nav(config.nav, "Benchmarks", bench_site())


main()
