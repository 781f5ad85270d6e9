"""Data augmentation: random effect chains drawn from a seed, over arrays and over files.

A random chain is described in JSON: a list of items (or an object with a "chain" list and
an optional "description"), each one of

- an effect spec whose values may be numbers or distributions: ``{"uniform": [lo, hi]}``,
  ``{"log_uniform": [lo, hi]}`` (lo > 0) or ``{"choice": [v1, v2, ...]}``; integer keys
  ("stages") draw whole numbers;
- ``{"one_of": [item, ...], "weights": [w, ...]}``: exactly one of the items, uniformly
  unless weighted;
- ``{"some_of": [item, ...], "count": [lo, hi]}``: between lo and hi of the items, kept in
  the order listed.

Any item may carry "p", the probability that it is applied at all (default 1).

:class:`RandomChain` checks a description once and then turns (seed, index) into a concrete
chain. The draws come from a counter-based generator keyed on the pair, so the chain is the
same in any thread, process or machine and needs no global random state.

How a chain is drawn (the order is part of the format: a change alters every augmentation
made with it, so it is fixed and checked by the tests):

1. The generator is Philox-4x64-10 (``numpy.random.Philox``) with the 128-bit key
   (seed, index), the counter starting at 0. Each draw takes the next 64-bit word w of
   ``random_raw()`` and makes u = (w >> 11) / 2**53, uniform in [0, 1).
2. The items are visited in the order listed, depth first. An item with a "p" draws one u
   and is skipped, with nothing inside it drawn, unless u < p; an item without "p" draws
   nothing for it.
3. An effect draws one u per distribution-valued key, in the order the keys are written:
   uniform gives lo + (hi - lo) u; log_uniform gives exp(ln lo + (ln hi - ln lo) u);
   choice gives value number floor(n u). For integer keys, uniform gives
   lo + floor((hi - lo + 1) u) and log_uniform floor(exp(ln lo + (ln(hi + 1) - ln lo) u)),
   both held within [lo, hi]. Plain numbers draw nothing.
4. one_of draws one u and takes the first item whose running weight total exceeds
   u times the sum of the weights, then visits that item.
5. some_of draws one u for the count, lo + floor((hi - lo + 1) u). It then walks its
   items in order while fewer than count are chosen, drawing one u per item and choosing
   it if u times the number of items not yet walked is below the number still needed.
   The chosen items are then visited in order.
"""

from __future__ import annotations

import hashlib
import json
import math
import numbers
import operator
import os
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

from ._atomic import atomic_output
from ._kavri_core import process_pipeline
from ._paths import fs_name, shown
from .batch import BatchReport, FileResult, Task, check_run_options, plan_outputs, run_tasks
from .catalogue import suggest
from .chain import Chain, _show, _show_number, effect_info, read_chain_text
from .errors import ChainError, KavriError
from .streamfile import StopRequest

__all__ = [
    "RandomChain",
    "RandomChainLike",
    "augment",
    "augment_files",
    "variant_index",
    "variant_output",
    "read_manifest",
    "MANIFEST_NAME",
]

MANIFEST_NAME = "augment.jsonl"

RandomChainLike: TypeAlias = ("RandomChain | Mapping[str, Any] | Sequence[Any] | str"
                              " | os.PathLike[str]")

_KEY_LIMIT = 2**64
_INT32 = (-(2**31), 2**31 - 1)
_DISTRIBUTIONS = ("uniform", "log_uniform", "choice")
_GROUP_KEYS = {"one_of": ("one_of", "weights", "p"), "some_of": ("some_of", "count", "p")}
_TOP_KEYS = ("chain", "description")
_UNIT = 1.0 / 9007199254740992.0  # 2**-53


# ---------------------------------------------------------------------------------------
# The checked form of a description: small immutable nodes, picklable and comparable.


