"""Random effect chains: a description of chains to draw, and the draw from (seed, index).

A random chain is described in JSON: a list of items (or an object with a "chain" list and
an optional "description"), each one of

- an effect spec whose values may be numbers or distributions: ``{"uniform": [lo, hi]}``,
  ``{"log_uniform": [lo, hi]}`` (lo > 0) or ``{"choice": [v1, v2, ...]}``; integer keys
  ("stages", "rate_hz") draw whole numbers; a step's key that holds a name, a list or a
  matrix ("curve", "weights", "matrix") draws only from a choice, and a step's bounds and
  choices must lie within its key's range;
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
6. Noise items draw after their keys, and only what their keys leave open: a ``noise``
   without a "seed" draws one u for it, seed = floor(2**31 u); a ``background_noise`` whose
   "path" is a folder draws one u for the file, number floor(n u) of the n files its
   "pattern" matches there (sorted by name), and one without an "offset_frames" (or with
   -1) draws one u for the offset, floor(frames u) of the file's frames; a ``convolution``
   whose "ir" is a folder draws one u for the file, number floor(n u) of the n files its
   "pattern" matches there (sorted by name). The drawn chain holds what was drawn (the
   seed; the file's path and the offset), so that it replays without drawing. Descriptions
   without such items draw as they always have.

Limits: groups nest at most 8 deep (``MAX_NESTING``), one_of weights add up to at least
1.1754944e-38 and less than 3.4028235e38, and effect parameters, plain or as distribution
bounds, lie within single precision as the chain checker requires; so every accepted
description draws chains that pass the chain checker. Whether a drawn chain runs on a
given input is decided as for any chain: a pad drawn up to a day long may not fit in
memory, a channel count may not fit the input's, and those are refused when the chain is
run, naming the draw's effect.
"""

from __future__ import annotations

import json
import math
import numbers
import operator
import os
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, SupportsIndex, TypeAlias

import numpy as np

from . import _engine
from ._json import JSONProblem
from ._json import parse as parse_json
from ._paths import relative_glob, shown
from ._providers import listed_once
from ._providers import load as load_providers
from .catalogue import ENGINE_TYPES, NEEDED_KEYS, Param, counted, quoted, suggest
from .chain import (
    _FLOAT32_MAX,
    _INT32,
    Chain,
    _show,
    _show_number,
    effect_info,
    overflow_problem,
    read_chain_text,
    step_value,
    too_large,
)
from .errors import ChainError

__all__ = [
    "RandomChain",
    "RandomChainLike",
    "key_word",
    "keyed_draws",
    "MAX_NESTING",
    "register_resolver",
]

# one_of and some_of groups inside one another, counting the top level as 1: deeper than
# any real description, and shallow enough that every walk of one (checking, drawing,
# pickling) stays far from the interpreter's recursion limit.
MAX_NESTING = 8

RandomChainLike: TypeAlias = (
    "RandomChain | Mapping[str, Any] | Sequence[Any] | str | os.PathLike[str]"
)

_KEY_LIMIT = 2**64
_DISTRIBUTIONS = ("uniform", "log_uniform", "choice")
_GROUP_KEYS = {"one_of": ("one_of", "weights", "p"), "some_of": ("some_of", "count", "p")}
_TOP_KEYS = ("chain", "description")
_UNIT = 1.0 / 9007199254740992.0  # 2**-53
_FLOAT32_TINY = float(np.finfo(np.float32).tiny)  # the smallest normal single


# ---------------------------------------------------------------------------------------
# The checked form of a description: small immutable nodes, picklable and comparable.


def _freeze(value: Any) -> Any:
    """A value as the nodes hold it: lists (a step's list or matrix) as tuples, hashable."""
    if isinstance(value, list):
        return tuple(_freeze(item) for item in value)
    return value


def _thaw(value: Any) -> Any:
    """A held value as a chain holds it: tuples back to new lists."""
    if isinstance(value, tuple):
        return [_thaw(item) for item in value]
    return value


