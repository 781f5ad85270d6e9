"""Array-level sample conversions shared by the engine path and the file writer."""
# MERGE: replaced by the io branch's module of the same name.

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

PCM_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}


def pcm_to_float(audio: npt.ArrayLike) -> npt.NDArray[np.float32]:
    if not isinstance(audio, np.ndarray):
        return np.asarray(audio, dtype=np.float32)
    data = audio
    kind = data.dtype
    if kind == np.uint8:
        return ((data.astype(np.float32) - np.float32(128.0)) / np.float32(128.0))
    if kind in (np.int8, np.int16, np.int32):
        scale = np.float32(2.0 ** (8 * kind.itemsize - 1))
        work = np.float64 if kind == np.int32 else np.float32
        scaled: npt.NDArray[np.floating[Any]] = np.divide(data.astype(work), scale, dtype=work)
        return scaled.astype(np.float32)
    if kind.kind in "iu":
        raise TypeError(f"integer audio of type {kind} has no known full scale; "
                        "use int8, int16, int32 or uint8 PCM, or float samples")
    if kind.kind in "bO":
        raise TypeError(f"audio must be numbers, got an array of {kind}")
    return np.asarray(data, dtype=np.float32)
