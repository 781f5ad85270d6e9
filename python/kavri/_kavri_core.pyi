"""Native DSP core for Kavri."""

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

_EffectSpec = Mapping[str, Any] | Sequence[tuple[str, Any]]

def process_pipeline(
    input: npt.ArrayLike,
    sample_rate: int,
    specs: list[dict[str, Any]] | list[_EffectSpec],
    block_size: int = 2048,
    workers: int = 1,
) -> npt.NDArray[np.float32]: ...
