"""``kavri demo``: the presets over a generated signal, with levels and timing."""

from __future__ import annotations

import argparse

from .._paths import fs_name, make_folders, shown, unwritable_folder
from ..chain import load_preset
from ..demo import DEMO_FOLDER, run_demo
from ..errors import KavriError
from ._common import EXIT_FAILED


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--out-dir",
        default=DEMO_FOLDER,
        metavar="DIR",
        help=f"folder for the before and after WAV files, default ./{DEMO_FOLDER}",
    )
    p.add_argument("--preset", action="append", metavar="NAME", help="only these presets")
    p.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    for name in args.preset or []:
        load_preset(name)  # an unknown name is refused before the folder is made
    try:
        make_folders(args.out_dir)
    except OSError as error:
        raise KavriError(
            f"--out-dir {shown(args.out_dir)}: cannot create the folder: {error.strerror or error}"
        ) from None
    why = unwritable_folder(fs_name(args.out_dir))
    if why is not None:
        raise KavriError(f"--out-dir {shown(args.out_dir)}: the folder is {why}")
    return 0 if run_demo(folder=args.out_dir, presets=args.preset) else EXIT_FAILED
