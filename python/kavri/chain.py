"""Effect chains: checking specs against the catalogue, chain files, presets, ``--effect`` text.

A chain is a list of effect specs, each a dict with a "type" and that effect's keys. It can
come from Python, from a JSON file (a list of specs, or an object with a "chain" list and
an optional "description"), or from a preset shipped with the package. Whatever the source,
the chain is checked here before any audio is touched, so that a bad chain fails with a
message naming the effect, the key or the value at fault.
"""

from __future__ import annotations

import codecs
import copy
import functools
import json
import math
import numbers
import os
import re
import stat
from collections.abc import Iterable, Mapping, Sequence
from collections.abc import Set as AbstractSet
from importlib import resources
from pathlib import Path
from typing import Any, TypeAlias

import numpy as np

from ._audio import real_samples, shown_integer
from ._json import MAX_DEPTH, JSONProblem, too_deep
from ._json import parse as parse_json
from ._paths import fs_name, shown
from .catalogue import EFFECTS, EffectInfo, Param, cut_short, quoted, suggest
from .errors import ChainError

__all__ = [
    "Chain",
    "ChainLike",
    "EffectSpec",
    "validate_chain",
    "load_chain",
    "load_chain_file",
    "parse_chain_text",
    "parse_effect_option",
    "list_presets",
    "load_preset",
    "chain_summary",
]

EffectSpec: TypeAlias = Mapping[str, Any] | Iterable[tuple[str, Any]]
Chain: TypeAlias = list[dict[str, Any]]
ChainLike: TypeAlias = Sequence[EffectSpec] | str | bytes | os.PathLike[str]

_INT32 = (-(2**31), 2**31 - 1)
_INT32_LIMIT = 2**31
# The engine holds every other parameter as a single-precision float; larger magnitudes
# would reach it as infinity.
_FLOAT32_MAX = float(np.finfo(np.float32).max)


# A value shown in a message is cut to this many characters, keeping both ends.
_SHOWN_LENGTH = 120


def _show(value: Any) -> str:
    """A value as the user wrote it, in JSON terms where it has one, cut short when long."""
    if too_deep(value):
        return f"(a {type(value).__name__} nested more than {MAX_DEPTH} levels deep)"
    try:
        text = json.dumps(value, allow_nan=True)
    except (TypeError, ValueError, RecursionError):
        try:
            text = repr(value)
        except ValueError:  # it holds an integer too long for the interpreter to print
            return f"(a {type(value).__name__} holding an integer too long to print)"
        except RecursionError:
            return f"(a {type(value).__name__} nested too deeply to print)"
    return cut_short(text, _SHOWN_LENGTH)


def _show_number(value: Any) -> str:
    """A number for a message; an integer too long to print is described by its size."""
    if isinstance(value, numbers.Integral):
        return shown_integer(int(value))
    return _show(value)


def too_large(shown_value: str) -> str:
    """The end of a message for a number beyond single precision. The bound is shown in
    full: rounded to eight digits it reads 3.4028235e+38, which is itself too large."""
    return f"{shown_value} is too large (the largest magnitude is {_FLOAT32_MAX!r})"


def overflow_problem(param: Param, value: Any) -> str | None:
    """Why a number (already known to be one) is past its key's overflow bound; None if it
    is not."""
    if param.overflow is None or not param.overflows(float(value)):
        return None
    return (
        f"parameter '{param.key}' = {_show_number(value)} is out of range "
        f"({param.range_text()} {param.unit}: past it the effect's {param.overflow_of} "
        "overflows)"
    )


