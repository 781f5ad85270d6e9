"""Background noise from files: ``background_noise`` mixes noise read from a file, or from
one file of a folder, into the signal.

Which file and where. "path" is a noise file or a folder; in a folder, the files whose
names match "pattern" (a glob relative to the folder, ``**`` reaching into subfolders; the
default ``*`` takes every file with a suffix Kavri reads as audio) are sorted by name, and
one is drawn. Reading starts at "offset_frames" (counted in the noise file's own frames);
-1 draws it. A chain written by hand draws both from its "seed": Philox-4x64 keyed on
(seed, BACKGROUND_KEY), whose words w give u = (w >> 11) / 2**53 in turn, the file number
floor(n u) and then the offset floor(frames u). A random chain draws them from its own
(seed, index) draws instead (step 6 of :mod:`kavri.random_chain`), and the drawn chain
holds the file and the offset, so that an ``augment.jsonl`` line replays exactly.

Mixing. The noise runs from the offset to the file's end, then again from its start (looped)
for as long as the signal lasts, and is cut where the signal ends. A noise file at another
rate is converted to the signal's (the ``resample`` step's soxr, fed fixed blocks); one
with the signal's channel count goes channel for channel, any other is mixed down to one
channel (the mean) and copied to every channel. With mode "gain" the noise is scaled by
``gain_db``; with mode "snr", so that the input's RMS over the mixed noise's RMS, each over
the whole input and every channel, is ``snr_db`` (a silent input or noise gets none;
silent noise against a signal is warned of). As for ``noise``, a call measures what it
holds, a file gets a measuring pass before the writing pass, and a stream holds the whole
signal until the flush.

Reading. Only the frames mixed are read, never the whole file: from the offset on, as the
signal comes, chunk by chunk (with a rate conversion, up to one block of the converter
ahead: 65,536 frames of the file, or fewer from a file at a lower rate, so that a block
makes about 65,536 frames at the signal's rate). A file no longer than a chunk's frames
still to come when the reading reaches its start is read whole there, once, and looped in
memory (not read once a turn). Samples that are not finite are refused as they are read. At
a ratio, the noise's RMS over the frames to be mixed is measured before they are mixed: a
call, and a stream at its flush, hold them once; a streamed file (whose signal is measured
in a pass of its own) reads them twice, once to measure.
"""

from __future__ import annotations

import contextlib
import math
import os
import stat
from collections.abc import Iterator
from typing import Any, cast

import numpy as np
import numpy.typing as npt
import soundfile as sf

from ._audio import check_count, check_sample_rate
from ._engine import check_memory
from ._paths import file_stamp, fs_bytes, recently_changed, shown
from ._providers import KeptLast, listed, once
from ._stop import current_stop
from .errors import AudioFileError
from .io.folders import audio_files
from .io.reading import DecodedReads, FileReads, open_seekable
from .random_chain import keyed_draws, register_resolver
from .steps import StepItem, register_step
from .steps.base import FrameBuffer, Frames, Step, apply_gain, empty, split_gain
from .steps.noise import MixedNoise
from .steps.rate import resample_step, source_block

__all__ = ["BackgroundNoise", "NoiseReader", "noise_files", "resolve", "BACKGROUND_KEY"]

BACKGROUND_KEY = 0x6261636B67 << 24


def noise_files(folder: str, pattern: str) -> list[str]:
    """The noise files of a folder that match a pattern, sorted by their names relative to
    it, each as the folder joined with that name. :class:`ChainError` when none match or
    the pattern is no glob relative to the folder (empty, absolute, a misplaced ``**``)."""
    return audio_files(folder, pattern, "background_noise")


# The lengths of the last files that state none exactly, by file: each is counted by
# decoding it whole, which a noise file mixed into every clip of a batch would do again
# for each.
_COUNTED: KeptLast[int] = KeptLast(4096, 0, lambda frames: 0)


@contextlib.contextmanager
def _opened(path: str) -> Iterator[FileReads | DecodedReads]:
    """A noise file opened to be read from any frame, as kavri.read reads an input (FFmpeg
    decodes what libsndfile cannot read or misreads)."""
    label = f"background_noise: {shown(path)}"
    try:
        status = os.stat(path)
    except FileNotFoundError:
        raise AudioFileError(f"{label}: no such file") from None
    except OSError as error:
        raise AudioFileError(f"{label}: cannot read: {error.strerror or error}") from None
    if stat.S_ISDIR(status.st_mode):
        raise AudioFileError(f"{label}: is a folder, not a noise file")
    if not stat.S_ISREG(status.st_mode):
        # A pipe or a device cannot seek to an offset nor start again at its beginning
        # (and opening a pipe that no one writes would wait for ever).
        raise AudioFileError(
            f"{label}: not a regular file; noise is read from an "
            "offset and looped, which a pipe or a device cannot do"
        )
    name: Any = fs_bytes(path)  # by its bytes, as a response file is
    stamp = file_stamp(status)
    known = _COUNTED.get(stamp)
    with open_seekable(name, label, known, current_stop()) as reads:
        if reads.counted and known is None and not recently_changed(status):
            _COUNTED.put(stamp, reads.frames)  # (a count of a file being written may be torn)
        yield reads


