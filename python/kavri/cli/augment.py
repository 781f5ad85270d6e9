"""``kavri augment IN_DIR OUT_DIR``: N randomly processed copies of every matching file."""

from __future__ import annotations

import argparse

from .._paths import shown
from ..catalogue import counted
from ..errors import KavriError
from ..random_chain import RandomChain, key_word
from ..runs.augment import augment_files
from ..runs.record import MANIFEST_NAME, earlier_outputs
from ._common import (
    EXIT_FAILED,
    add_folder_options,
    add_render_options,
    folder_inputs,
    option_message,
    run_folder,
    settings_from_args,
    step_specs,
    unread_note,
    whole_number,
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "input_dir", metavar="IN_DIR", help="folder of inputs, searched at any depth with --pattern"
    )
    p.add_argument(
        "output_dir",
        metavar="OUT_DIR",
        help="outputs mirror IN_DIR's folder tree, e.g. take.v0.wav, take.v1.wav",
    )
    p.add_argument("--chain", required=True, metavar="FILE", help="JSON random chain file")
    p.add_argument(
        "--variants",
        type=whole_number,
        required=True,
        metavar="N",
        help="augmented copies of each file",
    )
    p.add_argument(
        "--seed",
        type=whole_number,
        required=True,
        metavar="S",
        help="seed of every draw; the same seed gives the same files",
    )
    add_folder_options(p, "take.v0.flac")
    add_render_options(p)
    p.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    settings = settings_from_args(args)
    if args.variants < 1:
        raise KavriError(f"--variants must be at least 1, got {args.variants}")
    try:
        key_word("seed", args.seed)
    except ValueError as error:
        raise KavriError(option_message("seed", str(error))) from None
    random_chain = RandomChain(args.chain)
    extra = step_specs(args)
    if extra:
        # Items without distributions draw nothing, so the drawn items come out as before.
        description = random_chain.description
        random_chain = RandomChain({**description, "chain": description["chain"] + extra})
    in_dir, out_dir, files, unread = folder_inputs(args)
    manifest = shown(out_dir / MANIFEST_NAME)
    report = run_folder(
        args,
        len(files) * args.variants,
        lambda on_result, on_progress, stop: augment_files(
            files,
            random_chain,
            out_dir,
            settings,
            variants=args.variants,
            seed=args.seed,
            base_dir=in_dir,
            jobs=args.jobs,
            force=args.force,
            on_result=on_result,
            on_progress=on_progress,
            stop=stop,
        ),
        interrupted=f"; chains of the finished files in {manifest}",
    )
    if isinstance(report, int):
        return report
    # The manifest is named where it holds a line (every output failed: none was written).
    where = f"; chains in {manifest}" if (out_dir / MANIFEST_NAME).is_file() else ""
    # Outputs of earlier runs that this one did not make (fewer variants, a clip removed,
    # another --format) stay with their lines: a folder that mixes runs is said to.
    earlier = earlier_outputs(out_dir, (result.output for result in report.results))
    if earlier:
        where += f" ({counted(earlier, 'output')} of earlier runs among them)"
    print(
        f"{len(report.done)} written, {len(report.skipped)} skipped (already complete), "
        f"{len(report.failed)} failed{unread_note(unread)}{where}"
    )
    return 0 if report.ok and not unread else EXIT_FAILED
