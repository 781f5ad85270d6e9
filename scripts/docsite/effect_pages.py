"""One page per effect type, from the effect catalogue, with its response plot and a sound.

Each page lists the type's keys with their defaults, units and ranges (``kavri.EFFECTS``),
draws the response of an example spec with :func:`kavri.plot.plot_chain`, and runs a short
test signal through the same spec with :func:`kavri.process` into a before/after pair of
Ogg Vorbis files. A type added to the catalogue gets its page with its defaults as the
example; :data:`EXAMPLES` holds settings that make a type's effect easier to see and hear.
"""

from __future__ import annotations

import ast
import json
import re
from pathlib import Path
from typing import Any

import numpy as np

import kavri
from kavri.catalogue import FAMILIES, EffectInfo, effect_types
from kavri.steps import plan_chain

__all__ = [
    "EXAMPLES",
    "SAMPLE_RATE",
    "example_spec",
    "test_signal",
    "effect_page",
    "effect_index",
    "render_plot",
    "render_sound",
    "DRY_SOUND",
    "effect_sources",
]

ROOT = Path(__file__).resolve().parent.parent.parent

SAMPLE_RATE = 48_000
SIGNAL_SECONDS = 2.0
# Silence after the signal, so that echoes and releases are heard to their end.
TAIL_SECONDS = 0.8
DRY_SOUND = "dry.ogg"

# Settings beyond the defaults that make each effect plain to see and hear. A gain of 0 dB,
# a centred pan or a shelf without gain would show nothing.
EXAMPLES: dict[str, dict[str, Any]] = {
    "gain": {"db": -12},
    "clip": {"threshold": 0.05},
    "distortion": {"drive": 8},
    "tremolo": {"rate_hz": 6, "depth": 0.9},
    "auto_pan": {"rate_hz": 1.5},
    "pan": {"position": -0.8},
    "stereo_width": {"width": 0},
    "lowpass": {"frequency_hz": 600},
    "highpass": {"frequency_hz": 1500},
    "bandpass": {"frequency_hz": 1000, "q": 2},
    "notch": {"frequency_hz": 1000, "q": 0.5, "stages": 2},
    "peak_eq": {"frequency_hz": 1500, "q": 1.5, "gain_db": 12},
    "low_shelf": {"frequency_hz": 250, "gain_db": 12},
    "high_shelf": {"frequency_hz": 3000, "gain_db": 12},
    "delay": {"delay_ms": 240, "feedback": 0.5, "mix": 0.4},
    "ping_pong_delay": {"delay_ms": 200, "mix": 0.5},
    "chorus": {"mix": 0.5},
    "flanger": {"feedback": 0.7, "mix": 0.5, "rate_hz": 0.5},
    "phaser": {"rate_hz": 0.8, "feedback": 0.6, "mix": 0.5},
    "rotary_speaker": {"rate_hz": 6},
    "compressor": {"threshold_db": -36, "ratio": 8, "makeup_db": 8},
    "upward_compression": {"threshold_db": -30},
    "limiter": {"ceiling_db": -24},
    "expander": {"threshold_db": -30, "ratio": 4},
    "noise_gate": {"threshold_db": -30},
    "deesser": {"frequency_hz": 3000, "threshold_db": -50},
    "dynamic_eq": {"frequency_hz": 1000, "threshold_db": -45, "cut_db": -18},
    "transient_shaper": {"attack": 2, "sustain": -0.8},
    "resample": {"rate_hz": 16000},
    "speed": {"factor": 1.25},
    "time_stretch": {"factor": 0.75},
    "pitch_shift": {"semitones": 4},
    "channels": {"matrix": [[1, 0], [1, 0]]},
    "trim": {"start_s": 0.5, "duration_s": 1},
    "pad": {"start_s": 0.5},
    "fade": {"in_s": 0.5, "out_s": 1, "curve": "equal_power"},
    "trim_silence": {"threshold_db": -50},
    "normalize": {"peak_db": -0.1, "mode": "true"},
    "noise": {"colour": "pink", "snr_db": 12},
    "background_noise": {"path": "noise", "snr_db": 6},
    "codec": {"format": "mp3", "quality": 0.1},
    "bitcrush": {"bits": 4},
    "sample_hold": {"rate_hz": 6000},
    "convolution": {"ir": "rooms", "mix": 0.5},
    "reverb": {"room_size": 0.7, "pre_delay_ms": 20, "mix": 0.35},
}