@dataclass(frozen=True)
class _Dist:
    kind: str
    values: tuple[Any, ...]
    integer: bool

    def draw(self, u: float) -> Any:
        values = self.values
        if self.kind == "choice":
            return _thaw(values[min(math.floor(u * len(values)), len(values) - 1)])
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

    def plain(self) -> dict[str, list[Any]]:
        return {self.kind: [_thaw(value) for value in self.values]}


@dataclass(frozen=True)
class _Effect:
    type: str
    params: tuple[tuple[str, Any], ...]
    p: float | None

    def plain(self) -> dict[str, Any]:
        out: dict[str, Any] = {"type": self.type}
        for key, value in self.params:
            out[key] = value.plain() if isinstance(value, _Dist) else _thaw(value)
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
        out: dict[str, Any] = {
            "some_of": [item.plain() for item in self.items],
            "count": list(self.count),
        }
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
            return None, f"{_show_number(value)} is out of range ({_INT32[0]} to {_INT32[1]})"
        return int(value), ""
    return (int(value) if isinstance(value, numbers.Integral) else float(value)), ""


def _parameter(value: Any, integer: bool) -> tuple[float | int | None, str]:
    """As :func:`_number`, for an effect parameter: within single precision, as the engine
    holds it, so that every value drawn between two accepted bounds is a usable one."""
    number, problem = _number(value, integer)
    if number is not None and not integer and abs(number) > _FLOAT32_MAX:
        return None, too_large(_show_number(value))
    return number, problem


def _check_keys(where: str, item: Mapping[Any, Any], allowed: Sequence[str], what: str) -> None:
    for key in item:
        if not isinstance(key, str):
            raise ChainError(f"{where}: keys must be strings, got {_show(key)}")
        if key not in allowed:
            raise ChainError(
                f"{where}: unknown key {quoted(key)} in {what}{suggest(key, allowed)}; "
                f"known: {', '.join(allowed)}"
            )


def _check_p(where: str, item: Mapping[str, Any]) -> float | None:
    if "p" not in item:
        return None
    value, problem = _number(item["p"], False)
    if value is None:
        raise ChainError(f'{where}: "p" {problem}')
    if not 0.0 <= value <= 1.0:
        raise ChainError(f'{where}: "p" must be within [0, 1], got {_show(item["p"])}')
    return float(value)


def _item_list(where: str, item: Mapping[str, Any], key: str) -> list[Any]:
    items = item[key]
    if not isinstance(items, (list, tuple)) or not items:
        raise ChainError(f'{where}: "{key}" must be a non-empty list of items, got {_show(items)}')
    return list(items)


def _engine_parameter(param: Param) -> Callable[[Any], tuple[Any, str]]:
    """The check of a plain value or a distribution's value for an engine effect's key."""

    def check(raw: Any) -> tuple[Any, str]:
        value, problem = _parameter(raw, param.integer)
        if value is not None and (beyond := overflow_problem(param, value)) is not None:
            return None, beyond.split(" = ", 1)[-1]
        return value, problem

    return check


def _step_parameter(param: Param) -> Callable[[Any], tuple[Any, str]]:
    """The check of a plain value or a distribution's value for a step's key: what the chain
    checker takes, within the key's range."""

    def check(raw: Any) -> tuple[Any, str]:
        if param.kind == "audio" and not isinstance(raw, (str, os.PathLike)):
            return None, f"must be a path in a random chain (a file or a folder), got {_show(raw)}"
        if param.key == "pattern" and isinstance(raw, str) and not relative_glob(raw):
            return None, (
                f"{_show(raw)} is not a glob relative to the folder (such as '*.wav' or "
                "'rooms/**/*.flac')"
            )
        value, problem = step_value(param, raw)
        if problem is not None:
            return None, problem.split(": ", 1)[-1] if problem.startswith("parameter") else problem
        return _freeze(value), ""

    return check


