"""A solver result as tables: one row per variable entry, and the constraint rows of an explanation.

A runner result carries ``entries``: every column as ``{"name": "x", "index": ["a", 2], "value": 3}``
(the variable's name, its index values in order, a tuple-set member as the list of its field
values). ``result_table`` turns them into a header and rows with one column per index position
(``variable, index1, index2, ..., value``); ``constraint_table`` does the same for the rows under
``result["explain"]["rows"]`` when the result was explained; ``result_frame`` returns the entries
as a pandas DataFrame (the ``tables`` extra) with the index positions as columns.

pandas is imported by ``result_frame`` only.
"""

from __future__ import annotations

import gc
import itertools
import math
from collections.abc import Mapping
from typing import Any

__all__ = ["add_entries", "entries_of", "result_table", "constraint_table", "result_frame", "index_text"]

CONSTRAINT_FIELDS = ("activity", "lower", "upper", "slack", "binding", "dual")


def entries_of(columns: Any, values: Any, integer: Any = None) -> list[dict[str, Any]]:
    """Structured entries from the problem's COLUMNS (``[name, [index values]]``) and a solution.

    An integer column's value is rounded to an int, as the flat ``variables`` of a result are.
    """
    if hasattr(integer, "tolist"):
        integer = integer.tolist()  # an array: its items as ints, read once
    out = []
    append = out.append
    for column, value, whole in zip(columns, values, integer if integer is not None else itertools.repeat(0)):
        name, index = column[0], list(column[1]) if len(column) > 1 else []
        value = float(value)
        if whole:
            value = int(round(value))
        append({"name": name, "index": index, "value": value})
    return out


def packed_entries(columns: Any, values: Any, integer: Any = None) -> dict[str, Any]:
    """The records of ``entries_of`` in the form the solver's child hands them over: each variable
    name once with the number of its columns, the index values per column, the values packed and
    the integer columns as runs. ``unpacked_entries`` makes the records again."""
    from .insight import _packed

    names: list[list[Any]] = []
    runs: list[list[int]] = []
    index = []
    append = index.append
    for column, whole in zip(columns, integer if integer is not None else itertools.repeat(0)):
        name = column[0]
        if names and names[-1][0] == name:
            names[-1][1] += 1
        else:
            names.append([name, 1])
        whole = 1 if whole else 0
        if runs and runs[-1][0] == whole:
            runs[-1][1] += 1
        else:
            runs.append([whole, 1])
        append(list(column[1]) if len(column) > 1 else [])
    return {"packed": 1, "names": names, "integer": runs, "index": index, "values": _packed(values)}


def unpacked_entries(packed: Mapping[str, Any]) -> list[dict[str, Any]]:
    """The records ``packed_entries`` packed, as ``entries_of`` makes them (a value that is not a
    finite number is None, as the JSON of the records has it)."""
    from .insight import _unpacked

    values = _unpacked(packed["values"])
    names = itertools.chain.from_iterable(itertools.repeat(name, count) for name, count in packed["names"])
    wholes = itertools.chain.from_iterable(itertools.repeat(flag, count) for flag, count in packed["integer"])
    out = []
    append = out.append
    for name, index, value, whole in zip(names, packed["index"], values, wholes):
        if not math.isfinite(value):
            value = None
        elif whole:
            value = int(round(value))
        append({"name": name, "index": index, "value": value})
    return out


def add_entries(report: dict[str, Any], namespace: Mapping[str, Any], outcome: Any, packed: bool = False) -> None:
    """Add ``entries`` to a solver report from the built script's COLUMNS and the solver's point
    (``packed``: in the form ``packed_entries`` gives them)."""
    x = getattr(outcome, "x", None)
    if x is None:
        return
    if packed:
        report["entries"] = packed_entries(namespace["COLUMNS"], x, namespace["INTEGER"])
        return
    # One entry per column, a million of them for a large model: the cyclic collector pauses
    # meanwhile (the entries hold no cycles), as it does while the runner reads them back.
    collecting = gc.isenabled()
    gc.disable()
    try:
        report["entries"] = entries_of(namespace["COLUMNS"], x.tolist(), namespace["INTEGER"])
    finally:
        if collecting:
            gc.enable()


def index_text(value: Any) -> Any:
    """An index value as a table cell: a tuple-set member as ``<A,B>``, anything else unchanged."""
    if isinstance(value, (list, tuple)):
        return "<" + ",".join(str(index_text(v)) for v in value) + ">"
    return value


def _entries(result: Mapping[str, Any]) -> list[Mapping[str, Any]]:
    entries = result.get("entries")
    if entries is None:
        raise ValueError("the result has no structured entries (it comes from an older runner, or the "
                         "model was not solved)")
    return list(entries)


def _width(items: list[Any]) -> int:
    return max((len(i) for i in items), default=0)


def result_table(result: Mapping[str, Any], nonzero: bool = False) -> tuple[list[str], list[list[Any]]]:
    """Header and rows: ``variable, index1..indexK, value``; shorter indices leave blank cells."""
    entries = [e for e in _entries(result) if not nonzero or e.get("value")]
    width = _width([list(e.get("index") or []) for e in entries])
    header = ["variable"] + [f"index{k + 1}" for k in range(width)] + ["value"]
    rows = []
    for e in entries:
        index = [index_text(v) for v in e.get("index") or []]
        rows.append([e.get("name")] + index + [""] * (width - len(index)) + [e.get("value")])
    return header, rows


def constraint_table(result: Mapping[str, Any]) -> tuple[list[str], list[list[Any]]] | None:
    """Header and rows of the explained constraint rows, or None without an explanation."""
    explanation = result.get("explain")
    if not isinstance(explanation, Mapping) or not isinstance(explanation.get("rows"), list):
        return None
    rows_in = [r for r in explanation["rows"] if isinstance(r, Mapping)]
    width = _width([list(r.get("index") or []) for r in rows_in])
    header = (["constraint"] + [f"index{k + 1}" for k in range(width)] + ["line", "name"]
              + list(CONSTRAINT_FIELDS))
    rows = []
    for r in rows_in:
        index = [index_text(v) for v in r.get("index") or []]
        label = r.get("label") or str(r.get("name") or "").split("[", 1)[0]
        rows.append([label] + index + [""] * (width - len(index)) + [r.get("line"), r.get("name")]
                    + ["" if r.get(f) is None else r.get(f) for f in CONSTRAINT_FIELDS])
    return header, rows


def result_frame(result: Mapping[str, Any], nonzero: bool = False) -> Any:
    """The result's entries as a pandas DataFrame: ``variable, index1..indexK, value``.

    A tuple-set member is one cell holding a Python tuple; a missing index position is None.
    Raises ImportError naming the ``tables`` extra when pandas is not installed.
    """
    try:
        import pandas as pd
    except ImportError as err:
        raise ImportError(f"pandas is not installed ({err}): pip install 'vormo[tables]'") from None
    entries = [e for e in _entries(result) if not nonzero or e.get("value")]
    width = _width([list(e.get("index") or []) for e in entries])
    columns = ["variable"] + [f"index{k + 1}" for k in range(width)] + ["value"]
    rows = []
    for e in entries:
        index = [tuple(v) if isinstance(v, list) else v for v in e.get("index") or []]
        rows.append([e.get("name")] + index + [None] * (width - len(index)) + [e.get("value")])
    return pd.DataFrame(rows, columns=columns)