# The rooms run in the engine, fed by the front end: their pages show the engine header's
# comment, and a plot (the response, and the impulse response's decay).
ROOM_HEADERS = {
    "convolution": "src/effects/rooms/convolution.hpp",
    "reverb": "src/effects/rooms/reverb.hpp",
}


def drawn(info: EffectInfo) -> bool:
    """Whether an effect's page has a plot: the engine's effects and the rooms."""
    return not info.step or info.type in ROOM_HEADERS


def example_room(folder: Path) -> Path:
    """The example's folder of impulse responses, made here: the first 1.2 s of the reverb's
    response to a click, as if recorded in a hall, with the click itself as the direct
    sound."""
    folder.mkdir(parents=True, exist_ok=True)
    click = np.zeros((int(SAMPLE_RATE * 1.2), 1), np.float32)
    click[0] = 1.0
    spec = {"type": "reverb", "room_size": 0.6, "damping": 0.4, "pre_delay_ms": 8, "mix": 0.6}
    kavri.write(folder / "hall.wav", kavri.process(click, SAMPLE_RATE, [spec]), SAMPLE_RATE)
    return folder


# Where each step is written (the front end runs them, in Python): its module, whose
# docstring says how it works.
STEP_MODULES = {
    "resample": "rate",
    "speed": "rate",
    "time_stretch": "stretch",
    "pitch_shift": "stretch",
    "mixdown": "channels",
    "channels": "channels",
    "swap": "channels",
    "trim": "length",
    "pad": "length",
    "fade": "length",
    "trim_silence": "length",
    "normalize": "length",
    "noise": "noise",
    "bitcrush": "degrade",
    "sample_hold": "degrade",
    "polarity": "degrade",
    "background_noise": "../sources",
    "codec": "../codecs",
    "mu_law": "../codecs",
    "a_law": "../codecs",
}


def example_spec(effect_type: str) -> dict[str, Any]:
    """The spec an effect's page shows, plots and plays."""
    return {"type": effect_type, **EXAMPLES.get(effect_type, {})}


def test_signal(sample_rate: int = SAMPLE_RATE, seconds: float = SIGNAL_SECONDS) -> np.ndarray:
    """A short stereo signal that most effects act on audibly: plucked saw-like notes,
    loud and soft in turn, each with a click at its onset, some to the left and some to the
    right, over a faint noise floor. Peaks at about -12 dBFS, float32 (frames, 2)."""
    rng = np.random.default_rng(2)
    frames = int(sample_rate * seconds)
    out = np.zeros((frames, 2))
    notes = (220.0, 277.18, 329.63, 440.0, 329.63, 277.18, 246.94, 164.81)
    step = frames // len(notes)
    t = np.arange(step) / sample_rate
    for k, frequency in enumerate(notes):
        harmonics = sum(
            np.sin(2 * np.pi * h * frequency * t) / h
            for h in range(1, 12)
            if h * frequency < sample_rate / 2
        )
        level = 1.0 if k % 2 == 0 else 0.2
        note = level * np.exp(-5.0 * t) * harmonics
        click = np.zeros(step)
        click[:240] = 0.6 * level * rng.standard_normal(240) * np.exp(-np.arange(240) / 40)
        left = 0.9 if k % 4 < 2 else 0.35
        start = k * step
        out[start : start + step, 0] += left * (note + click)
        out[start : start + step, 1] += (1.25 - left) * (note + click)
    out += 0.003 * rng.standard_normal(out.shape)
    out *= 10 ** (-12 / 20) / np.max(np.abs(out))
    return out.astype(np.float32)


def _top_comment(path: Path) -> str:
    lines = []
    for line in path.read_text(encoding="utf-8").splitlines():
        if not line.startswith("//"):
            break
        lines.append(line[3:] if line.startswith("// ") else line[2:])
    return "\n".join(lines).strip("\n")


