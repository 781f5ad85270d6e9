"""How users' code meets the package's annotations: checked by mypy (strict) in the lint
run, never executed. A misspelt name must be an error, so the ignores below would be
reported as unused if the package let any name through."""

from pathlib import Path
from typing import Any, assert_type

import numpy as np
import numpy.typing as npt

import kavri


class Tensor:
    """Another library's array, as torch's: DLPack out, a class made from DLPack."""

    def __dlpack__(self, stream: int | None = None) -> Any: ...


def usage(audio: npt.NDArray[np.float32], rate: int, done: list[int], tensor: Tensor) -> None:
    chain = kavri.load_chain("vocal")
    assert_type(kavri.process(audio, rate, chain), npt.NDArray[np.float32])
    assert_type(kavri.process([0.0, 0.5], rate, chain), npt.NDArray[np.float32])
    # A tensor in, a tensor out.
    assert_type(kavri.process(tensor, rate, chain, loudness=-16), Tensor)
    assert_type(kavri.process_to_loudness(tensor, rate, chain, -16)[0], Tensor)
    assert_type(kavri.augment(tensor, rate, [{"type": "gain"}], seed=1)[0], Tensor)
    kavri.process_pipeline(audio, rate, chain)  # a loaded chain is a list of dicts
    kavri.process_pipeline(audio, rate, [{"type": "gain", "db": -6.0}])
    kavri.io.read_tags(Path("take.ogg"))
    # A progress callback's result is not looked at: a bool (or a tqdm update's) will do.
    kavri.process_file("in.wav", "out.wav", chain, progress=lambda got, total: got == total)
    kavri.batch(["a.wav"], chain, "out", on_progress=lambda got, total: done.append(got))
    files: list[Path] = kavri.runs.batch.find_files("takes", "*.wav")
    assert files
    # NumPy's whole numbers are seeds and indices, and a whole float a rate, as at run time.
    kavri.augment(audio, rate, [{"type": "gain"}], seed=np.int64(7), index=np.uint32(2))
    kavri.augment_batch(audio[None], rate, [{"type": "gain"}], seed=7, indices=np.arange(1))
    kavri.io.write("out.wav", audio, 48000.0)
    kavri.plot.impulse_response(chain, 48000.0)
    _ = kavri.proces  # type: ignore[attr-defined]
    _ = kavri.WriteStats  # type: ignore[attr-defined]