@dataclass(frozen=True)
class _Dist:
    kind: str
    values: tuple[float | int, ...]
    integer: bool

    def draw(self, u: float) -> float | int:
        values = self.values
        if self.kind == "choice":
            return values[min(math.floor(u * len(values)), len(values) - 1)]
        lo, hi = values
        if self.integer:
            if self.kind == "uniform":
                value = lo + math.floor(u * (hi - lo + 1))
            else:
                low = math.log(lo)
                value = math.floor(math.exp(low + (math.log(hi + 1) - low) * u))
            return int(min(max(value, lo), hi))
        if self.kind == "uniform":
            value = lo + (hi - lo) * u
        else:
            low = math.log(lo)
            value = math.exp(low + (math.log(hi) - low) * u)
        return float(min(max(value, lo), hi))

    def plain(self) -> dict[str, list[float | int]]:
        return {self.kind: list(self.values)}


@dataclass(frozen=True)
class _Effect:
    type: str
    params: tuple[tuple[str, float | int | _Dist], ...]
    p: float | None

    def plain(self) -> dict[str, Any]:
        out: dict[str, Any] = {"type": self.type}
        for key, value in self.params:
            out[key] = value.plain() if isinstance(value, _Dist) else value
        if self.p is not None:
            out["p"] = self.p
        return out


@dataclass(frozen=True)
class _OneOf:
    items: tuple[_Node, ...]
    weights: tuple[float, ...] | None
    p: float | None

    def plain(self) -> dict[str, Any]:
        out: dict[str, Any] = {"one_of": [item.plain() for item in self.items]}
        if self.weights is not None:
            out["weights"] = list(self.weights)
        if self.p is not None:
            out["p"] = self.p
        return out


@dataclass(frozen=True)
class _SomeOf:
    items: tuple[_Node, ...]
    count: tuple[int, int]
    p: float | None

    def plain(self) -> dict[str, Any]:
        out: dict[str, Any] = {"some_of": [item.plain() for item in self.items],
                               "count": list(self.count)}
        if self.p is not None:
            out["p"] = self.p
        return out


_Node: TypeAlias = "_Effect | _OneOf | _SomeOf"


# ---------------------------------------------------------------------------------------
# Checking a description.