def _value_problem(key: str, value: Any, integer: bool) -> str | None:
    """What is wrong with a parameter value, as the end of a message; None if nothing."""
    kind = type(value)
    if kind is float and not integer:
        # The common cases, decided without the slower abstract checks below.
        if -_FLOAT32_MAX <= value <= _FLOAT32_MAX:
            return None
    elif kind is int and -_INT32_LIMIT <= value < _INT32_LIMIT:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return (
            f"parameter '{key}' must be {'a whole number' if integer else 'a number'}, "
            f"got {_show(value)}"
        )
    if integer:
        if not isinstance(value, numbers.Integral):
            return f"parameter '{key}' must be a whole number, got {_show(value)}"
        if not _INT32[0] <= int(value) <= _INT32[1]:
            return (
                f"parameter '{key}' = {_show_number(value)} is out of range "
                f"({_INT32[0]} to {_INT32[1]})"
            )
        return None
    # The engine clamps with one-sided comparisons, which NaN passes untouched, and an
    # infinite gain or time makes every sample infinite or NaN: neither can give audio.
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if math.isnan(number) or (math.isinf(number) and not isinstance(value, numbers.Integral)):
        return f"parameter '{key}' must be a finite number, got {_show(value)}"
    if abs(number) > _FLOAT32_MAX:
        return f"parameter '{key}' = {too_large(_show_number(value))}"
    return None


# The longest list or matrix side a step key takes: a channel count.
MAX_LIST = 1024
# The longest text a step key takes (a path, a pattern).
MAX_TEXT = 4096


def _in_range(param: Param, number: float) -> str | None:
    """Why a step's number lies outside its key's range, or None: a step's range is a limit,
    not a clamp."""
    low, high = param.minimum, param.maximum
    if (low is not None and number < low) or (high is not None and number > high):
        return (
            f"parameter '{param.key}' = {_show_number(number)} is out of range "
            f"({param.range_text()})"
        )
    return None


def _listlike(value: Any) -> bool:
    """Whether a value can be a list of numbers or rows (a 0-d array is iterable in name
    only: listing it raised a bare TypeError). A set is not: its order is its hash's, so a
    channel matrix's row of {0.0, 1.0} came out as [0.0, 1.0] whichever way it was meant."""
    if isinstance(value, (str, bytes, Mapping, AbstractSet)) or not isinstance(value, Iterable):
        return False
    return not (isinstance(value, np.ndarray) and value.ndim == 0)


def _numbers(key: str, value: Any, what: str) -> tuple[list[float] | None, str]:
    if not _listlike(value):
        return None, f"parameter '{key}' must be {what}, got {_show(value)}"
    items = list(value)
    if len(items) > MAX_LIST:
        return None, f"parameter '{key}' holds {len(items)} values; at most {MAX_LIST}"
    out = []
    for item in items:
        problem = _value_problem(key, item, False)
        if problem is not None:
            return None, f"{problem} (in {what})"
        out.append(float(item))
    return out, ""


# The most frames an array of samples in a chain may hold (an impulse response of ten
# minutes at 48 kHz is far beyond any room).
MAX_ARRAY_FRAMES = 2**28


def samples_value(key: str, value: Any) -> tuple[Any, str | None]:
    """An array of samples given for a key (an impulse response in Python) as the chain
    holds it: a new (frames, channels) float32 array, C-ordered and read-only; and what is
    wrong with it (None if nothing). The samples convert as audio does (integer PCM by its
    full scale, as a file of it would read; complex, bool and text refused); 1-D is one
    channel; (channels, frames) is refused, as for audio."""
    array = None
    try:
        with np.errstate(over="ignore"):  # past single precision: refused below, not warned
            if value is not None:
                array = np.array(real_samples(value, f"parameter '{key}'"), dtype=np.float32)
    except TypeError as error:
        return None, f"{error}, or a path"
    except (ValueError, OverflowError):
        pass
    if array is None or array.ndim == 0:  # a number was taken for a response of one frame
        return None, f"parameter '{key}' must be a path or an array of samples, got {_show(value)}"
    if array.ndim == 1:
        array = array[:, np.newaxis]
    if array.ndim != 2 or not array.shape[0] or not array.shape[1]:
        return None, (
            f"parameter '{key}' must be (frames, channels) or 1-D with a frame or more, "
            f"got shape {array.shape}"
        )
    if array.shape[0] <= 64 < array.shape[1]:
        return None, (
            f"parameter '{key}' of shape {array.shape} looks channels-first; "
            f"give (frames, channels): pass it transposed"
        )
    if array.shape[0] > MAX_ARRAY_FRAMES or array.shape[1] > MAX_LIST:
        return None, f"parameter '{key}' of shape {array.shape} is too large"
    if not np.all(np.isfinite(array)):
        return None, (
            f"parameter '{key}' holds samples that are not finite or beyond single precision"
        )
    array = np.ascontiguousarray(array)
    array.flags.writeable = False
    return array, None