def _check_dist(
    where: str,
    spec: Mapping[Any, Any],
    integer: bool,
    check: Callable[[Any], tuple[Any, str]] | None = None,
    numeric: bool = True,
) -> _Dist:
    if len(spec) != 1:
        raise ChainError(
            f"{where}: a distribution is an object with one key, "
            f"{', '.join(_DISTRIBUTIONS)}; got {_show(spec)}"
        )
    kind, body = next(iter(spec.items()))
    if kind not in _DISTRIBUTIONS:
        raise ChainError(
            f"{where}: unknown distribution '{kind}'"
            f"{suggest(str(kind), _DISTRIBUTIONS)}; "
            f"use {', '.join(_DISTRIBUTIONS)}"
        )
    if not isinstance(body, (list, tuple)) or not body or (kind != "choice" and len(body) != 2):
        shape = "a non-empty list of values" if kind == "choice" else "a list [lo, hi]"
        raise ChainError(f"{where}: {kind} needs {shape}, got {_show(body)}")
    if not numeric and kind != "choice":
        raise ChainError(f"{where}: this key takes only a choice of values, not {kind}")
    values = []
    for raw in body:
        value, problem = check(raw) if check is not None else _parameter(raw, integer)
        if value is None:
            raise ChainError(f"{where}: {kind}: {problem}")
        values.append(value)
    if kind != "choice":
        lo, hi = values
        if lo > hi:
            raise ChainError(f"{where}: {kind} range {_show(body)} is reversed")
        if lo == hi:
            raise ChainError(
                f"{where}: {kind} range {_show(body)} is empty; "
                f"write the number itself for a fixed value"
            )
        if kind == "log_uniform" and lo <= 0:
            raise ChainError(
                f"{where}: log_uniform range {_show(body)} "
                f"{'reaches 0' if hi > 0 else 'is not above 0'}; its low end must be above 0"
            )
    return _Dist(kind, tuple(values), integer)


def _check_effect(where: str, item: Mapping[Any, Any]) -> _Effect:
    info = effect_info(where, item["type"])
    effect_type = info.type
    p = _check_p(f'{where}: "{effect_type}"', item)
    params: list[tuple[str, float | int | _Dist]] = []
    for key, raw in item.items():
        if key in ("type", "p"):
            continue
        if not isinstance(key, str):
            raise ChainError(
                f'{where}: "{effect_type}": parameter names must be strings, got {_show(key)}'
            )
        try:
            param = info.param(key)
        except KeyError:
            raise ChainError(
                f'{where}: "{effect_type}": unknown parameter {quoted(key)}'
                f"{suggest(key, [*info.keys, 'p'])}; "
                f"known: {', '.join(info.keys) or 'none'}, p"
            ) from None
        place = f'{where}: "{effect_type}": "{key}"'
        check = _step_parameter(param) if info.step else _engine_parameter(param)
        if isinstance(raw, Mapping):
            numeric = param.kind == "number"
            params.append((key, _check_dist(place, raw, param.integer, check, numeric)))
            continue
        value, problem = check(raw)
        if value is None:
            raise ChainError(f"{place}: {problem}")
        params.append((key, value))
    if effect_type in NEEDED_KEYS:
        # Without it (or with an empty path drawn for it) the drawn chain could not run.
        key, names = NEEDED_KEYS[effect_type]
        given = dict(params).get(key, "")
        values = given.values if isinstance(given, _Dist) else (given,)
        if any(not os.fspath(value) for value in values if isinstance(value, (str, os.PathLike))):
            raise ChainError(f'{where}: "{effect_type}": needs "{key}": {names}')
    return _Effect(effect_type, tuple(params), p)