def _number(value: Any, integer: bool) -> tuple[float | int | None, str]:
    """The value as a plain Python number, or None and what is wrong with it."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return None, f"must be {'a whole number' if integer else 'a number'}, got {_show(value)}"
    if not isinstance(value, numbers.Integral):
        try:
            finite = math.isfinite(value)
        except OverflowError:
            finite = False
        if not finite:
            return None, f"must be finite, got {_show(value)}"
    elif not integer and abs(int(value)) > 2**1023:
        return None, f"{_show_number(value)} is out of range"
    if integer:
        if not isinstance(value, numbers.Integral):
            return None, f"must be a whole number, got {_show(value)}"
        if not _INT32[0] <= int(value) <= _INT32[1]:
            return None, f"{_show_number(value)} is out of range"
        return int(value), ""
    return (int(value) if isinstance(value, numbers.Integral) else float(value)), ""


def _check_keys(where: str, item: Mapping[Any, Any], allowed: Sequence[str], what: str) -> None:
    for key in item:
        if not isinstance(key, str):
            raise ChainError(f"{where}: keys must be strings, got {_show(key)}")
        if key not in allowed:
            raise ChainError(f"{where}: unknown key '{key}' in {what}{suggest(key, allowed)}; "
                             f"known: {', '.join(allowed)}")


def _check_p(where: str, item: Mapping[str, Any]) -> float | None:
    if "p" not in item:
        return None
    value, problem = _number(item["p"], False)
    if value is None:
        raise ChainError(f"{where}: \"p\" {problem}")
    if not 0.0 <= value <= 1.0:
        raise ChainError(f"{where}: \"p\" must be within [0, 1], got {_show(item['p'])}")
    return float(value)


def _item_list(where: str, item: Mapping[str, Any], key: str) -> list[Any]:
    items = item[key]
    if not isinstance(items, (list, tuple)) or not items:
        raise ChainError(f"{where}: \"{key}\" must be a non-empty list of items, "
                         f"got {_show(items)}")
    return list(items)


def _check_dist(where: str, spec: Mapping[Any, Any], integer: bool) -> _Dist:
    if len(spec) != 1:
        raise ChainError(f"{where}: a distribution is an object with one key, "
                         f"{', '.join(_DISTRIBUTIONS)}; got {_show(spec)}")
    kind, body = next(iter(spec.items()))
    if kind not in _DISTRIBUTIONS:
        raise ChainError(f"{where}: unknown distribution '{kind}'"
                         f"{suggest(str(kind), _DISTRIBUTIONS)}; "
                         f"use {', '.join(_DISTRIBUTIONS)}")
    if not isinstance(body, (list, tuple)) or not body or (kind != "choice" and len(body) != 2):
        shape = "a non-empty list of values" if kind == "choice" else "a list [lo, hi]"
        raise ChainError(f"{where}: {kind} needs {shape}, got {_show(body)}")
    values = []
    for raw in body:
        value, problem = _number(raw, integer)
        if value is None:
            raise ChainError(f"{where}: {kind}: {problem}")
        values.append(value)
    if kind != "choice":
        lo, hi = values
        if lo > hi:
            raise ChainError(f"{where}: {kind} range {_show(body)} is reversed")
        if lo == hi:
            raise ChainError(f"{where}: {kind} range {_show(body)} is empty; "
                             f"write the number itself for a fixed value")
        if kind == "log_uniform" and lo <= 0:
            raise ChainError(f"{where}: log_uniform range {_show(body)} reaches 0; "
                             f"its low end must be above 0")
    return _Dist(kind, tuple(values), integer)


def _check_effect(where: str, item: Mapping[Any, Any]) -> _Effect:
    info = effect_info(where, item["type"])
    effect_type = info.type
    p = _check_p(f"{where}: \"{effect_type}\"", item)
    params: list[tuple[str, float | int | _Dist]] = []
    for key, raw in item.items():
        if key in ("type", "p"):
            continue
        if not isinstance(key, str):
            raise ChainError(f"{where}: \"{effect_type}\": parameter names must be strings, "
                             f"got {_show(key)}")
        try:
            param = info.param(key)
        except KeyError:
            raise ChainError(f"{where}: \"{effect_type}\": unknown parameter '{key}'"
                             f"{suggest(key, [*info.keys, 'p'])}; "
                             f"known: {', '.join(info.keys) or 'none'}, p") from None
        place = f"{where}: \"{effect_type}\": \"{key}\""
        if isinstance(raw, Mapping):
            params.append((key, _check_dist(place, raw, param.integer)))
            continue
        value, problem = _number(raw, param.integer)
        if value is None:
            raise ChainError(f"{place}: {problem}")
        params.append((key, value))
    return _Effect(effect_type, tuple(params), p)


def _check_item(where: str, item: Any) -> _Node:
    if not isinstance(item, Mapping):
        raise ChainError(f"{where}: expected an effect spec or a \"one_of\" or \"some_of\" "
                         f"object, got {_show(item)}")
    groups = [key for key in _GROUP_KEYS if key in item]
    if len(groups) > 1:
        raise ChainError(f"{where}: an item holds \"one_of\" or \"some_of\", not both")
    if not groups:
        if "type" not in item:
            raise ChainError(f"{where}: needs a \"type\", a \"one_of\" or a \"some_of\"")
        return _check_effect(where, item)
    group = groups[0]
    _check_keys(where, item, _GROUP_KEYS[group], group)
    p = _check_p(where, item)
    items = tuple(_check_item(f"{where}.{group}[{i}]", sub)
                  for i, sub in enumerate(_item_list(where, item, group)))
    if group == "one_of":
        weights = None
        if "weights" in item:
            raw = item["weights"]
            if not isinstance(raw, (list, tuple)) or len(raw) != len(items):
                raise ChainError(f"{where}: \"weights\" must be a list of {len(items)} numbers, "
                                 f"one per item; got {_show(raw)}")
            checked = []
            for w in raw:
                value, problem = _number(w, False)
                if value is None:
                    raise ChainError(f"{where}: \"weights\": {problem}")
                if value < 0:
                    raise ChainError(f"{where}: \"weights\" must not be negative, got {_show(w)}")
                checked.append(float(value))
            if sum(checked) <= 0:
                raise ChainError(f"{where}: \"weights\" add up to 0")
            weights = tuple(checked)
        return _OneOf(items, weights, p)
    if "count" not in item:
        raise ChainError(f"{where}: \"some_of\" needs a \"count\": [lo, hi]")
    raw = item["count"]
    if not isinstance(raw, (list, tuple)) or len(raw) != 2:
        raise ChainError(f"{where}: \"count\" must be a list [lo, hi], got {_show(raw)}")
    bounds = []
    for c in raw:
        value, problem = _number(c, True)
        if value is None:
            raise ChainError(f"{where}: \"count\": {problem}")
        bounds.append(int(value))
    lo, hi = bounds
    if lo > hi:
        raise ChainError(f"{where}: \"count\" {_show(raw)} is reversed")
    if lo < 0:
        raise ChainError(f"{where}: \"count\" {_show(raw)} is below 0")
    if hi > len(items):
        raise ChainError(f"{where}: \"count\" {_show(raw)} is beyond the {len(items)} "
                         f"item{'s' if len(items) != 1 else ''} listed")
    return _SomeOf(items, (lo, hi), p)


def _load_description(description: Any) -> tuple[tuple[_Node, ...], str]:
    prefix = ""
    if isinstance(description, (str, os.PathLike)):
        name = shown(description)
        text = read_chain_text(description, "random chain file")
        try:
            description = json.loads(text)
        except json.JSONDecodeError as error:
            raise ChainError(f"{name}:{error.lineno}:{error.colno}: malformed JSON: "
                             f"{error.msg}") from None
        prefix = f"{name}: "
    text = ""
    if isinstance(description, Mapping):
        _check_keys(prefix.rstrip(": ") or "random chain", description, _TOP_KEYS,
                    "a random chain")
        if "chain" not in description:
            raise ChainError(f"{prefix}expected a list of items or an object with a "
                             f"\"chain\" list")
        text = description.get("description", "")
        if not isinstance(text, str):
            raise ChainError(f"{prefix}\"description\" must be a string")
        description = description["chain"]
    if isinstance(description, (str, bytes)) or not isinstance(description, Iterable):
        raise ChainError(f"{prefix}a random chain must be a list of items, "
                         f"got {_show(description)}")
    nodes = tuple(_check_item(f"{prefix}chain[{i}]", item)
                  for i, item in enumerate(description))
    return nodes, text


# ---------------------------------------------------------------------------------------
# Drawing.


def _key_word(name: str, value: Any) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a whole number, got {value!r}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number, got {value!r}") from None
    if not 0 <= number < _KEY_LIMIT:
        raise ValueError(f"{name} must be within [0, 2**64), got {_show_number(number)}")
    return number


_THREAD = threading.local()
_CHUNK = 16


class _Draws:
    """Uniform numbers in [0, 1) from Philox-4x64 keyed on (seed, index), counter from 0.

    Each thread keeps one Philox object and sets its state for every chain: making a new
    one would also gather fresh entropy for a seed it never uses. Words are taken in chunks;
    unused words change nothing, since each draw takes the next word of the stream.
    """

    __slots__ = ("_bits", "_words", "_next")

    def __init__(self, seed: int, index: int) -> None:
        bits = getattr(_THREAD, "philox", None)
        if bits is None:
            bits = _THREAD.philox = np.random.Philox(key=np.zeros(2, np.uint64))
        bits.state = {
            "bit_generator": "Philox",
            "state": {"counter": np.zeros(4, np.uint64),
                      "key": np.array([seed, index], dtype=np.uint64)},
            "buffer": np.zeros(4, np.uint64), "buffer_pos": 4, "has_uint32": 0, "uinteger": 0,
        }
        self._bits = bits
        self._words: list[int] = []
        self._next = 0

    def __call__(self) -> float:
        if self._next == len(self._words):
            self._words = self._bits.random_raw(_CHUNK).tolist()
            self._next = 0
        word = self._words[self._next]
        self._next += 1
        return (word >> 11) * _UNIT


def _visit(node: _Node, draw: _Draws, out: list[dict[str, Any]]) -> None:
    if node.p is not None and not draw() < node.p:
        return
    if isinstance(node, _Effect):
        spec: dict[str, Any] = {"type": node.type}
        for key, value in node.params:
            spec[key] = value.draw(draw()) if isinstance(value, _Dist) else value
        out.append(spec)
    elif isinstance(node, _OneOf):
        weights = node.weights or (1.0,) * len(node.items)
        target = draw() * math.fsum(weights)
        running = 0.0
        # Should rounding leave the target above the running total, the last item that
        # has any weight is taken.
        chosen = max(i for i, weight in enumerate(weights) if weight > 0)
        for i, weight in enumerate(weights):
            running += weight
            if target < running:
                chosen = i
                break
        _visit(node.items[chosen], draw, out)
    else:
        lo, hi = node.count
        count = min(lo + math.floor(draw() * (hi - lo + 1)), hi)
        total = len(node.items)
        picked: list[_Node] = []
        for i, item in enumerate(node.items):
            if len(picked) == count:
                break
            if draw() * (total - i) < count - len(picked):
                picked.append(item)
        for item in picked:
            _visit(item, draw, out)


class RandomChain:
    """A checked random chain description that draws concrete chains from a seed.

    ``description`` is a dict (with a "chain" list), a list of items, or the path of a
    JSON file holding either. Everything is checked here against the effect catalogue;
    a fault raises :class:`kavri.ChainError` naming its place, e.g.
    ``chain[2].one_of[1]: "gain": "db": uniform range [3, 1] is reversed``.

    Instances hold no random state and no open files: they pickle, and they can be shared
    by threads, processes and Dask workers.
    """

    __slots__ = ("_items", "_text")
    _items: tuple[_Node, ...]
    _text: str

    def __init__(self, description: RandomChainLike) -> None:
        if isinstance(description, RandomChain):
            self._items, self._text = description._items, description._text
        else:
            self._items, self._text = _load_description(description)

    def __getstate__(self) -> tuple[tuple[_Node, ...], str]:
        return self._items, self._text

    def __setstate__(self, state: tuple[tuple[_Node, ...], str]) -> None:
        self._items, self._text = state

    @property
    def description(self) -> dict[str, Any]:
        """The checked description as plain JSON-ready data."""
        out: dict[str, Any] = {"chain": [item.plain() for item in self._items]}
        if self._text:
            out["description"] = self._text
        return out

    def sample(self, seed: int, index: int = 0) -> Chain:
        """The concrete chain for (seed, index): a list of plain spec dicts of Python
        numbers, ready for :func:`kavri.process`. Both are whole numbers in [0, 2**64).

        A pure function of the description, the seed and the index: the same arguments
        give the same chain everywhere, and each index its own independent draw.
        """
        draw = _Draws(_key_word("seed", seed), _key_word("index", index))
        out: Chain = []
        for item in self._items:
            _visit(item, draw, out)
        return out

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, RandomChain):
            return NotImplemented
        return bool(self._items == other._items and self._text == other._text)

    def __hash__(self) -> int:
        return hash(self._items)

    def __repr__(self) -> str:
        return f"RandomChain({json.dumps(self.description)})"


def augment(audio: npt.ArrayLike, sample_rate: int, random_chain: RandomChainLike, *,
            seed: int, index: int = 0, block_size: int = 2048,
            workers: int = 1) -> tuple[npt.NDArray[np.float32], Chain]:
    """Draws the chain for (seed, index) and runs it over the audio.

    Returns the augmented float32 audio, in the shape it came in (a 1-D mono signal
    stays 1-D), and the concrete chain that ran; ``kavri.process(audio, sample_rate,
    chain)`` gives the same bits. ``random_chain`` is a :class:`RandomChain` or anything
    it accepts.
    """
    chain = RandomChain(random_chain).sample(seed, index)
    try:
        rate = operator.index(sample_rate)
    except TypeError:
        raise TypeError(f"sample_rate must be a whole number of hertz, "
                        f"got {sample_rate!r}") from None
    # The drawn chain is valid by construction, so it goes to the engine unchecked.
    specs: list[Any] = chain
    data = np.asarray(audio)
    if data.ndim == 1:
        out = process_pipeline(data[:, np.newaxis], rate, specs, block_size=block_size,
                               workers=workers)[:, 0]
    elif data.ndim == 2:
        out = process_pipeline(data, rate, specs, block_size=block_size, workers=workers)
    else:
        raise ValueError(f"audio must be (frames, channels) or 1-D, got shape {data.shape}")
    return out, chain


# ---------------------------------------------------------------------------------------
# Files.


def variant_index(relative_path: str, variant: int) -> int:
    """The draw index of one variant of one file: a stable 64-bit hash of the file's POSIX
    path relative to the input folder and the variant number. It depends on nothing else,
    so adding or removing files changes no other file's augmentation."""
    # A name that is not UTF-8 is hashed as the bytes the file system holds.
    text = f"{relative_path}\n{variant}".encode("utf-8", "surrogateescape")
    digest = hashlib.blake2b(text, digest_size=8, person=b"kavri-augment").digest()
    return int.from_bytes(digest, "little")


