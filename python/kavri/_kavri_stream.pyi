"""Native streaming DSP for Kavri."""

import numpy as np
import numpy.typing as npt

from ._kavri_core import _EffectSpec as EffectSpec

class Stream:
    """An effect chain run over a long signal chunk by chunk, its state carried from each
    chunk to the next."""

    def __init__(
        self,
        specs: list[EffectSpec],
        sample_rate: int,
        channels: int,
        block_size: int = 2048,
        workers: int = 1,
    ) -> None: ...
    def process(self, chunk: npt.ArrayLike) -> npt.NDArray[np.float32]: ...
    def flush(self) -> npt.NDArray[np.float32]: ...
    def reset(self) -> None: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def block_size(self) -> int: ...
    @property
    def workers(self) -> int: ...
    @property
    def held_frames(self) -> int: ...