def step_value(param: Param, value: Any) -> tuple[Any, str | None]:
    """A step's value checked against its key, as the chain holds it (a list of floats, a
    list of rows, a name, the number, or an array of samples), and what is wrong with it
    (None if nothing)."""
    key = param.key
    if param.kind in ("text", "audio") and isinstance(value, os.PathLike):
        try:  # a path object (pathlib's, say) is held as its name
            value = os.fsdecode(value)
        except TypeError:
            return None, f"parameter '{key}' must be a text, got {_show(value)}"
    if param.kind == "audio" and not isinstance(value, str):
        return samples_value(key, value)
    if param.kind in ("text", "audio"):
        if not isinstance(value, str):
            return None, f"parameter '{key}' must be a text, got {_show(value)}"
        if "\x00" in value:
            return None, f"parameter '{key}' must not hold a NUL character"
        if len(value) > MAX_TEXT:
            return None, f"parameter '{key}' is {len(value)} characters long; at most {MAX_TEXT}"
        try:  # a name for the file system: JSON's lone "\ud800" is none
            os.fsencode(value)
        except UnicodeEncodeError as error:
            return None, f"parameter '{key}' holds {quoted(value[error.start])}, which no name can"
        return value, None
    if param.kind == "choice":
        if not isinstance(value, str) or value not in param.choices:
            return None, (
                f"parameter '{key}' must be one of {', '.join(param.choices)}, got {_show(value)}"
            )
        return value, None
    if param.kind == "list":
        listed, problem = _numbers(key, value, "a list of numbers")
        return listed, problem or None
    if param.kind == "matrix":
        what = "a list of rows of numbers"
        if not _listlike(value):
            return None, f"parameter '{key}' must be {what}, got {_show(value)}"
        rows = []
        for row in list(value)[: MAX_LIST + 1]:
            row_values, problem = _numbers(key, row, what)
            if row_values is None:
                return None, problem
            rows.append(row_values)
        if len(rows) > MAX_LIST:
            return None, f"parameter '{key}' has more than {MAX_LIST} rows"
        if rows and (not rows[0] or any(len(row) != len(rows[0]) for row in rows)):
            return None, f"parameter '{key}': every row needs the same number (1 or more) of gains"
        return rows, None
    wrong = _value_problem(key, value, param.integer)
    if wrong is not None:
        # A whole number past 32 bits is judged by the key's own range, which names its
        # bounds: a step's key may reach further (a noise file's offset, in its frames).
        if param.integer and not isinstance(value, bool) and isinstance(value, numbers.Integral):
            whole = int(value)
            outside = _in_range(param, whole)
            return (None, outside) if outside else (whole, None)
        return None, wrong
    number = int(value) if param.integer else float(value)
    return number, _in_range(param, number)


def effect_info(where: str, effect_type: Any) -> EffectInfo:
    """The catalogue entry of an effect type; :class:`ChainError` naming ``where`` when the
    type is no string or no known type (with a did-you-mean hint)."""
    if not isinstance(effect_type, str):
        raise ChainError(f'{where}: "type" must be a string, got {_show(effect_type)}')
    info = EFFECTS.get(effect_type)
    if info is None:
        raise ChainError(
            f"{where}: unknown effect type {quoted(effect_type)}{suggest(effect_type, EFFECTS)}"
        )
    return info


