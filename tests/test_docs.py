"""The documentation: its examples run, its generated parts cover the package, and the site
builds strictly.

Examples of README.md and docs/**/*.md run as a reader would follow them, one fresh
temporary folder per file, holding the files made by ``example_files`` (take.wav,
take.flac, recordings/, takes/, chain.json, augment.json):

- ```python blocks run in page order in one namespace per file. A block whose first line
  is ``# needs: MODULE[, MODULE]`` is skipped when one of them cannot be imported (the
  PyTorch recipe where torch is missing).
- ```console blocks: every ``$ `` line runs with bash (pipefail on) in the same folder, in
  page order with the Python blocks, and must exit with status 0. Lines without ``$ `` are
  output, shown to the reader and not compared.
- ```json blocks must be valid JSON; one right after a ``<!-- file: NAME -->`` comment is
  written to NAME before the page's examples run.
- ```sh and ```text blocks are shown only (commands that need sox, espeak-ng or a cluster).
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kavri
from kavri.cli import build_parser
from kavri.demo import demo_signal

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
sys.path.insert(0, str(ROOT / "scripts"))

from docsite import cli_reference, effect_pages, manpage  # noqa: E402

PAGES = [ROOT / "README.md", *sorted(DOCS.rglob("*.md"))]
BIN = Path(sys.executable).parent

FENCE = re.compile(r"^```(?P<lang>[\w-]*)[^\n]*\n(?P<body>.*?)^```[ \t]*$", re.M | re.S)
FILE_MARKER = re.compile(r"<!-- file: (\S+) -->\s*$")
NEEDS = re.compile(r"#\s*needs:\s*(.+)")


def blocks(text: str) -> list[tuple[str, str, int, str | None]]:
    """The fenced blocks of a Markdown text: (language, body, line, file it is written to)."""
    found = []
    for match in FENCE.finditer(text):
        before = text[: match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        marker = FILE_MARKER.search(before)
        found.append(
            (
                match["lang"],
                match["body"],
                text.count("\n", 0, match.start()) + 1,
                marker.group(1) if marker else None,
            )
        )
    return found


def write_audio(path: Path, seconds: float, rate: int = 48_000) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    kavri.write(path, 0.5 * demo_signal(rate, seconds), rate)


@pytest.fixture(scope="module")
def example_files(tmp_path_factory) -> Path:
    """The files the examples use, made once and copied for every page."""
    folder = tmp_path_factory.mktemp("examples")
    write_audio(folder / "take.wav", 3.0)
    audio, rate = kavri.read(folder / "take.wav")
    kavri.write(folder / "take.flac", audio, rate)
    for name in ("a.wav", "b.wav", "sub/c.wav"):
        write_audio(folder / "recordings" / name, 0.5)
    for name in ("take1.wav", "take2.wav"):
        write_audio(folder / "takes" / name, 1.0, 16_000)
    (folder / "chain.json").write_text(json.dumps([{"type": "gain", "db": -3}]))
    (folder / "augment.json").write_text(json.dumps([{"type": "gain", "db": {"uniform": [-6, 6]}}]))
    return folder


def missing_modules(code: str) -> list[str]:
    first = code.lstrip().split("\n", 1)[0]
    needs = NEEDS.fullmatch(first.strip())
    if not needs:
        return []
    names = [name.strip() for name in needs.group(1).split(",")]
    return [name for name in names if importlib.util.find_spec(name) is None]


@pytest.mark.slow
@pytest.mark.parametrize("page", PAGES, ids=[p.relative_to(ROOT).as_posix() for p in PAGES])
def test_examples_run(page, example_files, tmp_path, monkeypatch):
    text = page.read_text(encoding="utf-8")
    found = blocks(text)
    folder = tmp_path / "work"
    shutil.copytree(example_files, folder)
    for lang, body, _, target in found:
        if lang == "json":
            json.loads(body)
            if target:
                (folder / target).write_text(body)
    monkeypatch.chdir(folder)
    environment = {**os.environ, "PATH": f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}"}
    namespace: dict[str, object] = {"__name__": "__docs__"}
    for lang, body, line, _ in found:
        where = f"{page.relative_to(ROOT)}:{line}"
        if lang == "python" and not missing_modules(body):
            exec(compile(body, where, "exec"), namespace)  # noqa: S102 - the page's own example
        elif lang == "console":
            for command in (ln[2:] for ln in body.splitlines() if ln.startswith("$ ")):
                done = subprocess.run(
                    ["bash", "-o", "pipefail", "-c", command],
                    cwd=folder,
                    env=environment,
                    capture_output=True,
                    text=True,
                    timeout=300,
                )
                assert done.returncode == 0, f"{where}: $ {command}\n{done.stderr}"


def test_every_json_block_and_needs_comment_is_well_formed():
    for page in PAGES:
        for lang, body, line, target in blocks(page.read_text(encoding="utf-8")):
            where = f"{page.relative_to(ROOT)}:{line}"
            assert lang in ("python", "console", "json", "sh", "text"), (
                f"{where}: a ```{lang} block is neither run nor marked as shown only"
            )
            if target:
                assert lang == "json", f"{where}: only JSON blocks are written to files"
            if lang == "python" and "needs:" in body.split("\n", 1)[0]:
                assert NEEDS.fullmatch(body.split("\n", 1)[0].strip()), where


# --- the generated parts ---------------------------------------------------------------------


def parser_words() -> list[tuple[str, list[str]]]:
    """Every command of the real parser with its option strings and positional metavars,
    read from argparse directly, not through the generator under test."""
    parser = build_parser()
    words = [("", [s for a in parser._actions for s in a.option_strings])]
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for name, sub in action.choices.items():
                words.append(
                    (
                        name,
                        [s for a in sub._actions for s in a.option_strings]
                        + [a.metavar or a.dest for a in sub._actions if not a.option_strings],
                    )
                )
    return words


def test_command_reference_and_man_page_list_every_command_and_option(tmp_path):
    reference = cli_reference.read_parser(build_parser())
    markdown = cli_reference.markdown_reference(reference)
    troff = manpage.manpage(reference, kavri.__version__)
    words = parser_words()
    assert len(words) == 10
    for command, names in words:
        if command:
            assert f"### kavri {command}\n" in markdown
            assert f'.SS "kavri {command}"' in troff
        sections_md = (
            markdown.split(f"### kavri {command}\n")[1].split("\n### ")[0]
            if command
            else markdown.split("\n### ")[0]
        )
        sections_man = (
            troff.split(f'.SS "kavri {command}"')[1].split(".SS ")[0]
            if command
            else troff.split(".SH COMMANDS")[0]
        )
        for name in names:
            assert re.search(rf"[`\[ ]{re.escape(name)}\b", sections_md), (command, name)
            assert manpage.escape(name) in sections_man, (command, name)
    assert troff.isascii()
    if shutil.which("groff"):
        path = tmp_path / "kavri.1"
        path.write_text(troff)
        checked = subprocess.run(
            ["groff", "-man", "-Tutf8", "-ww", "-z", str(path)], capture_output=True, text=True
        )
        assert checked.returncode == 0 and checked.stderr == "", checked.stderr


def test_effect_examples_are_valid_and_show_something():
    assert set(effect_pages.EXAMPLES) <= set(kavri.EFFECTS)
    for effect_type, settings in effect_pages.EXAMPLES.items():
        spec = kavri.validate_chain([effect_pages.example_spec(effect_type)])[0]
        defaults = kavri.EFFECTS[effect_type].defaults()
        assert any(spec[key] != defaults[key] for key in settings), effect_type
    sources = effect_pages.effect_sources(ROOT)
    assert set(sources) == set(kavri.EFFECTS)
    for effect_type, (header, comment) in sources.items():
        steps = kavri.EFFECTS[effect_type].step and effect_type not in effect_pages.ROOM_HEADERS
        home = "python/kavri/" if steps else "src/effects/"
        assert header.startswith(home) and comment, effect_type
    keyless = effect_pages.effect_page(kavri.EFFECTS["polarity"], False)
    assert 'no parameters: `{"type": "polarity"}`' in keyless and "| key |" not in keyless
    signal = effect_pages.test_signal()
    assert signal.dtype == np.float32 and signal.shape[1] == 2
    assert np.isclose(np.max(np.abs(signal)), 10 ** (-12 / 20), rtol=1e-3)


def test_guarantees_cite_tests_that_exist():
    cited = 0
    for page in PAGES:
        current = None
        for match in re.finditer(
            r"`(tests/[\w/]+\.(?:py|cpp))?(?:::(\w+))?`", page.read_text(encoding="utf-8")
        ):
            path, name = match.groups()
            current = path or current
            if path:
                assert (ROOT / path).is_file(), f"{page.name}: {path}"
            if name:
                cited += 1
                assert current and re.search(rf"def {name}\b", (ROOT / current).read_text()), (
                    f"{page.name}: {current}::{name}"
                )
    assert cited > 20


def slug(heading: str) -> str:
    """The anchor Python-Markdown's table of contents gives a heading."""
    text = re.sub(r"\{#([\w-]+)\}\s*$", "", heading)
    explicit = re.search(r"\{#([\w-]+)\}\s*$", heading)
    if explicit:
        return explicit.group(1)
    text = re.sub(r"[`*_]", "", text).strip().lower()
    text = re.sub(r"[^\w\s-]", "", text)
    return re.sub(r"[-\s]+", "-", text)


