"""``kavri plot``: a chain's magnitude response and, for dynamics, its static level curve."""

from __future__ import annotations

import argparse

from .._paths import shown
from ..chain import chain_summary
from ..errors import KavriError, failure_text
from ..io import output_target
from ._common import add_chain_options, chain_from_args, whole_number


def add_arguments(p: argparse.ArgumentParser) -> None:
    add_chain_options(p)
    p.add_argument("--out", required=True, metavar="FILE.png", help="image file (.png, .svg, .pdf)")
    p.add_argument(
        "--sample-rate",
        type=whole_number,
        default=48_000,
        metavar="HZ",
        help="sample rate of the measurement, default 48000",
    )
    p.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    from ..plot import check_plot_rate, plot_chain

    check_plot_rate(args.sample_rate)
    chain = chain_from_args(args)
    output_target(args.out)
    try:
        plot_chain(chain, args.out, sample_rate=args.sample_rate)
    except (RuntimeError, MemoryError) as error:
        # Named by the chain, unless the message names its effect already (a memory
        # guard's "convolution: the impulse response ..." read "convolution: convolution:").
        text, summary = failure_text(error), chain_summary(chain)
        named = text if text.startswith(f"{summary}: ") else f"{summary}: {text}"
        raise KavriError(named) from None
    print(f"plot written to {shown(args.out)}")
    return 0