def variant_output(relative_path: str, variant: int) -> str:
    """The output name of a variant: ``take.wav`` becomes ``take.v0.wav``."""
    path = Path(relative_path)
    return path.with_name(f"{path.stem}.v{variant}{path.suffix}").as_posix()


def read_manifest(path: str | os.PathLike[str]) -> list[dict[str, Any]]:
    """The records of an augment manifest (a missing file has none). Lines that are not
    records are left out."""
    try:
        text = Path(fs_name(path)).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError):
        return []
    records = []
    for line in text.splitlines():
        try:
            record = json.loads(line)
        except json.JSONDecodeError:
            continue
        if isinstance(record, dict) and isinstance(record.get("output"), str):
            records.append(record)
    return records


def _write_manifest(path: Path, records: Iterable[dict[str, Any]]) -> None:
    lines = [json.dumps(r, allow_nan=False) + "\n"
             for r in sorted(records, key=lambda r: r["output"])]
    try:
        with atomic_output(str(path)) as temporary:
            with open(temporary, "w", encoding="utf-8") as handle:
                handle.writelines(lines)
    except OSError as error:
        raise KavriError(f"{shown(path)}: cannot write: {error.strerror or error}") from None


def augment_files(files: Iterable[str | os.PathLike[str]], random_chain: RandomChainLike,
                  out_dir: str | os.PathLike[str], *, variants: int, seed: int,
                  base_dir: str | os.PathLike[str], executor: Executor | None = None,
                  jobs: int | None = None, block_size: int = 2048, workers: int = 1,
                  subtype: str | None = None, force: bool = False, tail: float = 0.0,
                  on_result: Callable[[FileResult], None] | None = None,
                  on_progress: Callable[[int, int], None] | None = None,
                  stop: StopRequest | None = None) -> BatchReport:
    """Writes ``variants`` augmented copies of every file under ``out_dir``.

    Outputs mirror the inputs' tree below ``base_dir``, the root of the corpus, with the
    variant in the name (``take.v0.wav``, ``take.v1.wav``); a file outside it keeps only
    its name. Each output's chain is drawn with ``seed`` and :func:`variant_index` of the
    file's path relative to ``base_dir`` and the variant, so its samples depend on nothing
    else: not on the other files, the executor or the number of jobs. (``base_dir`` has no
    default for that reason: the common folder of the files would move as files come and
    go.)

    The files run as a :func:`kavri.batch` does, one task per output with its own chain:
    streamed with ``tail`` seconds of silence after each, on ``executor`` (a local pool of
    ``jobs`` threads by default, or any ``concurrent.futures.Executor`` such as a Dask
    cluster's), with the same refusal to write over an input, the same ``on_result``,
    ``on_progress`` and ``stop`` (:class:`kavri.BatchInterrupted`), and the same record
    of finished outputs: a rerun skips an output made from the same input bytes with the
    same drawn chain and settings, and unchanged since, unless ``force``. A new seed draws
    new chains, so its outputs are redone.

    ``out_dir/augment.jsonl`` gets one record per output written or kept: "source" and
    "output" (relative to the input and output folders), "seed", "variant", "index",
    "chain", the concrete chain that ``kavri process`` replays, and "tail" when it is not
    0. It is rewritten atomically, sorted by output, also after a failure or an interrupt.
    The report lists the outputs in the order of the files, variants in turn.
    """
    chain = RandomChain(random_chain)
    seed = _key_word("seed", seed)
    count: object = variants  # checked as whatever the caller passed
    if isinstance(count, bool) or not isinstance(count, numbers.Integral) or int(count) < 1:
        raise ValueError(f"variants must be a whole number of at least 1, got {count!r}")
    tail = check_run_options(block_size, workers, subtype, tail)
    target = Path(fs_name(out_dir))
    manifest = target / MANIFEST_NAME
    sources = [fs_name(f) for f in files]
    tasks: list[Task] = []
    records: dict[str, dict[str, Any]] = {}
    for source, output in plan_outputs(sources, target, base_dir):
        relative = Path(output).relative_to(target).as_posix()
        for variant in range(int(variants)):
            index = variant_index(relative, variant)
            concrete = chain.sample(seed, index)
            name = variant_output(relative, variant)
            record: dict[str, Any] = {"source": relative, "output": name, "seed": seed,
                                      "variant": variant, "index": index, "chain": concrete}
            if tail:
                record["tail"] = tail
            path = str(target / name)
            records[path] = record
            tasks.append(Task(source, path, concrete))
    try:
        target.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise KavriError(f"{shown(target)}: cannot create folder: "
                         f"{error.strerror or error}") from None
    kept = {r["output"]: r for r in read_manifest(manifest)}

    def note(result: FileResult) -> None:
        if result.status in ("done", "skipped"):
            record = records[result.output]
            kept[record["output"]] = record
        if on_result is not None:
            on_result(result)

    def save() -> None:
        present = [r for r in kept.values() if (target / r["output"]).is_file()]
        if present or manifest.exists():
            _write_manifest(manifest, present)

    try:
        report = run_tasks(tasks, target, inputs=sources, base_dir=base_dir,
                           executor=executor, jobs=jobs, block_size=block_size,
                           workers=workers, subtype=subtype, force=force, tail=tail,
                           on_result=note, on_progress=on_progress, stop=stop)
    except BaseException:
        # What finished before a stop or an error is on disk; its chains are kept too. A
        # manifest that cannot be written must not hide why the run ended.
        try:
            save()
        except KavriError:
            pass
        raise
    save()
    return report