def test_front_pages_count_the_catalogue():
    # The opening paragraph went stale once, still saying 29 types as families were added.
    from kavri.catalogue import FAMILIES, effect_types

    for page in (ROOT / "README.md", DOCS / "index.md"):
        text = " ".join(page.read_text(encoding="utf-8").split())
        stated = re.search(r"Kavri has (\d+) effect types in (\w+) families", text)
        assert stated, page
        assert int(stated.group(1)) == len(effect_types()), page
        words = ("one two three four five six seven eight nine ten").split()
        assert stated.group(2) == words[len(FAMILIES) - 1], page


def test_readme_is_the_front_door():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    assert len(text.splitlines()) <= 200
    assert "make demo" in text and "make test" in text and "make docs" in text
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if "://" in target:
            continue
        path, _, anchor = target.partition("#")
        assert (ROOT / path).is_file(), target
        if anchor:
            headings = re.findall(r"^#+ (.+)$", (ROOT / path).read_text(encoding="utf-8"), re.M)
            assert anchor in {slug(h) for h in headings}, target


# --- the site ---------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def site(tmp_path_factory) -> Path:
    """The site as `make docs` builds it, in a folder of its own."""
    if importlib.util.find_spec("mkdocs") is None:
        pytest.skip("mkdocs is not installed (pip install 'kavri[docs]')")
    folder = tmp_path_factory.mktemp("site")
    environment = {**os.environ, "NO_MKDOCS_2_WARNING": "1", "DISABLE_MKDOCS_2_WARNING": "true"}
    # Not --quiet: it drops the warnings before strict mode counts them.
    built = subprocess.run(
        [
            sys.executable,
            "-m",
            "mkdocs",
            "build",
            "--strict",
            "--config-file",
            str(ROOT / "mkdocs.yml"),
            "--site-dir",
            str(folder),
        ],
        cwd=ROOT,
        env=environment,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert built.returncode == 0, built.stdout + built.stderr
    assert "WARNING" not in built.stdout + built.stderr
    return folder


@pytest.mark.slow
def test_site_builds_strictly_with_every_generated_part(site):
    pages = {
        p.relative_to(site).as_posix(): p.read_text(encoding="utf-8") for p in site.rglob("*.html")
    }
    assert not [name for name, html in pages.items() if "<!-- generated:" in html]
    reference = pages["cli.html"]
    for command, names in parser_words():
        assert f"kavri {command}" in reference
        for name in names:
            assert (
                f"<code>{name}" in reference
                or f"{name}</code>" in reference
                or f" {name}" in reference
            ), (command, name)
    troff = (site / "kavri.1").read_text(encoding="ascii")
    assert troff == manpage.manpage(cli_reference.read_parser(build_parser()), kavri.__version__)
    for effect_type, info in kavri.EFFECTS.items():
        html = pages[f"effects/{effect_type}.html"]
        assert all(f"<code>{key}</code>" in html for key in info.keys), effect_type
        assert "How it works" in html, effect_type
        drawn = [] if info.step else [f"{effect_type}.png"]
        assert all(f'src="{name}"' in html for name in drawn)
        sources = re.findall(r'<audio[^>]*src="([^"]+)"', html)
        assert sources == [effect_pages.DRY_SOUND, f"{effect_type}.ogg"]
        for name in sources + drawn:
            assert (site / "effects" / name).stat().st_size > 1000, name
    wet = kavri.read(site / "effects" / "delay.ogg")
    dry = kavri.read(site / "effects" / effect_pages.DRY_SOUND)
    assert wet.sample_rate == effect_pages.SAMPLE_RATE and wet.audio.shape == dry.audio.shape
    assert not np.allclose(wet.audio, dry.audio, atol=1e-3)
    assert "Philox" in pages["augmentation.html"]  # the draw order, from the code
    assert "kavri.random_chain" in pages["architecture.html"]  # the layers, from pyproject
