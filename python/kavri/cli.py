"""The ``kavri`` command line: process, batch, effects, presets, demo and plot.

Every failure the user can cause (an unknown preset or type, malformed JSON, a missing or
unreadable file, a parameter that is not a number) ends with one line on stderr naming
what is at fault and a non-zero exit status, and writes nothing.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path
from typing import TextIO

import numpy as np

from . import __version__
from .api import process
from .audiofile import SUBTYPES, check_subtype_name, output_format, read, write
from .batch import FileResult, batch, find_files
from .catalogue import EFFECTS, FAMILIES, effect_types, get_effect, markdown_reference
from .chain import (Chain, chain_summary, list_presets, load_chain_file, load_preset,
                    parse_effect_option)
from .errors import KavriError

DEMO_SAMPLE_RATE = 48_000
DEMO_SECONDS = 4.0
DEMO_FOLDER = "kavri-demo"
README_START = "<!-- effect-reference:start -->"
README_END = "<!-- effect-reference:end -->"
NOT_BUILT = "is not available in this build yet"

EXIT_FAILED = 1
EXIT_INTERRUPTED = 130


def _error(message: str) -> None:
    print(f"kavri: error: {message}", file=sys.stderr)


def demo_signal(sample_rate: int = DEMO_SAMPLE_RATE, seconds: float = DEMO_SECONDS) -> np.ndarray:
    """A stereo test signal: two chords of tones, a little noise and a few clicks."""
    rng = np.random.default_rng(7)
    t = np.arange(int(sample_rate * seconds)) / sample_rate
    left = 0.35 * np.sin(2 * np.pi * 220.0 * t) + 0.2 * np.sin(2 * np.pi * 330.0 * t)
    right = 0.3 * np.sin(2 * np.pi * 277.2 * t) + 0.25 * np.sin(2 * np.pi * 440.0 * t)
    audio = np.stack([left, right], axis=1) + 0.02 * rng.standard_normal((t.size, 2))
    audio[:: sample_rate // 2] += 0.6
    return audio.astype(np.float32)


def _level_db(value: float) -> str:
    return f"{20 * np.log10(value):7.2f}" if value > 0 else "   -inf"


def _describe(audio: np.ndarray) -> list[tuple[str, str]]:
    peaks = np.max(np.abs(audio), axis=0)
    rms = np.sqrt(np.mean(np.square(audio, dtype=np.float64), axis=0))
    return [(_level_db(p), _level_db(r)) for p, r in zip(peaks, rms)]


def _print_levels(before: np.ndarray, after: np.ndarray, out: TextIO) -> None:
    print(f"{'channel':>8} {'peak in':>9} {'rms in':>9} {'peak out':>9} {'rms out':>9}  (dBFS)",
          file=out)
    for ch, (b, a) in enumerate(zip(_describe(before), _describe(after))):
        print(f"{ch:>8} {b[0]:>9} {b[1]:>9} {a[0]:>9} {a[1]:>9}", file=out)


def run_demo(out: TextIO = sys.stdout, folder: str = DEMO_FOLDER,
             presets: list[str] | None = None) -> int:
    """Runs presets over a generated signal, writes the input and every result as WAV files
    into ``folder`` and prints peak and RMS per channel before and after, with the time
    taken and the real-time factor. Presets whose effects this build lacks are skipped."""
    names = presets or list(list_presets())
    chains = {name: load_preset(name) for name in names}
    audio = demo_signal()
    os.makedirs(folder, exist_ok=True)
    source = os.path.join(folder, "input.wav")
    write(source, audio, DEMO_SAMPLE_RATE)
    seconds = audio.shape[0] / DEMO_SAMPLE_RATE
    print(f"kavri {__version__} demo: {audio.shape[0]} frames x {audio.shape[1]} channels "
          f"at {DEMO_SAMPLE_RATE} Hz; input written to {source}", file=out)
    ran = 0
    for name, chain in chains.items():
        print(file=out)
        try:
            start = time.perf_counter()
            processed = process(audio, DEMO_SAMPLE_RATE, chain)
            elapsed = time.perf_counter() - start
        except RuntimeError as error:
            if NOT_BUILT not in str(error):
                raise
            print(f"preset {name}: skipped ({error})", file=out)
            continue
        target = os.path.join(folder, f"{name}.wav")
        write(target, processed, DEMO_SAMPLE_RATE)
        ran += 1
        print(f"preset {name}: {chain_summary(chain)}", file=out)
        print(f"written to {target}", file=out)
        _print_levels(audio, processed, out)
        realtime = seconds / elapsed if elapsed > 0 else float("inf")
        print(f"time: {elapsed * 1000:.2f} ms, real-time factor: {realtime:.0f}x", file=out)
    return 0 if ran else EXIT_FAILED


def _chain_from_args(args: argparse.Namespace) -> Chain:
    if args.chain is not None:
        return load_chain_file(args.chain)
    if args.preset is not None:
        return load_preset(args.preset)
    return [parse_effect_option(text) for text in args.effect]


def _add_chain_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--chain", metavar="FILE", help="JSON chain file")
    group.add_argument("--preset", metavar="NAME", help="a shipped preset (see 'kavri presets')")
    group.add_argument("--effect", metavar="TYPE[:key=value,...]", action="append",
                       help="an effect; repeat for a chain, e.g. --effect gain:db=-3")


def _add_engine_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--block-size", type=int, default=2048, metavar="N",
                        help="frames per block (changes only the dynamic EQ), default 2048")
    parser.add_argument("--workers", type=int, default=1, metavar="N",
                        help="threads per file for channel-parallel effects, default 1")
    parser.add_argument("--subtype", metavar="SUBTYPE",
                        help=f"output sample format: {', '.join(SUBTYPES)} "
                             "(default: float for WAV, pcm24 for FLAC, vorbis for OGG)")


def _same_file(a: str, b: str) -> bool:
    if os.path.abspath(a) == os.path.abspath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_output_folder(path: str) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise KavriError(f"{path}: cannot write: folder {folder} does not exist")


def cmd_process(args: argparse.Namespace) -> int:
    """``kavri process IN OUT``: read, run the chain, write atomically."""
    chain = _chain_from_args(args)
    output_format(args.output, args.subtype)
    _check_output_folder(args.output)
    if _same_file(args.input, args.output) and not args.overwrite:
        raise KavriError(f"{args.output}: is the input file; pass --overwrite to replace it")
    audio, sample_rate = read(args.input)
    start = time.perf_counter()
    try:
        processed = process(audio, sample_rate, chain, block_size=args.block_size,
                            workers=args.workers)
    except (RuntimeError, MemoryError) as error:
        raise KavriError(f"{args.input}: {error or type(error).__name__}") from None
    elapsed = time.perf_counter() - start
    write(args.output, processed, sample_rate, args.subtype)
    print(f"{args.input} -> {args.output}: {audio.shape[0]} frames x {audio.shape[1]} "
          f"channels at {sample_rate} Hz, {chain_summary(chain)} ({elapsed * 1000:.1f} ms)")
    return 0


def cmd_batch(args: argparse.Namespace) -> int:
    """``kavri batch IN_DIR OUT_DIR``: every matching file, several at a time."""
    from tqdm import tqdm

    chain = _chain_from_args(args)
    in_dir, out_dir = Path(args.input_dir), Path(args.output_dir)
    if not in_dir.is_dir():
        raise KavriError(f"{in_dir}: no such folder")
    if out_dir.exists() and not out_dir.is_dir():
        raise KavriError(f"{out_dir}: is not a folder")
    if out_dir.resolve() == in_dir.resolve():
        raise KavriError(f"{out_dir}: is the input folder; choose another output folder")
    if args.subtype is not None:
        check_subtype_name(args.subtype)
    files = find_files(in_dir, args.pattern, exclude=out_dir)
    if not files:
        raise KavriError(f"{in_dir}: no files match '{args.pattern}'")
    out_dir.mkdir(parents=True, exist_ok=True)
    with tqdm(total=len(files), unit="file", desc="kavri", disable=None, file=sys.stderr,
              dynamic_ncols=True) as bar:
        def on_result(result: FileResult) -> None:
            if result.status == "failed":
                bar.write(f"kavri: error: {result.error}", file=sys.stderr)
            bar.update(1)

        report = batch(files, chain, out_dir, jobs=args.jobs, block_size=args.block_size,
                       workers=args.workers, subtype=args.subtype, base_dir=in_dir,
                       force=args.force, on_result=on_result)
    print(f"{len(report.done)} processed, {len(report.skipped)} skipped (already complete), "
          f"{len(report.failed)} failed")
    return 0 if report.ok else EXIT_FAILED


def cmd_augment(args: argparse.Namespace) -> int:
    """``kavri augment IN_DIR OUT_DIR``: N randomly processed copies of every matching file."""
    from tqdm import tqdm

    from .augment import MANIFEST_NAME, RandomChain, augment_files

    random_chain = RandomChain(args.chain)
    in_dir, out_dir = Path(args.input_dir), Path(args.output_dir)
    if args.variants < 1:
        raise KavriError(f"--variants must be at least 1, got {args.variants}")
    if not 0 <= args.seed < 2**64:
        raise KavriError(f"--seed must be within [0, 2**64), got {args.seed}")
    if not in_dir.is_dir():
        raise KavriError(f"{in_dir}: no such folder")
    if out_dir.exists() and not out_dir.is_dir():
        raise KavriError(f"{out_dir}: is not a folder")
    if out_dir.resolve() == in_dir.resolve():
        raise KavriError(f"{out_dir}: is the input folder; choose another output folder")
    if args.subtype is not None:
        check_subtype_name(args.subtype)
    files = find_files(in_dir, args.pattern, exclude=out_dir)
    if not files:
        raise KavriError(f"{in_dir}: no files match '{args.pattern}'")
    with tqdm(total=len(files) * args.variants, unit="file", desc="kavri", disable=None,
              file=sys.stderr, dynamic_ncols=True) as bar:
        def on_result(result: FileResult) -> None:
            if result.status == "failed":
                bar.write(f"kavri: error: {result.error}", file=sys.stderr)
            bar.update(1)

        report = augment_files(files, random_chain, out_dir, variants=args.variants,
                               seed=args.seed, jobs=args.jobs, block_size=args.block_size,
                               workers=args.workers, subtype=args.subtype, base_dir=in_dir,
                               force=args.force, on_result=on_result)
    print(f"{len(report.done)} written, {len(report.skipped)} skipped (already complete), "
          f"{len(report.failed)} failed; chains in {out_dir / MANIFEST_NAME}")
    return 0 if report.ok else EXIT_FAILED


def _replace_section(path: str, text: str) -> None:
    content = Path(path).read_text(encoding="utf-8")
    try:
        head, rest = content.split(README_START, 1)
        _, tail = rest.split(README_END, 1)
    except ValueError:
        raise KavriError(f"{path}: has no {README_START} ... {README_END} section") from None
    Path(path).write_text(f"{head}{README_START}\n{text}{README_END}{tail}", encoding="utf-8")


def cmd_effects(args: argparse.Namespace) -> int:
    """``kavri effects [TYPE]``: the catalogue, as text or Markdown."""
    if args.markdown:
        if args.write:
            _replace_section(args.write, markdown_reference())
            print(f"effect reference written to {args.write}")
        else:
            sys.stdout.write(markdown_reference())
        return 0
    if args.type is None:
        for family, title in FAMILIES.items():
            print(f"{title}:")
            for name in effect_types(family):
                print(f"  {name:<20} {EFFECTS[name].summary}")
        print("\n'kavri effects TYPE' lists a type's parameters.")
        return 0
    try:
        info = get_effect(args.type)
    except KeyError as error:
        raise KavriError(error.args[0]) from None
    print(f"{info.type}: {info.summary}")
    rows = [("key", "default", "unit", "range", "meaning")]
    rows += [(p.key, p.default_text(), p.unit, p.range_text(), p.summary) for p in info.params]
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for row in rows:
        print("  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)) + "  " + row[4])
    return 0


def cmd_presets(args: argparse.Namespace) -> int:
    """``kavri presets [NAME]``: the shipped presets, or one preset's chain as JSON."""
    if args.name is not None:
        print(json.dumps(load_preset(args.name), indent=2))
        return 0
    for name, description in list_presets().items():
        print(f"  {name:<14} {description}")
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    """``kavri demo``: the presets over a generated signal, with levels and timing."""
    return run_demo(folder=args.out_dir, presets=args.preset)


