"""Impulse responses from files for ``convolution``: a file, or one file of a folder drawn
from the seed.

Which file. "ir" is an impulse response file or a folder; in a folder, the files whose
names match "pattern" (a glob relative to the folder, ``**`` reaching into subfolders; the
default ``*`` takes every file with a suffix Kavri reads as audio) are sorted by name, and
one is drawn. A chain written by hand draws it from its "seed": Philox-4x64 keyed on
(seed, ROOM_KEY), whose first word w gives u = (w >> 11) / 2**53 and the file number
floor(n u). A random chain draws it from its own (seed, index) draws instead (step 6 of
:mod:`kavri.random_chain`), and the drawn chain holds the file, so that an
``augment.jsonl`` line replays exactly.

Reading. The whole response is read (it is needed whole; the memory guard is asked first)
as float32; samples that are not finite are refused. A response at another rate than the
signal's is converted to it by the ``resample`` step's soxr and scaled by the old rate over
the new, so that its gain at low frequencies stays as it was (a response resampled to twice
the rate has twice as many samples of each stretch of it), where its first sound is 20
frames in or later; what the converter's filter puts before the first frame is cut, as the
output lines up with the input, so an impulse at frame 0 keeps 0.74-0.90 of its gain. The
last few responses read (within 64 MiB beside the newest) are kept, read-only, for the next
chain that names them with the file unchanged, and so are their transformed partitions
(:mod:`kavri.steps.rooms`), so that clip after clip through the same response transforms it
once."""

from __future__ import annotations

import functools
import math
import os
import stat
from typing import Any

import numpy as np
import numpy.typing as npt

from ._audio import check_sample_rate
from ._engine import check_memory
from ._locks import ForkSafeLock
from ._paths import file_stamp, fs_bytes, recently_changed, shown, special_kind
from ._providers import KeptLast, listed, once
from ._stop import current_stop
from .catalogue import counted
from .errors import AudioFileError
from .io import input_path
from .io.folders import audio_files
from .io.reading import exact_length, open_input, read_source
from .random_chain import keyed_draws, register_resolver
from .steps import StepItem, register_step
from .steps.base import Step
from .steps.rate import resample_step
from .steps.rooms import convolution_step

__all__ = ["ROOM_KEY", "read_response", "resolve", "response_files"]

ROOM_KEY = 0x726F6F6D << 24


def response_files(folder: str, pattern: str) -> list[str]:
    """The impulse response files of a folder that match a pattern, sorted by name."""
    return audio_files(folder, pattern, "convolution")


def resolve(spec: dict[str, Any], draw: Any) -> None:
    """Completes a convolution's spec: the file of a folder, from one uniform number that
    ``draw()`` gives (see the module's text). A file or an array is left as it is."""
    path = spec.get("ir", "")
    if isinstance(path, str) and path and os.path.isdir(path):
        pattern = str(spec.get("pattern", "*"))
        files = listed(("files", path, pattern), lambda: tuple(response_files(path, pattern)))
        spec["ir"] = files[min(math.floor(draw() * len(files)), len(files) - 1)]


def _problem(path: str, what: str) -> AudioFileError:
    return AudioFileError(f"convolution: {shown(path)}: {what}")


def _decode(path: str, name: Any, rate: int) -> npt.NDArray[np.float32]:
    """The response in the file ``name`` opens (``path`` itself, or a pipe's copy), at
    ``rate``; messages name ``path``. It is read as kavri.read reads an input (FFmpeg
    decodes what libsndfile cannot read or misreads; an MP3 in blocks of one size)."""
    label = f"convolution: {shown(path)}"
    with open_input(name, label) as source:
        channels, source_rate = int(source.channels), int(source.samplerate)
        converter = None if source_rate == rate else resample_step(source_rate, channels, rate, 1)

        def guard(frames: int) -> None:
            # The response, and at another rate its conversion: the converter's output, the
            # output joined and scaled (at a rate of gigahertz, thousands of times the file).
            made = 0 if converter is None else int(converter.output_frames(frames))
            check_memory(
                (frames + 3 * made) * channels * 4,
                f"convolution: the impulse response {shown(path)} ({counted(frames, 'frame')}"
                + (f", {made} at {rate} Hz)" if made else ")"),
            )

        # A stated length is checked before the read; an estimate (a container's duration:
        # one of 1e11 ms holding a second had the response refused as 137 TiB) is not
        # trusted, and the frames read are checked as they come, then the whole.
        exact = exact_length(source)
        if exact:
            guard(max(int(source.frames), 0))
        data = read_source(label, source)
        if not exact:
            guard(data.shape[0])
    if not data.shape[0]:
        raise _problem(path, "holds no audio")
    if not np.all(np.isfinite(data)):
        raise _problem(path, "holds samples that are not finite")
    if converter is not None:
        converted = converter.run_whole(data)
        data = converted * np.float32(source_rate / rate)
        if not data.shape[0]:
            raise _problem(path, f"holds too little audio to convert to {rate} Hz")
    data = np.ascontiguousarray(data)
    data.flags.writeable = False
    return data