def _check_spec(item: Any, index: int, source: str) -> dict[str, Any]:
    if type(item) is dict or isinstance(item, Mapping):
        spec = dict(item)
    else:
        try:
            pairs = list(item)
            spec = dict(pairs)
        except (TypeError, ValueError):
            raise ChainError(
                f'{source}: effect {index}: expected an object with a "type", got {_show(item)}'
            ) from None
        if len(spec) != len(pairs):
            # As in a JSON object: [["db", 1], ["db", 30]] had run at the last one's 30 dB.
            seen: set[Any] = set()
            for key, _ in pairs:
                if key in seen:
                    raise ChainError(
                        f"{source}: effect {index}: the key {_show(key)} appears twice"
                    )
                seen.add(key)
    effect_type = spec.get("type")
    info = EFFECTS.get(effect_type) if type(effect_type) is str else None
    if info is None:
        if "type" not in spec:
            raise ChainError(f'{source}: effect {index} has no "type"')
        info = effect_info(f"{source}: effect {index}", effect_type)
    params = info.by_key
    for key, value in spec.items():
        if key == "type":
            continue
        param = params.get(key) if isinstance(key, str) else None
        if param is None:
            problem: str | None = _key_problem(info, key)
        elif info.step:
            spec[key], problem = step_value(param, value)
        elif (
            type(value) is float
            and not param.integer
            and -_FLOAT32_MAX <= value <= _FLOAT32_MAX
            and param.overflow is None
        ):
            continue  # the common case, without a call
        else:
            problem = _value_problem(key, value, param.integer) or overflow_problem(param, value)
            if problem is None and type(value) not in (int, float):
                # A NumPy number (or a Fraction) is held as the plain number the engine reads
                # from it, so that the chain writes out as JSON (a run's digest, a record).
                spec[key] = int(value) if isinstance(value, numbers.Integral) else float(value)
        if problem is not None:
            raise ChainError(f"{source}: effect {index} ('{info.type}'): {problem}")
    spec["type"] = info.type
    return spec if next(iter(spec)) == "type" else {"type": info.type, **spec}


def _key_problem(info: EffectInfo, key: Any) -> str:
    if not isinstance(key, str):
        return f"parameter names must be strings, got {_show(key)}"
    known = ", ".join(info.keys) or "none"
    return f"unknown parameter {quoted(key)}{suggest(key, info.by_key)}; known: {known}"


def validate_chain(items: Iterable[EffectSpec], source: str = "chain") -> Chain:
    """Checks a chain against the catalogue and returns it as a new list of plain dicts.

    Every spec needs a known "type"; every other key must be one of that type's parameters
    and hold a number (a whole number for the integer keys, such as "stages" or "bits"), or
    for a step's key what it takes (a name, a list, a matrix) within its range. ``source``
    names the chain in messages. Raises :class:`ChainError` naming the first effect, key or
    value at fault.
    """
    if type(items) is not list and (
        isinstance(items, (str, bytes, Mapping)) or not isinstance(items, Iterable)
    ):
        raise ChainError(f"{source}: a chain must be a list of effect specs, got {_show(items)}")
    return [_check_spec(item, index, source) for index, item in enumerate(items, start=1)]


# The keys of a chain file's object.
_CHAIN_FILE_KEYS = ("chain", "description")


def parse_chain_text(text: str, source: str) -> tuple[Chain, str]:
    """Parses the JSON text of a chain file into a checked chain and its description.

    The text holds a list of specs, an object with a "chain" list and an optional
    "description" string, or a single effect object (with a "type"). Malformed JSON fails
    with its line and column.
    """
    try:
        data = parse_json(text, source, unique=True)
    except JSONProblem as problem:
        raise ChainError(str(problem)) from None
    description = ""
    if isinstance(data, dict) and "chain" not in data and "type" in data:
        data = [data]  # a file holding one effect
    if isinstance(data, dict):
        if "chain" not in data:
            raise ChainError(
                f"{source}: expected a list of effects, one effect object with "
                f'a "type", or an object with a "chain" list'
            )
        unknown = [key for key in data if key not in _CHAIN_FILE_KEYS]
        if unknown:
            # They were dropped without a word: an effect's keys beside "chain", or a
            # misspelt "description".
            hint = suggest(str(unknown[0]), _CHAIN_FILE_KEYS)
            raise ChainError(
                f"{source}: unknown key {_show(unknown[0])}{hint}; a chain object holds "
                '"chain" and "description"'
            )
        description = data.get("description", "")
        if not isinstance(description, str):
            raise ChainError(f'{source}: "description" must be a string')
        data = data["chain"]
    if not isinstance(data, list):
        raise ChainError(f"{source}: a chain must be a list of effect specs, got {_show(data)}")
    return validate_chain(data, source), description


_CHAIN_TEXT_LIMIT = 256 << 20