def _frames(path: str) -> int:
    with _opened(path) as handle:
        frames = int(handle.frames)
    if frames <= 0:
        raise AudioFileError(f"background_noise: {shown(path)}: holds no audio")
    return frames


def resolve(spec: dict[str, Any], draw: Any) -> None:
    """Completes a background noise's spec: the file of a folder and the offset, from the
    uniform numbers ``draw()`` gives, in that order (see the module's text)."""
    path = spec.get("path", "")
    if not isinstance(path, str) or not path:
        return
    if os.path.isdir(path):
        pattern = str(spec.get("pattern", "*"))
        files = listed(("files", path, pattern), lambda: tuple(noise_files(path, pattern)))
        spec["path"] = files[min(math.floor(draw() * len(files)), len(files) - 1)]
    if int(spec.get("offset_frames", -1)) < 0:
        chosen = spec["path"]
        frames = once(("frames", chosen), lambda: _frames(chosen))
        spec["offset_frames"] = min(math.floor(draw() * frames), frames - 1)


class NoiseReader:
    """The frames of a noise file from an offset on, looped, at a rate and channel count."""

    def __init__(self, path: str, offset: int, rate: int, channels: int) -> None:
        rate, channels = check_sample_rate(rate), check_count("channels", channels)
        self.path, self.offset, self.rate, self.channels = path, offset, rate, channels
        self._opened = contextlib.ExitStack()  # the file, while it is read
        self._file: FileReads | DecodedReads | None = None
        self._resampler: Step | None = None
        self._block = 0  # file frames a turn of the resampler takes
        # The noise is read and converted at the channels it has apart (all of the file's
        # when they meet the signal's, else its mono mix) and spread over the signal's
        # only as it is taken: a mono file under 2,000 channels was converted 2,000 times
        # over, 3.4 GiB for a call of 100 frames.
        self._width = channels
        self._ready = FrameBuffer(channels, "background_noise: converted noise frames")
        self.frames_read = 0
        self._whole: Frames | None = None  # a file looped in memory, and where in it
        self._at = 0

    def _handle(self) -> FileReads | DecodedReads:
        if self._file is None:
            handle = self._opened.enter_context(_opened(self.path))
            if handle.frames <= 0:
                self._opened.close()
                raise AudioFileError(f"background_noise: {shown(self.path)}: holds no audio")
            start, frames = self.offset % handle.frames, handle.frames
            try:
                handle.seek(start)
            except (sf.LibsndfileError, RuntimeError, ValueError) as error:
                # A file cut short: its header promises frames its data does not hold.
                self._opened.close()
                raise AudioFileError(
                    f"background_noise: {shown(self.path)}: cannot seek to frame {start} "
                    f"of {frames}: {error}"
                ) from None
            self._width = self.channels if handle.channels == self.channels else 1
            self._ready = FrameBuffer(self._width, "background_noise: converted noise frames")
            if handle.samplerate != self.rate:
                self._block = source_block(handle.samplerate, self.rate)
                self._resampler = resample_step(handle.samplerate, self._width, self.rate, 1)
            self._file = handle
        return self._file

    def close(self) -> None:
        self._opened.close()
        self._file = None

    def _narrow(self, data: Frames) -> Frames:
        """The file's frames at the channels the noise has apart: all of them, or their mix."""
        count = data.shape[1]
        if count == self._width:
            return data
        return data[:, :1] if count == 1 else data.mean(axis=1, dtype=np.float32)[:, None]

    def _widen(self, data: Frames) -> Frames:
        """Noise at the channels it has apart, over the signal's."""
        if data.shape[1] == self.channels:
            return data
        check_memory(data.shape[0] * self.channels * 4, "background_noise: noise")
        return np.ascontiguousarray(np.broadcast_to(data, (data.shape[0], self.channels)))

    def _read(self, count: int) -> Frames:
        """The next ``count`` frames of the file, looped, at the channels it has apart."""
        handle = self._handle()
        check_memory(count * max(handle.channels, self._width) * 8, "background_noise: noise")
        if self._whole is not None:
            return self._narrow(self._from_whole(count))
        pieces: list[Frames] = []
        need = count
        empty_reads = 0
        while need:
            if handle.tell() == 0 and need >= handle.frames:
                # At the file's start with at least all of it still to mix: it is read
                # once and looped in memory, not read again for each turn (a file of a few
                # hundred frames under an hour of signal would be a million reads).
                self._whole = self._read_whole(handle)
                pieces.append(self._from_whole(need))
                break
            try:
                got = handle.read(need)
            except (sf.LibsndfileError, RuntimeError, ValueError) as error:
                raise AudioFileError(
                    f"background_noise: {shown(self.path)}: cannot read: {error}"
                ) from None
            if not got.shape[0]:
                empty_reads += 1
                if empty_reads > 1:  # nothing from the start either
                    raise AudioFileError(f"background_noise: {shown(self.path)}: holds no audio")
                handle.seek(0)
                continue
            empty_reads = 0
            self.frames_read += got.shape[0]
            self._check_finite(got)
            pieces.append(got)
            need -= got.shape[0]
        data = pieces[0] if len(pieces) == 1 else np.concatenate(pieces)
        return self._narrow(data)

    def _read_whole(self, handle: FileReads | DecodedReads) -> Frames:
        try:
            data = handle.read(handle.frames)
        except (sf.LibsndfileError, RuntimeError, ValueError) as error:
            raise AudioFileError(
                f"background_noise: {shown(self.path)}: cannot read: {error}"
            ) from None
        if not data.shape[0]:
            raise AudioFileError(f"background_noise: {shown(self.path)}: holds no audio")
        self.frames_read += data.shape[0]
        self._check_finite(data)
        data.flags.writeable = False  # handed out in views
        return data

    def _check_finite(self, data: Frames) -> None:
        """Refuses frames that are not finite (a float file may hold them), as a response
        file is refused: mixed in, they spoiled the output where they fell."""
        if not np.all(np.isfinite(data)):
            raise AudioFileError(
                f"background_noise: {shown(self.path)}: holds samples that are not finite"
            )

    def _from_whole(self, count: int) -> Frames:
        """The next ``count`` frames of the file held whole, from where the last ended."""
        assert self._whole is not None
        frames = self._whole.shape[0]
        at = self._at
        self._at = (at + count) % frames
        if at + count <= frames:
            return self._whole[at : at + count]
        out = np.empty((count, self._whole.shape[1]), np.float32)
        first = min(count, frames)  # one turn, from where the last read ended
        out[: frames - at] = self._whole[at:]
        out[frames - at : first] = self._whole[: first - (frames - at)]
        # The rest repeats that turn: doubling what is filled, a whole number of turns.
        filled = first
        while filled < count:
            step = min(filled, count - filled)
            out[filled : filled + step] = out[:step]
            filled += step
        return out

    def take(self, count: int) -> Frames:
        """The next ``count`` frames at the signal's rate and channel count."""
        if not count:
            return empty(self.channels)
        self._handle()
        if self._resampler is None:
            return self._widen(self._read(count))
        while len(self._ready) < count:
            self._ready.append(self._resampler.process(self._read(self._block)), copy=False)
        return self._widen(self._ready.take(count))