# Responses read, by path, file stamp and rate: the last few are kept. Those from pipes
# that no one can write again (a shell's <(cat room.wav)), by path, rate and the pipe's
# inode, are kept apart and by count alone: one let go cannot be read again, and the files
# of a batch after it failed on an empty pipe.
_KEPT: KeptLast[npt.NDArray[np.float32]] = KeptLast(4, 64 << 20, lambda data: data.nbytes)
_PIPES: KeptLast[npt.NDArray[np.float32]] = KeptLast(4, 1 << 62, lambda data: data.nbytes)


def _read(path: str, status: os.stat_result, rate: int) -> npt.NDArray[np.float32]:
    key = ("file", path, file_stamp(status), rate)
    data = _KEPT.get(key)
    if data is not None:
        return data

    def read() -> npt.NDArray[np.float32]:
        # By its bytes: a name that is not UTF-8 (any byte but / and NUL is allowed) still
        # opens, where soundfile would encode it as UTF-8 and fail.
        name: Any = fs_bytes(path)  # soundfile takes bytes, though its hints say str
        return _decode(path, name, rate)

    if recently_changed(status):
        # Read once for a call, as a named pipe is, and never kept: a file being rewritten
        # in place was read torn and kept under the write's final times, and every later
        # call got the torn response.
        return once(key, read)
    data = read()
    _KEPT.put(key, data)
    return data


# Pipes are read one at a time (see _read_pipe).
_PIPE_READ = ForkSafeLock()


@functools.cache
def _anonymous_pipes() -> int:
    """The device of pipes without a name (os.pipe's, a shell's <(...))."""
    read_end, write_end = os.pipe()
    try:
        return os.fstat(read_end).st_dev
    finally:
        os.close(read_end)
        os.close(write_end)


def _read_pipe(path: str, rate: int) -> npt.NDArray[np.float32]:
    """A response from a pipe, read by one thread at a time and copied aside as the main
    input is (its writer waited for in short polls that look at the running file's stop).
    A pipe without a name (ir=<(cat room.wav)) can be read once: it is kept, so that the
    files of a batch, side by side or after it, all take it whole, where each had read a
    part of it. A named pipe is read once for a call (the builds of its plan, a plot's
    measurements share it), and again for the next: another writer may have come."""
    with _PIPE_READ:
        status = _status(path)
        key = (path, rate, status.st_ino)
        nameless = status.st_dev == _anonymous_pipes()
        kept = _PIPES.get(key) if nameless else None
        if kept is not None:
            return kept

        def read() -> npt.NDArray[np.float32]:
            with input_path(path, current_stop(), whole=True) as readable:
                return _decode(path, readable, rate)

        data = once(("response", *key), read)
        if nameless:
            _PIPES.put(key, data)
        return data


def _status(path: str) -> os.stat_result:
    try:
        return os.stat(path)
    except FileNotFoundError:
        raise _problem(path, "no such file") from None
    except OSError as error:
        raise _problem(path, f"cannot read: {error.strerror or error}") from None


def read_response(path: str, rate: int) -> npt.NDArray[np.float32]:
    """The impulse response of a file as (frames, channels) float32 at ``rate``."""
    rate = check_sample_rate(rate)  # 0 had divided by zero in the conversion
    if os.path.isdir(path):
        raise _problem(path, "is a folder; give a file, or a folder as the chain's 'ir'")
    status = _status(path)
    if stat.S_ISFIFO(status.st_mode):
        return _read_pipe(path, rate)
    if stat.S_ISCHR(status.st_mode) or stat.S_ISSOCK(status.st_mode):
        # /dev/zero would be copied aside without end.
        raise _problem(path, f"is {special_kind(status.st_mode)}, not a file or a pipe")
    return _read(path, status, rate)


def _build(item: StepItem, value: dict[str, Any], workers: int, measured: Any) -> Step:
    spec = {"ir": str(value["ir"]), "pattern": value["pattern"]}
    resolve(spec, keyed_draws(int(value["seed"]), ROOM_KEY))
    response = read_response(spec["ir"], item.in_rate)
    where = f"convolution (effect {item.index}): {shown(spec['ir'])}"
    return convolution_step(
        item.in_rate, item.in_channels, response, value, workers, where, shared=True
    )


register_step("convolution", _build)
register_resolver("convolution", resolve)