def _check_item(where: str, item: Any, depth: int = 1) -> _Node:
    if not isinstance(item, Mapping):
        raise ChainError(
            f'{where}: expected an effect spec or a "one_of" or "some_of" object, got {_show(item)}'
        )
    groups = [key for key in _GROUP_KEYS if key in item]
    if len(groups) > 1:
        raise ChainError(f'{where}: an item holds "one_of" or "some_of", not both')
    if not groups:
        if "type" not in item:
            raise ChainError(f'{where}: needs a "type", a "one_of" or a "some_of"')
        return _check_effect(where, item)
    group = groups[0]
    if depth > MAX_NESTING:  # the chain's own items are at depth 1
        raise ChainError(f"{where}: groups nested more than {MAX_NESTING} levels deep")
    _check_keys(where, item, _GROUP_KEYS[group], group)
    p = _check_p(where, item)
    items = tuple(
        _check_item(f"{where}.{group}[{i}]", sub, depth + 1)
        for i, sub in enumerate(_item_list(where, item, group))
    )
    if group == "one_of":
        weights = None
        if "weights" in item:
            raw = item["weights"]
            if not isinstance(raw, (list, tuple)) or len(raw) != len(items):
                raise ChainError(
                    f'{where}: "weights" must be a list of {len(items)} numbers, '
                    f"one per item; got {_show(raw)}"
                )
            checked = []
            for w in raw:
                value, problem = _number(w, False)
                if value is None:
                    raise ChainError(f'{where}: "weights": {problem}')
                if value < 0:
                    raise ChainError(f'{where}: "weights" must not be negative, got {_show(w)}')
                checked.append(float(value))
            try:
                total = math.fsum(checked)
            except OverflowError:
                total = math.inf
            if not total < _FLOAT32_MAX:
                raise ChainError(
                    f'{where}: "weights" add up to more than {_FLOAT32_MAX:.8g}; scale them down'
                )
            if total <= 0:
                raise ChainError(f'{where}: "weights" add up to 0')
            if total < _FLOAT32_TINY:  # u times a subnormal total rounds unevenly
                raise ChainError(
                    f'{where}: "weights" add up to less than {_FLOAT32_TINY:.8g}; scale them up'
                )
            weights = tuple(checked)
        return _OneOf(items, weights, p)
    if "count" not in item:
        raise ChainError(f'{where}: "some_of" needs a "count": [lo, hi]')
    raw = item["count"]
    if not isinstance(raw, (list, tuple)) or len(raw) != 2:
        raise ChainError(f'{where}: "count" must be a list [lo, hi], got {_show(raw)}')
    bounds = []
    for c in raw:
        value, problem = _number(c, True)
        if value is None:
            raise ChainError(f'{where}: "count": {problem}')
        bounds.append(int(value))
    lo, hi = bounds
    if lo > hi:
        raise ChainError(f'{where}: "count" {_show(raw)} is reversed')
    if lo < 0:
        raise ChainError(f'{where}: "count" {_show(raw)} is below 0')
    if hi > len(items):
        raise ChainError(
            f'{where}: "count" {_show(raw)} is beyond the {counted(len(items), "item")} listed'
        )
    return _SomeOf(items, (lo, hi), p)


def _load_description(description: Any) -> tuple[tuple[_Node, ...], str]:
    prefix = ""
    if isinstance(description, (str, os.PathLike)):
        name = shown(description)
        text = read_chain_text(description, "random chain file")
        try:
            description = parse_json(text, name, unique=True)
        except JSONProblem as problem:
            raise ChainError(str(problem)) from None
        prefix = f"{name}: "
    text = ""
    if isinstance(description, Mapping):
        _check_keys(prefix.rstrip(": ") or "random chain", description, _TOP_KEYS, "a random chain")
        if "chain" not in description:
            raise ChainError(f'{prefix}expected a list of items or an object with a "chain" list')
        text = description.get("description", "")
        if not isinstance(text, str):
            raise ChainError(f'{prefix}"description" must be a string')
        description = description["chain"]
    if isinstance(description, (str, bytes)) or not isinstance(description, Iterable):
        raise ChainError(
            f"{prefix}a random chain must be a list of items, got {_show(description)}"
        )
    nodes = tuple(_check_item(f"{prefix}chain[{i}]", item) for i, item in enumerate(description))
    return nodes, text


