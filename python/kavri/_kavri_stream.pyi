"""Native streaming DSP for Kavri."""

from typing import Any

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
    @property
    def runs(self) -> int: ...

def check_memory(bytes: int, what: str) -> None:
    """Raises MemoryError ("{what} needs 3.6 GiB; about 1.0 GiB is available") when a buffer of
    `bytes` bytes does not fit in what the process may still use, by the same guard as the
    engine's calls; cheap for small sizes."""

def filter_sections(
    sos: npt.NDArray[np.float64], x: npt.NDArray[np.float64], state: npt.NDArray[np.float64]
) -> None:
    """Second-order sections (sections, 6) in double precision over a (frames, channels)
    float64 array in place, their (sections, 2, channels) state carried in place:
    scipy.signal.sosfilt(sos, x, axis=0, zi=state) with the same bits."""

def useful_workers(channels: int, frames: int, workers: int) -> int:
    """How many of `workers` threads are worth using on a (frames, channels) buffer: whole
    channel groups (four, two, one) per worker, and one worker for a buffer too small for a
    thread to pay off."""

class TruePeak:
    """The true peak of each channel of a signal fed in chunks, oversampled four times by two
    half-band stages."""

    def __init__(self, channels: int, first: list[float], second: list[float]) -> None: ...
    def add(self, rows: npt.ArrayLike) -> None:
        """Feeds the next frames as (channels, frames) float32 rows."""
    def peaks(self) -> list[float]:
        """The true peak of each channel so far, the signal followed by silence."""

class LevelMeter:
    """The levels of a signal fed in chunks: peaks, squares, counts, true peak and the
    K-weighted sums of gating blocks and 100 ms segments."""

    def __init__(
        self,
        channels: int,
        sample_rate: float,
        kweighting: list[float],
        clip_level: float,
        first: list[float],
        second: list[float],
        first_frame: int = 0,
    ) -> None: ...
    def add(self, chunk: npt.NDArray[np.float32] | npt.NDArray[np.float64]) -> None:
        """Feeds the next frames, a (frames, channels) float32 or float64 array."""
    @property
    def frames(self) -> int: ...
    def sample_peaks(self) -> list[float]:
        """The highest magnitude of each channel."""
    def squares(self) -> list[float]:
        """The sum of squares of each channel."""
    def true_peaks(self) -> list[float]:
        """The true peak of each channel, the signal followed by silence; empty without one."""
    def counts(self) -> tuple[int, int, int]:
        """(clipped, NaN, infinite) samples over all channels."""
    def blocks(self) -> tuple[int, npt.NDArray[np.float64]]:
        """(index of the first gating block, (blocks, channels) K-weighted sums of squares
        of every block begun, the open ones with what they hold)."""
    def segments(self) -> tuple[int, npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """(index of the first 100 ms segment, (segments, channels) K-weighted sums of
        squares and sample peaks of every finished segment)."""

def process_batch(
    batch: npt.ArrayLike | list[npt.ArrayLike],
    sample_rate: int,
    chains: list[list[EffectSpec]],
    block_size: int = 2048,
    workers: int = 1,
    lane_width: int = 0,
) -> npt.NDArray[np.float32] | list[npt.NDArray[np.float32]]:
    """Runs each item of a batch through its own chain and returns the results: a float32
    (items, frames, channels) array for such an array, else a list of (frames, channels)
    arrays. chains holds one chain (a list of effect specs) per item. Each item's output is
    the bits of process_pipeline over it. lane_width 0 runs the widest vector lanes this
    processor has, 1 every item alone, 4, 8 or 16 that width."""

def lane_widths() -> list[int]:
    """The lane widths process_batch can run here, widest first; 1 is no lanes."""

def chosen_lane_width() -> int:
    """The lane width process_batch runs by default, chosen when the module loaded."""

class RandomDraw:
    """A random chain description compiled for drawing concrete chains."""

    def __init__(self, roots: tuple[Any, ...]) -> None: ...
    def sample(self, seed: int, index: int) -> list[dict[str, Any]]:
        """The concrete chain for (seed, index), as RandomChain.sample draws it."""
    def sample_many(self, seed: int, indices: list[int]) -> list[list[dict[str, Any]]]:
        """The concrete chains for (seed, index) for every index given, in order."""

class Convolver:
    """Uniformly partitioned convolution with an impulse response, fed chunk after chunk; whole
    partitions come out, the rest is held until more comes or flush()."""

    def __init__(
        self,
        response: npt.ArrayLike,
        channels: int,
        paths: list[tuple[int, int, int]],
        mix: float = 1.0,
        normalize: bool = False,
        workers: int = 1,
        partition: int = 0,
        prototype: bool = False,
    ) -> None:
        """``prototype``: the response's spectra only, for fresh() to make convolvers from; a
        prototype is not run itself (ValueError)."""
    def process(self, chunk: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """Takes a (frames, channels) chunk and returns the output frames it completes."""
    def fresh(self, mix: float, workers: int = 1) -> Convolver:
        """A new convolver with this one's response, not transformed again, and fresh state."""
    def run_whole(self, chunk: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """process() and flush() in one: the output of every frame held and given."""
    def flush(self) -> npt.NDArray[np.float32]:
        """Ends the signal: returns the output of the frames held, and starts afresh."""
    def reset(self) -> None:
        """Drops what is held and starts afresh."""
    @property
    def held_frames(self) -> int: ...
    @property
    def partition(self) -> int: ...
    @property
    def response_gain(self) -> float: ...

class Reverb:
    """An eight-line feedback delay network reverb, fed chunk after chunk; each chunk's output
    comes out at once."""

    def __init__(
        self,
        sample_rate: int,
        channels: int,
        room_size: float,
        damping: float,
        pre_delay_ms: float,
        width: float,
        mix: float,
    ) -> None: ...
    def process(self, chunk: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """Runs a (frames, channels) chunk and returns its output."""
    def reset(self) -> None:
        """Silences the lines: the reverb as new."""
    @property
    def lengths(self) -> list[int]: ...
    @property
    def decay_seconds(self) -> float: ...