def read_chain_text(path: str | os.PathLike[str], what: str = "chain file") -> str:
    """The text of a JSON file of chains (``what`` names its kind in messages). Raises
    :class:`ChainError` naming the file when it is missing, a folder or not text."""
    name = shown(path)
    if not fs_name(path):
        # Path("") is the current folder.
        raise ChainError(f"{name}: no such {what}")
    try:
        if stat.S_ISCHR(os.stat(fs_name(path)).st_mode):
            # /dev/zero was read until memory ran out.
            raise ChainError(f"{name}: is a device, not a {what}")
        with open(fs_name(path), "rb") as file:
            # A pipe (--chain <(yes)) was read until memory ran out: no chain file comes
            # near this size, even with responses written out in it as arrays. A file's
            # size is known before it is read.
            too_large = os.fstat(file.fileno()).st_size > _CHAIN_TEXT_LIMIT
            data = b"" if too_large else file.read(_CHAIN_TEXT_LIMIT + 1)
        if too_large or len(data) > _CHAIN_TEXT_LIMIT:
            raise ChainError(f"{name}: larger than {_CHAIN_TEXT_LIMIT >> 20} MiB; not a {what}")
        # A byte-order mark before the JSON (Windows' Notepad writes one) is no part of it;
        # one of UTF-16 (PowerShell's redirection writes such files) says how to read it.
        if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
            return data.decode("utf-16")
        return data.decode("utf-8-sig")
    except ChainError:
        raise
    except FileNotFoundError:
        raise ChainError(f"{name}: no such {what}") from None
    except IsADirectoryError:
        raise ChainError(f"{name}: is a directory, not a {what}") from None
    except UnicodeDecodeError:
        raise ChainError(f"{name}: not a text file (UTF-8, or UTF-16 with its mark)") from None
    except OSError as error:
        raise ChainError(f"{name}: cannot read {what}: {error.strerror}") from None
    except (ValueError, UnicodeEncodeError):  # a NUL, or a character no file name holds
        raise ChainError(f"{name}: no file can have that name") from None


def load_chain_file(path: str | os.PathLike[str]) -> Chain:
    """Reads and checks a JSON chain file. Raises :class:`ChainError` naming the file."""
    return parse_chain_text(read_chain_text(path), shown(path))[0]


@functools.cache
def _presets() -> dict[str, tuple[Chain, str]]:
    """Every shipped preset's checked chain and description, read once: they ship with the
    package and do not change, and a preset named in a loop of calls was read and checked
    again each time (256 us a call, against 64 us for its chain as a list)."""
    folder = resources.files("kavri") / "presets"
    return {
        entry.name[:-5]: parse_chain_text(
            entry.read_text(encoding="utf-8"), f"preset {entry.name[:-5]}"
        )
        for entry in folder.iterdir()
        if entry.name.endswith(".json")
    }


def list_presets() -> dict[str, str]:
    """The shipped presets by name, each with its one-line description."""
    return {name: kept[1] for name, kept in sorted(_presets().items())}


def load_preset(name: str) -> Chain:
    """The chain of a shipped preset (a copy of its own). Raises :class:`ChainError` for an
    unknown name."""
    if not isinstance(name, str):
        raise TypeError(f"a preset is named by text, got {name!r}")  # None: "no len()"
    presets = _presets()
    kept = presets.get(name)
    if kept is None:
        raise ChainError(
            f"unknown preset {quoted(name)}{suggest(name, presets)}; "
            f"presets: {', '.join(sorted(presets))}"
        )
    return copy.deepcopy(kept[0])


def load_chain(chain: ChainLike) -> Chain:
    """Turns any chain the API accepts into a checked list of spec dicts.

    ``chain`` is a list of effect specs, a path to a JSON chain file (``bytes`` too), or
    the name of a shipped preset. A string that names a preset is the preset; any other
    string or path is a chain file.
    """
    if type(chain) is list:
        return validate_chain(chain)
    if isinstance(chain, os.PathLike | bytes):
        # A path as bytes, as every file argument takes one (a name that is not UTF-8).
        return load_chain_file(os.fsdecode(chain) if isinstance(chain, bytes) else chain)
    if isinstance(chain, str):
        if chain in _presets():
            return load_preset(chain)
        path = Path(chain)
        if os.sep not in chain and not path.suffix and not os.path.exists(chain):
            return load_preset(chain)  # a bare word: reported as an unknown preset
        return load_chain_file(path)
    return validate_chain(chain)


