"""JSON text read with limits: a bounded nesting depth, and optionally no NaN or infinity.

Chain files, random chain files, batch records and manifest lines are all JSON that a user
or another program wrote. Python's reader accepts NaN and Infinity (which JSON has not) and
nests as deep as the interpreter's recursion allows, after which every recursive walk of the
value fails with ``RecursionError``. Values read here are at most :data:`MAX_DEPTH` levels
deep, far beyond any real chain or record.
"""

from __future__ import annotations

import json
from typing import Any

__all__ = ["MAX_DEPTH", "JSONProblem", "parse", "too_deep"]

# Lists and objects inside one another, counting the outermost as 1.
MAX_DEPTH = 32


class JSONProblem(ValueError):
    """Text that is not JSON within the limits; the message says where and why."""


def too_deep(value: Any, limit: int = MAX_DEPTH) -> bool:
    """True if lists and dicts in ``value`` nest more than ``limit`` levels; walked without
    recursion, so any depth can be asked about."""
    stack: list[tuple[Any, int]] = [(value, 1)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, dict):
            children: Any = item.values()
        elif isinstance(item, (list, tuple)):
            children = item
        else:
            continue
        if depth > limit:
            return True
        stack.extend((child, depth + 1) for child in children)
    return False


def _no_constant(name: str) -> Any:
    raise JSONProblem(f"{name} is not a JSON number")


def _unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    value = dict(pairs)
    if len(value) < len(pairs):
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise JSONProblem(f"the key {json.dumps(key)} appears twice in one object")
            seen.add(key)
    return value


def parse(text: str, source: str, *, finite: bool = False, unique: bool = False) -> Any:
    """The value of JSON text. ``source`` names the text in messages; with ``finite``,
    NaN and Infinity are refused too, and with ``unique`` a key given twice in one object
    (Python's reader keeps the last, so a chain's ``"db": 1, "db": 2`` ran at 2 without a
    word). Raises :class:`JSONProblem`."""
    options: dict[str, Any] = {}
    if finite:
        options["parse_constant"] = _no_constant
    if unique:
        options["object_pairs_hook"] = _unique_keys
    try:
        value = json.loads(text, **options)
    except JSONProblem as problem:
        raise JSONProblem(f"{source}: malformed JSON: {problem}") from None
    except json.JSONDecodeError as error:
        raise JSONProblem(
            # Python's "Invalid control character at" is followed by the place, given first.
            f"{source}:{error.lineno}:{error.colno}: malformed JSON: "
            f"{error.msg.removesuffix(' at')}"
        ) from None
    except RecursionError:
        raise JSONProblem(f"{source}: nested more than {MAX_DEPTH} levels deep") from None
    except ValueError as error:  # an integer of more digits than the interpreter converts
        raise JSONProblem(f"{source}: malformed JSON: {str(error).split(':')[0]}") from None
    if too_deep(value):
        raise JSONProblem(f"{source}: nested more than {MAX_DEPTH} levels deep")
    return value
