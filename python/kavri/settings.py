"""How a file is rendered, as one value.

A :class:`RenderSettings` carries every option that shapes a rendered file besides its
chain: the engine's block size and worker count, the output's sample format, container,
dither and MP3 bit rate, its tags, the tail of silence and the loudness target. It is checked once
when it is made, at the edge (the command line, or the first library call that gets loose
keywords), and then passed down whole: from a batch through its tasks into each streamed
file. Its :meth:`~RenderSettings.digest` of a chain is what batch records compare to decide
that an output is still current.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import math
import numbers
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, TypedDict

import numpy as np

from ._engine import DEFAULT_BLOCK_SIZE, check_engine_options
from ._version import __version__
from .catalogue import EFFECTS, cut_short, quoted
from .chain import Chain
from .errors import AudioFileError, KavriError
from .io import (
    DITHER_MODES,
    KEEP_SUBTYPE,
    MP3_BITRATES,
    check_format_name,
    check_subtype_name,
    check_tags,
    mp3_bitrate,
)
from .loudness import LoudnessTarget, target_of

__all__ = ["RenderSettings", "RenderOptions", "SettingError", "check_tail", "tail_frames"]


class SettingError(KavriError, ValueError):
    """A render setting that cannot be used. ``setting`` names it as the keyword does
    ("block_size"); the message begins with that name."""

    def __init__(self, setting: str, message: str) -> None:
        super().__init__(message)
        self.setting = setting

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt from both arguments: a pool's worker sends its errors back pickled, and
        # the message alone could not make one (the pool broke instead).
        return type(self), (self.setting, str(self)), self.__dict__


class RenderOptions(TypedDict, total=False):
    """The keywords that library calls accept in place of a whole :class:`RenderSettings`."""

    block_size: int
    workers: int
    subtype: str | None
    tail: float
    loudness: float | None
    peak_ceiling: float | None
    dither: str
    bitrate: int | None
    file_format: str | None
    tags: Mapping[str, str] | Iterable[tuple[str, str]]
    keep_tags: bool


def check_tail(seconds: object) -> float:
    """The tail length as a float; ``ValueError`` unless it is a finite number >= 0."""
    given: object = seconds  # checked as whatever the caller passed
    if isinstance(given, bool) or not isinstance(given, numbers.Real):
        raise ValueError(f"tail must be a number of seconds, got {given!r}")
    try:
        value = float(given)
    except OverflowError:  # 10**400
        value = math.inf
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"tail must be a finite number of seconds, 0 or more; got {value}")
    if value > MOST_TAIL_SECONDS:
        # Refused with the settings: a batch had failed each file as it was written, its
        # message a size of 300 digits.
        raise ValueError(f"tail must be at most {MOST_TAIL_SECONDS:,} seconds, got {value:g}")
    return value


# The longest tail: its frames fit 62 bits at the highest sample rate (2**31 - 1 Hz).
MOST_TAIL_SECONDS = 2**31


def tail_frames(seconds: float, sample_rate: int) -> int:
    """Frames of silence a tail of ``seconds`` adds: seconds x sample_rate (computed in double
    precision) rounded to the nearest whole frame, an exact half to the even one, as Python's
    ``round`` does."""
    return round(check_tail(seconds) * sample_rate)


@dataclass(frozen=True)
class RenderSettings:
    """Everything besides the chain that shapes a rendered file, checked when made.

    ``block_size`` and ``workers`` as in :func:`kavri.process`; ``subtype`` the output's
    sample format ("float", "pcm24", ...; None for the container's default); ``tail``
    seconds of silence run through the chain after the input; ``loudness`` a target in
    LUFS (None for none) with its true-peak ``peak_ceiling`` in dBTP (-1 when not given;
    refused without a target); ``dither`` "tpdf" or
    "none" for 16-bit output; ``bitrate`` a constant MP3 bit rate in kbit/s (None for
    variable); ``file_format`` the container when the output name has no suffix (or
    "raw"). ``subtype="same"`` keeps the input's sample format where the output's
    container holds it (24-bit WAV stays 24-bit), and the container's default elsewhere.
    ``keep_tags`` carries the input's tags (title, artist, ...) to the output where both
    formats hold them; ``tags`` ({name: value}) are written as well, over carried ones of
    the same name. They are stored as a tuple of (name, value) pairs, names in lower case.

    Raises :class:`SettingError` (a ``ValueError``) naming the first setting at fault.
    """

    block_size: int = DEFAULT_BLOCK_SIZE
    workers: int = 1
    subtype: str | None = None
    tail: float = 0.0
    loudness: float | None = None
    peak_ceiling: float | None = None
    dither: str = "tpdf"
    bitrate: int | None = None
    file_format: str | None = None
    tags: Mapping[str, str] | Iterable[tuple[str, str]] = ()
    keep_tags: bool = True

    def __post_init__(self) -> None:
        blocks, threads = _checked(
            "block_size", check_engine_options, self.block_size, self.workers
        )
        # 0 is the engine's default block: named as such, so that a run's settings compare
        # equal either way (a batch rerun with --block-size 0 redid every file).
        object.__setattr__(self, "block_size", blocks or RenderSettings.block_size)
        object.__setattr__(self, "workers", threads)
        object.__setattr__(self, "tail", _checked("tail", check_tail, self.tail))
        if self.loudness is not None:
            # The target first at a ceiling that is always valid, so that a failure of the
            # second check is the ceiling's.
            target = _checked("loudness", LoudnessTarget, self.loudness, -1.0)
            object.__setattr__(self, "loudness", target.lufs)
        target = _checked("peak_ceiling", target_of, self.loudness, self.peak_ceiling)
        if target is not None and self.peak_ceiling is not None:
            object.__setattr__(self, "peak_ceiling", target.peak_ceiling_db)
        if self.subtype is not None and self.subtype != KEEP_SUBTYPE:
            _checked("subtype", check_subtype_name, _text("subtype", self.subtype))
        given: object = self.tags
        if isinstance(given, str | bytes):
            raise SettingError("tags", "tags must be a mapping of names to values")
        pairs = _checked("tags", check_tags, self.tags)
        object.__setattr__(self, "tags", tuple(pairs.items()))
        if not isinstance(self.keep_tags, bool):
            raise SettingError(
                "keep_tags", f"keep_tags must be True or False, got {self.keep_tags!r}"
            )
        if self.file_format is not None:
            _checked("file_format", check_format_name, _text("file_format", self.file_format))
        if self.dither not in DITHER_MODES:
            raise SettingError(
                "dither",
                f"dither must be one of {', '.join(DITHER_MODES)}, got {_shown_value(self.dither)}",
            )
        if self.bitrate is not None:
            try:
                # A plain int, as a record's digest and JSON take it (np.int64(128) failed
                # every batch as "a chain holds a int64").
                object.__setattr__(self, "bitrate", mp3_bitrate("bitrate", self.bitrate))
            except AudioFileError:
                raise SettingError(
                    "bitrate",
                    f"bitrate {self.bitrate!r} kbit/s is not one of "
                    f"{', '.join(map(str, MP3_BITRATES))}",
                ) from None

    @classmethod
    def of(cls, settings: RenderSettings | None, options: RenderOptions) -> RenderSettings:
        """``settings`` (or the defaults) with the given keywords put in, checked."""
        if settings is not None and not isinstance(settings, RenderSettings):
            # A dict of settings had failed deep inside ("'dict' object has no attribute").
            raise TypeError(
                f"settings must be a kavri.RenderSettings, got {type(settings).__name__}; "
                "give the settings as keywords or as RenderSettings(...)"
            )
        base = settings if settings is not None else _DEFAULT
        if not options:
            return base
        unknown = set(options) - set(RenderOptions.__annotations__)
        if unknown:
            raise TypeError(f"unknown setting {', '.join(sorted(unknown))}")
        return dataclasses.replace(base, **options)

    @property
    def target(self) -> LoudnessTarget | None:
        """The loudness target, or None."""
        return target_of(self.loudness, self.peak_ceiling)

    def tags_dict(self) -> dict[str, str]:
        """The tags given, as {name: value}."""
        return dict(self.tags)

    def digest(self, chain: Chain) -> str:
        """A digest of everything besides the input that decides an output's bits: the
        chain, these settings and the version. The worker count is left out: it never
        changes them."""
        fields: dict[str, Any] = {
            "chain": [_canonical(spec) for spec in chain],
            "block_size": self.block_size,
            "subtype": self.subtype,
            "tail": self.tail,
            "version": __version__,
            "dither": self.dither,
        }
        target = self.target
        if target is not None:
            fields.update(loudness=target.lufs, peak_ceiling=target.peak_ceiling_db)
        if self.bitrate is not None:
            fields["bitrate"] = self.bitrate
        if self.file_format is not None:
            fields["file_format"] = self.file_format
        if self.tags:
            fields["tags"] = sorted(self.tags_dict().items())
        if not self.keep_tags:
            fields["keep_tags"] = False
        text = json.dumps(fields, sort_keys=True, allow_nan=True, default=_samples_digest)
        return hashlib.sha256(text.encode()).hexdigest()


def _canonical(spec: Any) -> Any:
    """A checked spec as the engine takes it, for a digest: every key, at its default where
    left out, and a whole number given for a key of any number as the float it is, so that
    `--effect gain:db=0`, {"db": 0} and {"type": "gain"} are one chain (a batch run from
    Python redid every file a command had made)."""
    info = EFFECTS.get(str(spec.get("type"))) if isinstance(spec, Mapping) else None
    if info is None:
        return spec
    full = {**info.defaults(), **spec}
    for param in info.params:
        value = full[param.key]
        if param.kind == "number" and not param.integer and type(value) is int:
            full[param.key] = float(value)
    return full


def _samples_digest(value: object) -> object:
    """An array of samples in a chain (an impulse response given in Python) as the digest
    of its bits and its shape: the chain checker holds it as C-ordered float32."""
    if isinstance(value, np.ndarray):
        data = np.ascontiguousarray(value, dtype=np.float32)
        return {"samples": hashlib.sha256(data.tobytes()).hexdigest(), "shape": data.shape}
    raise TypeError(f"a chain holds a {type(value).__name__}, which has no digest")


def _shown_value(value: object) -> str:
    """A setting's value for a message: a name quoted and escaped, anything else as its
    repr, each cut short (100 kB of dither had been 100 kB of message)."""
    return quoted(value) if isinstance(value, str) else cut_short(repr(value), 60)


def _text(setting: str, value: object) -> str:
    if not isinstance(value, str):
        raise SettingError(setting, f"{setting} must be a name, got {value!r}")
    return value


def _checked(setting: str, check: Any, *values: Any) -> Any:
    """``check(*values)``, its ``ValueError``, ``TypeError`` or :class:`KavriError` raised
    as a :class:`SettingError` naming ``setting``."""
    try:
        return check(*values)
    except SettingError:
        raise
    except (ValueError, TypeError, KavriError) as error:
        message = str(error)
        named = message.split(" ", 1)[0]
        # The engine options are checked together; the message names the one at fault.
        name = named if named in RenderOptions.__annotations__ else setting
        raise SettingError(name, message) from None


_DEFAULT = RenderSettings()