def effect_sources(root: Path = ROOT) -> dict[str, tuple[str, str]]:
    """Where each effect type is written and what its header says about it: type ->
    (header path relative to ``root``, the header's opening comment). Found through the
    dispatch table of src/module/factory.cpp: a row's planner is declared in an effect
    header, or is a helper of the factory that calls one."""
    factory = (root / "src" / "module" / "factory.cpp").read_text(encoding="utf-8")
    declared = {}
    for header in sorted((root / "src" / "effects").rglob("*.hpp")):
        for name in re.findall(r"PlannedEffect (plan_\w+)\(", header.read_text(encoding="utf-8")):
            declared[name] = header

    def header_of(planner: str, depth: int = 0) -> Path | None:
        if planner in declared:
            return declared[planner]
        body = re.search(rf"PlannedEffect {planner}\([^)]*\)\s*\{{(.*?)\n\}}", factory, re.S)
        if body is None or depth > 3:
            return None
        for called in re.findall(r"\b(plan_\w+)\s*[<(]", body.group(1)):
            found = header_of(called, depth + 1)
            if found is not None:
                return found
        return None

    sources = {}
    for effect_type, planner in re.findall(r'\{"(\w+)",\s*(plan_\w+)', factory):
        header = header_of(planner)
        if header is not None:
            sources[effect_type] = (header.relative_to(root).as_posix(), _top_comment(header))
    for step_type, module in STEP_MODULES.items():
        path = (root / "python" / "kavri" / "steps" / f"{module}.py").resolve()
        tree = ast.parse(path.read_text(encoding="utf-8"))
        sources[step_type] = (path.relative_to(root).as_posix(), ast.get_docstring(tree) or "")
    for room_type, header in ROOM_HEADERS.items():
        sources[room_type] = (header, _top_comment(root / header))
    return sources


def _cell(text: str) -> str:
    return text.replace("|", "\\|")


def _number(value: Any) -> str:
    if isinstance(value, list):
        return json.dumps(value, separators=(",", ":"))
    return f"{value:g}" if isinstance(value, float) else str(value)


def _option(spec: dict[str, Any]) -> str:
    body = ",".join(f"{k}={_number(v)}" for k, v in spec.items() if k != "type")
    return f"{spec['type']}:{body}" if body else spec["type"]


def effect_page(info: EffectInfo, moving: bool, source: tuple[str, str] | None = None) -> str:
    """The Markdown page of one effect type; its plot is ``TYPE.png`` and its sounds
    ``dry.ogg`` and ``TYPE.ogg`` beside it. ``source`` is the header the effect is written
    in and its opening comment, shown as "How it works"."""
    name = info.type
    spec = example_spec(name)
    rows = ["| key | default | unit | range | meaning |", "|---|---|---|---|---|"]
    for p in info.params:
        meaning = p.summary + (
            " *(read and checked, but unused by this type)*"
            if p.inert and "unused" not in p.summary
            else ""
        )
        kind = " (whole number)" if p.integer else ""
        rows.append(
            f"| `{p.key}` | {p.default_text()} | {_cell(p.unit)} | "
            f"{_cell(p.range_text())}{kind} | {_cell(meaning)} |"
        )
    panels = [
        "the magnitude response of each path from an input channel to an output "
        "channel (an impulse on the left, then on the right, at -12 dBFS, smoothed "
        "to 1/24 octave)"
    ]
    if info.dynamics:
        panels.append(
            "the static level curve: the steady output level of a 1 kHz sine "
            "against its input level"
        )
    if moving:
        panels.append(
            "the level over time of a steady 1 kHz tone on one side, since "
            "this effect moves by itself"
        )
    shown = "; ".join(panels)
    response = (
        [
            "### Response",
            "",
            f"![{name}: measured response]({name}.png)",
            "",
            f"Measured by running the engine itself at {SAMPLE_RATE} Hz: {shown}.",
            "",
        ]
        if drawn(info)
        else []
    )
    if name in ROOM_HEADERS:
        panels.append("the impulse response's level and its energy decay (the Schroeder integral)")
        shown = "; ".join(panels)
        response[-2] = f"Measured by running the engine itself at {SAMPLE_RATE} Hz: {shown}."
    where = (
        "where the front end's code for this step lives"
        if info.step and name not in ROOM_HEADERS
        else "where the engine's code for this effect lives"
    )
    overflows = [param.key for param in info.params if param.overflow is not None]
    limits = (
        "Ranges are limits: a value outside is refused when the chain is checked"
        if info.step
        else "Ranges are clamps: a value outside is held at the nearest bound, with a warning"
        + (
            f" (past the bound of {', '.join(f'`{key}`' for key in overflows)}, where the "
            "arithmetic would overflow, it is refused)"
            if overflows
            else ""
        )
    )
    return "\n".join(
        [
            f"# {name}",
            "",
            info.summary,
            "",
            f"Family: [{FAMILIES[info.family]}](index.md#{info.family}).",
            "",
            *(
                [
                    *rows,
                    "",
                    f'{limits}; "rate" is the sample rate. A key left out takes its default.',
                ]
                if info.params
                else [f'It takes no parameters: `{{"type": "{name}"}}`.']
            ),
            "",
            *(
                []
                if source is None
                else [
                    "## How it works",
                    "",
                    f"From `{source[0]}`, {where}:",
                    "",
                    '<div class="kavri-source" markdown>',
                    "",
                    "```text",
                    source[1],
                    "```",
                    "",
                    "</div>",
                    "",
                ]
            ),
            "## Example",
            "",
            "The plot and the sound below use this spec:"
            if drawn(info)
            else "The sound below uses this spec:",
            "",
            "```json",
            json.dumps(spec),
            "```",
            "",
            "On the command line, `kavri process take.wav out.wav --effect "
            f"{_option(spec)}`; in Python, `kavri.process(audio, rate, [{json.dumps(spec)}])`.",
            "",
            *response,
            "### Sound",
            "",
            f"A {SIGNAL_SECONDS:g}-second stereo test signal (plucked notes, loud and soft in "
            f"turn, with a click at each onset), followed by {TAIL_SECONDS:g} s of silence, "
            "before and after the effect:",
            "",
            '<div class="kavri-sounds" markdown>',
            "",
            "| before | after |",
            "|---|---|",
            f'| <audio controls preload="none" src="{DRY_SOUND}"></audio> '
            f'| <audio controls preload="none" src="{name}.ogg"></audio> |',
            "",
            "</div>",
            "",
        ]
    )