class BackgroundNoise(MixedNoise):
    """Noise from a file mixed into the input (see the module's text)."""

    type = "background_noise"

    def __init__(
        self,
        rate: int,
        channels: int,
        path: str,
        offset: int,
        mode: str,
        snr_db: float,
        gain_db: float,
        measured: tuple[float, int] | None = None,
    ) -> None:
        fixed = 10.0 ** (gain_db / 20.0) if mode == "gain" else None
        super().__init__(rate, channels, snr_db, fixed, measured)
        self._where = (path, offset, rate, channels)
        self._reader = NoiseReader(*self._where)
        self.frames_read = 0

    def reset(self) -> None:
        self.frames_read += self._reader.frames_read
        self._reader.close()
        self._reader = NoiseReader(*self._where)
        self._held.clear()

    def _take(self, count: int) -> Frames:
        return self._reader.take(count)

    @contextlib.contextmanager
    def _own_feed(self) -> Iterator[NoiseReader]:
        reader = NoiseReader(*self._where)
        try:
            yield reader
        finally:
            self.frames_read += reader.frames_read
            reader.close()

    def _noise_named(self) -> str:
        path, offset = self._where[:2]
        return f"the noise of {shown(path)} from frame {offset}"

    def _mix(self, chunk: Frames, noise: npt.NDArray[Any], gain: float) -> Frames:
        # A file's noise is float32 already: the mix stays in single precision.
        with np.errstate(over="ignore"):
            return cast(Frames, chunk + apply_gain(noise, split_gain(gain)))


def _build(item: StepItem, value: dict[str, Any], workers: int, measured: Any) -> Step:
    spec = {"path": str(value["path"]), "pattern": value["pattern"]}
    offset = int(value["offset_frames"])
    if offset >= 0:
        spec["offset_frames"] = offset
    resolve(spec, keyed_draws(int(value["seed"]), BACKGROUND_KEY))
    if os.path.isdir(spec["path"]) or not os.path.exists(spec["path"]):
        _frames(spec["path"])  # says what is wrong with it
    return BackgroundNoise(
        item.in_rate,
        item.in_channels,
        spec["path"],
        int(spec["offset_frames"]),
        str(value["mode"]),
        float(value["snr_db"]),
        float(value["gain_db"]),
        measured,
    )


register_step("background_noise", _build)
register_resolver("background_noise", resolve)