# ---------------------------------------------------------------------------------------
# Drawing.


def key_word(name: str, value: Any) -> int:
    """A seed or index as the whole number in [0, 2**64) that keys the draw."""
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
            "state": {
                "counter": np.zeros(4, np.uint64),
                "key": np.array([seed, index], dtype=np.uint64),
            },
            "buffer": np.zeros(4, np.uint64),
            "buffer_pos": 4,
            "has_uint32": 0,
            "uinteger": 0,
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


# Items whose drawn spec needs more than their keys (a noise's seed, a background noise's
# file and offset) have a resolver: it completes the spec in place, drawing from the same
# draws. The module that runs such an item registers it when it is imported, which
# ``load_providers`` sees to.
Resolver: TypeAlias = Callable[[dict[str, Any], Callable[[], float]], None]
_RESOLVERS: dict[str, Resolver] = {}


def register_resolver(kind: str, resolver: Resolver) -> None:
    """Makes ``resolver`` complete every drawn spec of type ``kind`` (see step 6 above)."""
    _RESOLVERS[kind] = resolver


def keyed_draws(seed: int, key: int) -> Callable[[], float]:
    """Uniform numbers in [0, 1) from Philox keyed by (seed, key), for a spec that draws
    from its own seed (a file of a folder, an offset): each word w of the stream gives
    (w >> 11) / 2**53 in turn. Its own generator, shared with no other draw."""
    words = [key_word("seed", seed), key_word("key", key)]  # -1 had met NumPy's bounds error
    bits = np.random.Philox(key=np.array(words, dtype=np.uint64))

    def draw() -> float:
        return float(int(bits.random_raw()) >> 11) * _UNIT

    return draw


def _resolver(kind: str) -> Resolver | None:
    load_providers()
    return _RESOLVERS.get(kind)


def _visit(node: _Node, draw: _Draws, out: list[dict[str, Any]]) -> None:
    if node.p is not None and not draw() < node.p:
        return
    if isinstance(node, _Effect):
        spec: dict[str, Any] = {"type": node.type}
        for key, value in node.params:
            spec[key] = value.draw(draw()) if isinstance(value, _Dist) else _thaw(value)
        resolver = _resolver(node.type)
        if resolver is not None:
            resolver(spec, draw)
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


def _native_form(node: _Node) -> tuple[Any, ...]:
    """A node in the form the native draw compiles: every bound, span, logarithm and weight
    total worked out here, by the same Python operations :func:`_visit` and
    :meth:`_Dist.draw` use, so that the native walk repeats their double arithmetic."""
    if isinstance(node, _Effect):
        params: list[tuple[str, int, Any]] = []
        for key, value in node.params:
            if not isinstance(value, _Dist):
                params.append((key, 0, value))
            elif value.kind == "choice":
                params.append((key, 5, value.values))
            else:
                lo, hi = value.values
                if value.integer and value.kind == "uniform":
                    params.append((key, 3, (int(lo), int(hi))))
                elif value.integer:
                    low = math.log(lo)
                    params.append((key, 4, (low, math.log(hi + 1) - low, int(lo), int(hi))))
                elif value.kind == "uniform":
                    params.append((key, 1, (float(lo), float(hi - lo), float(lo), float(hi))))
                else:
                    low = math.log(lo)
                    params.append((key, 2, (low, math.log(hi) - low, float(lo), float(hi))))
        return (0, node.p, node.type, tuple(params))
    items = tuple(_native_form(item) for item in node.items)
    if isinstance(node, _OneOf):
        weights = node.weights or (1.0,) * len(node.items)
        fallback = max(i for i, weight in enumerate(weights) if weight > 0)
        return (1, node.p, math.fsum(weights), tuple(weights), fallback, items)
    lo, hi = node.count
    return (2, node.p, lo, hi, items)