def effect_index() -> str:
    """The effect types by family, each linked to its page, as Markdown."""
    lines: list[str] = []
    for family, title in FAMILIES.items():
        lines += [f"## {title} {{#{family}}}", "", "| type | what it does |", "|---|---|"]
        for effect_type in effect_types(family):
            summary = kavri.EFFECTS[effect_type].summary
            lines.append(f"| [`{effect_type}`]({effect_type}.md) | {_cell(summary)} |")
        lines.append("")
    return "\n".join(lines)


def render_plot(effect_type: str, path: Path) -> None:
    """Draws the example spec's response into a PNG file."""
    from kavri.plot import plot_chain

    spec = example_spec(effect_type)
    if effect_type == "convolution":
        spec = {**spec, "ir": str(example_room(path.parent / "rooms"))}
    plot_chain(
        [spec],
        path,
        sample_rate=SAMPLE_RATE,
        title=f"{effect_type}: {json.dumps(EXAMPLES.get(effect_type, {}))}",
    )


def with_tail(signal: np.ndarray) -> np.ndarray:
    silence = np.zeros((int(TAIL_SECONDS * SAMPLE_RATE), signal.shape[1]), np.float32)
    return np.concatenate([signal, silence])


def render_sound(effect_type: str | None, path: Path, signal: np.ndarray) -> None:
    """Writes the signal (with its silent tail) through the example spec, or as it is for
    ``None``, to an Ogg Vorbis file."""
    audio = with_tail(signal)
    rate = SAMPLE_RATE
    if effect_type is not None:
        chain = [example_spec(effect_type)]
        if effect_type == "background_noise":
            # The example's folder of noise, made here: brown noise, as of a distant road.
            folder = path.parent / "noise"
            folder.mkdir(exist_ok=True)
            hum = kavri.process(
                np.zeros((SAMPLE_RATE * 3, 1), np.float32),
                SAMPLE_RATE,
                [{"type": "noise", "colour": "brown", "mode": "level", "level_db": -20}],
            )
            kavri.write(folder / "road.wav", hum, SAMPLE_RATE)
            chain = [{**chain[0], "path": str(folder)}]
        if effect_type == "convolution":
            chain = [{**chain[0], "ir": str(example_room(path.parent / "rooms"))}]
        audio = kavri.process(audio, SAMPLE_RATE, chain)
        rate = plan_chain(chain, SAMPLE_RATE, audio.shape[1] if audio.ndim > 1 else 1).out_rate
    kavri.write(path, audio, rate)