def cmd_plot(args: argparse.Namespace) -> int:
    """``kavri plot``: magnitude response and, for dynamics, the static level curve."""
    from .plot import plot_chain

    chain = _chain_from_args(args)
    _check_output_folder(args.out)
    try:
        plot_chain(chain, args.out, sample_rate=args.sample_rate)
    except (RuntimeError, MemoryError) as error:
        raise KavriError(f"{chain_summary(chain)}: {error or type(error).__name__}") from None
    print(f"plot written to {args.out}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``kavri`` command."""
    parser = argparse.ArgumentParser(prog="kavri", description="Kavri audio-effects engine.")
    parser.add_argument("--version", action="version", version=f"kavri {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser("process", help="process one audio file")
    p.add_argument("input", metavar="IN", help="input audio file")
    p.add_argument("output", metavar="OUT", help="output audio file (format from its suffix)")
    _add_chain_options(p)
    _add_engine_options(p)
    p.add_argument("--overwrite", action="store_true",
                   help="allow OUT to be the input file itself")
    p.set_defaults(handler=cmd_process)

    p = commands.add_parser("batch", help="process every matching file under a folder")
    p.add_argument("input_dir", metavar="IN_DIR")
    p.add_argument("output_dir", metavar="OUT_DIR", help="outputs mirror IN_DIR's folder tree")
    _add_chain_options(p)
    _add_engine_options(p)
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                   help="files processed at once, default: the number of cores")
    p.add_argument("--pattern", default="*.wav", help="file name pattern, default '*.wav'")
    p.add_argument("--force", action="store_true", help="redo outputs that are already complete")
    p.set_defaults(handler=cmd_batch)

    p = commands.add_parser("augment", help="write randomly processed copies of every "
                                            "matching file, for training data")
    p.add_argument("input_dir", metavar="IN_DIR")
    p.add_argument("output_dir", metavar="OUT_DIR",
                   help="outputs mirror IN_DIR's folder tree, e.g. take.v0.wav, take.v1.wav")
    p.add_argument("--chain", required=True, metavar="FILE", help="JSON random chain file")
    p.add_argument("--variants", type=int, required=True, metavar="N",
                   help="augmented copies of each file")
    p.add_argument("--seed", type=int, required=True, metavar="S",
                   help="seed of every draw; the same seed gives the same files")
    _add_engine_options(p)
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                   help="files processed at once, default: the number of cores")
    p.add_argument("--pattern", default="*.wav", help="file name pattern, default '*.wav'")
    p.add_argument("--force", action="store_true", help="redo outputs that are already complete")
    p.set_defaults(handler=cmd_augment)

    p = commands.add_parser("effects", help="list the effect types or one type's parameters")
    p.add_argument("type", nargs="?", metavar="TYPE")
    p.add_argument("--markdown", action="store_true", help="print the Markdown effect reference")
    p.add_argument("--write", metavar="FILE",
                   help="with --markdown: replace the reference section of FILE (the README)")
    p.set_defaults(handler=cmd_effects)

    p = commands.add_parser("presets", help="list the shipped presets or show one")
    p.add_argument("name", nargs="?", metavar="NAME")
    p.set_defaults(handler=cmd_presets)

    p = commands.add_parser("demo", help="run the presets over a test signal, print levels")
    p.add_argument("--out-dir", default=DEMO_FOLDER, metavar="DIR",
                   help=f"folder for the before and after WAV files, default ./{DEMO_FOLDER}")
    p.add_argument("--preset", action="append", metavar="NAME", help="only these presets")
    p.set_defaults(handler=cmd_demo)

    p = commands.add_parser("plot", help="draw a chain's response into an image")
    _add_chain_options(p)
    p.add_argument("--out", required=True, metavar="FILE.png", help="image file (.png, .svg, .pdf)")
    p.add_argument("--sample-rate", type=int, default=48_000, metavar="HZ",
                   help="sample rate of the measurement, default 48000")
    p.set_defaults(handler=cmd_plot)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs the ``kavri`` command line and returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.handler(args))
    except KavriError as error:
        _error(str(error))
        return EXIT_FAILED
    except KeyboardInterrupt:
        _error("interrupted")
        return EXIT_INTERRUPTED