class RandomChain:
    """A checked random chain description that draws concrete chains from a seed.

    ``description`` is a dict (with a "chain" list), a list of items, or the path of a
    JSON file holding either. Everything is checked here against the effect catalogue;
    a fault raises :class:`kavri.ChainError` naming its place, e.g.
    ``chain[2].one_of[1]: "gain": "db": uniform range [3, 1] is reversed``.

    Instances hold no random state and no open files: they pickle, and they can be shared
    by threads, processes and Dask workers.
    """

    __slots__ = ("_items", "_text", "_native")
    _items: tuple[_Node, ...]
    _text: str
    _native: Any

    def __init__(self, description: RandomChainLike) -> None:
        if isinstance(description, RandomChain):
            self._items, self._text = description._items, description._text
        else:
            self._items, self._text = _load_description(description)

    def __getstate__(self) -> dict[str, Any]:
        return self.description

    def __setstate__(self, state: Any) -> None:
        # A pickle is data like any other description: it is checked as loading checks,
        # so that a damaged or forged one fails here, not in the middle of a run.
        if isinstance(state, tuple) and len(state) == 2 and isinstance(state[1], str):
            # The form older versions pickled: the checked nodes and the description text.
            items, text = state
            try:
                plain = [item.plain() for item in items]
            except (AttributeError, TypeError):
                raise ChainError(
                    f"a pickled random chain holds {_show(state)}, not a description"
                ) from None
            state = {"chain": plain, **({"description": text} if text else {})}
        if not isinstance(state, Mapping):
            raise ChainError(f"a pickled random chain holds {_show(state)}, not a description")
        self._items, self._text = _load_description(state)
        if hasattr(self, "_native"):
            del self._native  # drawn from the description it held before

    @property
    def description(self) -> dict[str, Any]:
        """The checked description as plain JSON-ready data."""
        out: dict[str, Any] = {"chain": [item.plain() for item in self._items]}
        if self._text:
            out["description"] = self._text
        return out

    def sample(self, seed: SupportsIndex, index: SupportsIndex = 0) -> Chain:
        """The concrete chain for (seed, index): a list of plain spec dicts of Python
        numbers, ready for :func:`kavri.process`. Both are whole numbers in [0, 2**64).

        A pure function of the description, the seed and the index: the same arguments
        give the same chain everywhere, and each index its own independent draw.
        """
        draw = _Draws(key_word("seed", seed), key_word("index", index))
        out: Chain = []
        for item in self._items:
            _visit(item, draw, out)
        return out

    def _draw(self) -> Any:
        """The description compiled for the native draw, made on first use."""
        try:
            return self._native
        except AttributeError:
            self._native = _engine.RandomDraw(tuple(_native_form(item) for item in self._items))
            return self._native

    def _sample_many(self, seed: SupportsIndex, indices: Sequence[Any]) -> list[Chain]:
        """The concrete chains for (seed, index) for every index, drawn natively: the same
        chains as :meth:`sample` for each index, in a fraction of its time."""
        key = key_word("seed", seed)
        words = [key_word("index", index) for index in indices]
        if not self._engine_only():
            # Steps, and items that draw more than their keys (a noise's seed, a file), are
            # drawn here, each folder listed once for them all; the native draw knows the
            # engine's effects.
            with listed_once():
                return [self.sample(key, word) for word in words]
        chains: list[Chain] = self._draw().sample_many(key, words)
        return chains

    def _engine_only(self) -> bool:
        """Whether every effect the description can draw is one of the engine's."""
        nodes: list[_Node] = list(self._items)
        while nodes:
            node = nodes.pop()
            if isinstance(node, _Effect):
                if node.type not in ENGINE_TYPES or _resolver(node.type) is not None:
                    return False
            else:
                nodes.extend(node.items)
        return True

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, RandomChain):
            return NotImplemented
        return bool(self._items == other._items and self._text == other._text)

    def __hash__(self) -> int:
        return hash(self._items)

    def __repr__(self) -> str:
        return f"RandomChain({json.dumps(self.description)})"