# A number as written in a command line: ASCII digits, without the underscores and other
# scripts' digits Python's int() and float() also take (db=1_0 was +10 dB, db=３ was 3).
_DECIMAL = re.compile(
    r"\s*[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:e[+-]?\d+)?|inf|infinity|nan)\s*", re.ASCII | re.I
)
_WHOLE = re.compile(r"\s*[+-]?\d+\s*", re.ASCII)


def plain_number(text: str, integer: bool = False) -> bool:
    """Whether a command line's text is a number written plainly, in ASCII digits."""
    return (_WHOLE if integer else _DECIMAL).fullmatch(text) is not None


def _parse_number(text: str, integer: bool, where: str, key: str) -> int | float:
    shown_text = cut_short(shown(text), 40)
    try:
        if not plain_number(text, integer):
            raise ValueError(text)
        number = int(text, 10) if integer else float(text)
    except ValueError:
        kind = "a whole number" if integer else "a number"
        raise ChainError(f"{where}: parameter '{key}' must be {kind}, got '{shown_text}'") from None
    if (
        isinstance(number, float)
        and math.isinf(number)
        and text.strip().lstrip("+-").lower() not in ("inf", "infinity")
    ):
        raise ChainError(f"{where}: parameter '{key}' = {too_large(shown_text)}")
    return number


def parse_effect_option(text: str) -> dict[str, Any]:
    """Parses the command line's ``TYPE[:key=value,...]`` form into a checked spec."""
    where = f"--effect {quoted(text)}"
    effect_type, _, body = text.partition(":")
    effect_type = effect_type.strip()
    info = EFFECTS.get(effect_type)
    if info is None:
        raise ChainError(
            f"{where}: unknown effect type {quoted(effect_type)}{suggest(effect_type, EFFECTS)}"
        )
    spec: dict[str, Any] = {"type": effect_type}
    for part in filter(None, (p.strip() for p in _split_outside_brackets(body))):
        key, equals, value = part.partition("=")
        key = key.strip()
        if not equals:
            raise ChainError(f"{where}: expected key=value, got {quoted(part)}")
        try:
            param = info.param(key)
        except KeyError:
            raise ChainError(
                f"{where}: unknown parameter {quoted(key)}{suggest(key, info.keys)}; "
                f"known: {', '.join(info.keys) or 'none'}"
            ) from None
        if key in spec:  # the last had won without a word
            raise ChainError(f"{where}: parameter '{key}' is given twice")
        text = value.strip()
        if param.kind in ("choice", "text", "audio"):
            spec[key] = text
        elif param.kind in ("list", "matrix"):
            try:
                # Bounded in depth: 5,000 brackets had ended in a RecursionError traceback.
                spec[key] = parse_json(text, f"{where}: parameter '{key}'")
            except JSONProblem as problem:
                if "nested more than" in str(problem):
                    raise ChainError(str(problem)) from None
                shape = "[1, 0.5]" if param.kind == "list" else "[[1, 0], [0, 1]]"
                raise ChainError(
                    f"{where}: parameter '{key}' must be written as JSON, such as {shape}; "
                    f"got {quoted(text)}"
                ) from None
        else:
            spec[key] = _parse_number(text, param.integer, where, key)
    return validate_chain([spec], where)[0]


def _split_outside_brackets(text: str) -> list[str]:
    """``text`` split at the commas that lie outside square brackets, so that a list or a
    matrix ("matrix=[[0,1],[1,0]]") stays one value."""
    parts, depth, start = [], 0, 0
    for index, char in enumerate(text):
        if char == "[":
            depth += 1
        elif char == "]":
            depth = max(0, depth - 1)
        elif char == "," and depth == 0:
            parts.append(text[start:index])
            start = index + 1
    parts.append(text[start:])
    return parts


def chain_summary(chain: Chain) -> str:
    """The chain as 'type -> type -> ...' for messages and tables."""
    return " -> ".join(spec["type"] for spec in chain) if chain else "(empty chain)"
