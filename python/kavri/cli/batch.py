"""``kavri batch IN_DIR OUT_DIR``: every matching file through one chain, several at once."""

from __future__ import annotations

import argparse

from ..io import KEEP_SUBTYPE
from ..runs.batch import batch
from ._common import (
    EXIT_FAILED,
    add_chain_options,
    add_folder_options,
    add_render_options,
    chain_from_args,
    folder_inputs,
    run_folder,
    settings_from_args,
    unread_note,
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "input_dir", metavar="IN_DIR", help="folder of inputs, searched at any depth with --pattern"
    )
    p.add_argument("output_dir", metavar="OUT_DIR", help="outputs mirror IN_DIR's folder tree")
    add_chain_options(p)
    add_folder_options(p, "take.flac")
    add_render_options(p)
    p.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    # Unless --subtype says otherwise, each output keeps its input's sample format where
    # the output's format holds it (24-bit WAV stays 24-bit).
    if args.subtype is None:
        args.subtype = KEEP_SUBTYPE
    settings = settings_from_args(args)
    chain = chain_from_args(args)
    in_dir, out_dir, files, unread = folder_inputs(args)
    report = run_folder(
        args,
        len(files),
        lambda on_result, on_progress, stop: batch(
            files,
            chain,
            out_dir,
            settings,
            jobs=args.jobs,
            base_dir=in_dir,
            force=args.force,
            on_result=on_result,
            on_progress=on_progress,
            stop=stop,
        ),
    )
    if isinstance(report, int):
        return report
    print(
        f"{len(report.done)} processed, {len(report.skipped)} skipped (already complete), "
        f"{len(report.failed)} failed{unread_note(unread)}"
    )
    return 0 if report.ok and not unread else EXIT_FAILED
