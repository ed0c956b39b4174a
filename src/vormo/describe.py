"""Summarise what a Vormo model and data file hold: the first thing to check on a generated pair.

``describe_files("plan.mod", "plan.dat")`` returns a record; ``format_description(record)`` the
text ``vormo describe`` prints. The record holds:

* ``sets``: name, kind ("set", "tuple set", "range"), element type, size, model line;
* ``tuple_types``: name, field names, line;
* ``parameters``: name, value type, index sets, number of entries, where the value comes from
  ("data" or "inline"), the value itself for a scalar, line;
* ``variables``: name, kind (``float+``, ``int``, ``boolean``, ...), index sets, columns, line;
  ``variables_by_kind``: kind -> {"declarations", "columns"};
* ``expressions``: the ``dexpr`` declarations (name, index sets, instances, line);
* ``constraints``: one family per labelled (or unlabelled) constraint statement: label, line,
  operator, the ``forall`` sets it runs over, its rows;
* ``objective``: sense, label, line, terms; ``totals``: columns, integer columns, rows, non-zeros.

Columns, rows and terms come from the runner's sparse build; when it cannot be made (numpy or
scipy missing, a construct the generator cannot translate) they are None and ``counts_note`` says
why, and everything else is still described from the compiled model.
"""

from __future__ import annotations

import os
from collections import Counter
from pathlib import Path
from typing import Any, TextIO

__all__ = ["describe_texts", "describe_files", "format_description"]


def _index_sets(indices: Any) -> list[str]:
    out = []
    for item in indices or []:
        if isinstance(item, dict):
            out.append(str(item.get("set", "?")))
        else:
            out.append(str(item))
    return out


def _entries(value: Any) -> int:
    """Number of scalar entries in a (nested) data value."""
    if isinstance(value, dict):
        return sum(_entries(v) for v in value.values())
    if isinstance(value, (list, tuple)):
        return sum(_entries(v) for v in value)
    return 1


def _iterator_sets(iterators: Any) -> list[str]:
    out = []
    for it in iterators or []:
        source = it.get("set") if isinstance(it, dict) else None
        if isinstance(source, dict) and source.get("type") == "name":
            out.append(str(source.get("name")))
        elif isinstance(source, dict):
            out.append(str(source.get("type", "?")))
        else:
            out.append(str(source))
    return out


def _constraint_leaves(items: Any, sets: list[str]) -> list[tuple[dict[str, Any], list[str]]]:
    """Every constraint statement with the sets of the foralls around it, in model order."""
    found: list[tuple[dict[str, Any], list[str]]] = []
    for item in items or []:
        if not isinstance(item, dict):
            continue
        if item.get("type") == "constraint":
            found.append((item, sets))
        elif isinstance(item.get("body"), list):
            inner = sets + _iterator_sets(item.get("iterators")) if item.get("type") == "forall" else sets
            found.extend(_constraint_leaves(item["body"], inner))
    return found


def _sparse_counts(model_code: str, data_code: str) -> tuple[Any, str | None]:
    try:
        from . import export

        return export.build_problem(model_code, data_code), None
    except ImportError as err:
        return None, f"no sparse build ({err}): pip install 'vormo[solve]'"
    except Exception as err:  # a construct the generator cannot translate, or a fault of the build
        text = str(err).strip()
        return None, f"no sparse build: {text.splitlines()[0] if text else type(err).__name__}"


def describe_texts(model_code: str, data_code: str, problem: Any = None, counts: bool = True) -> dict[str, Any]:
    """Describe a model and data text pair (see the module text). Compiler findings are raised."""
    from .vormo_kernel import VormoCompiler

    compiled = VormoCompiler().compile_model(model_code, data_code)
    note = None
    if problem is None and counts:
        problem, note = _sparse_counts(model_code, data_code)
    elif problem is None:
        note = "counts not asked for"
    data = compiled.get("data") or {}

    columns_by_variable: Counter[str] | None = None
    rows_by_family: Counter[tuple[Any, Any]] | None = None
    if problem is not None:
        columns_by_variable = Counter(str(entry[0]) for entry in problem.columns)
        rows_by_family = Counter((info[1] or None, info[2]) for info in problem.row_info)

    sets, tuple_types, parameters, variables, expressions = [], [], [], [], []
    for decl in compiled.get("declarations") or []:
        kind, name, line = decl.get("type"), decl.get("name"), decl.get("lineno")
        if kind == "set":
            value = data.get(name, decl.get("value"))
            sets.append({"name": name, "kind": "set", "element_type": decl.get("element_type"),
                         "size": len(value) if isinstance(value, (list, tuple)) else None, "line": line})
        elif kind == "set_of_tuples":
            value = data.get(name, decl.get("value"))
            sets.append({"name": name, "kind": "tuple set", "element_type": decl.get("tuple_type"),
                         "size": len(value) if isinstance(value, (list, tuple)) else None, "line": line})
        elif kind == "range":
            low, high = decl.get("low"), decl.get("high")
            size = max(0, high - low + 1) if isinstance(low, int) and isinstance(high, int) else None
            sets.append({"name": name, "kind": "range", "element_type": "int", "size": size, "line": line,
                         "low": low, "high": high})
        elif kind == "tuple":
            tuple_types.append({"name": name, "fields": [f.get("name") for f in decl.get("fields") or []],
                                "line": line})
        elif kind == "parameter":
            indices = _index_sets(decl.get("indices"))
            value = data.get(name)
            record = {"name": name, "type": decl.get("value_type"), "indices": indices,
                      "entries": _entries(value) if indices and value is not None else (1 if not indices else None),
                      "source": decl.get("source"), "line": line}
            if not indices and isinstance(value, (int, float, str)):
                record["value"] = value
            parameters.append(record)
        elif kind == "dvar":
            variables.append({"name": name, "kind": decl.get("var_type"), "indices": _index_sets(decl.get("indices")),
                              "columns": columns_by_variable.get(name, 0) if columns_by_variable is not None else None,
                              "line": line})
        elif kind == "dexpr":
            instances = None
            if problem is not None:
                instances = sum(1 for d in problem.dexprs if str(d[0]).split("[", 1)[0] == name)
            expressions.append({"name": name, "indices": _index_sets(decl.get("indices")), "instances": instances,
                                "line": line})

    by_kind: dict[str, dict[str, Any]] = {}
    for var in variables:
        entry = by_kind.setdefault(str(var["kind"]), {"declarations": 0, "columns": 0 if problem is not None else None})
        entry["declarations"] += 1
        if problem is not None:
            entry["columns"] += var["columns"] or 0

    constraints = []
    for leaf, over in _constraint_leaves(compiled.get("constraints"), []):
        label, line = leaf.get("label") or None, leaf.get("lineno")
        rows = None if rows_by_family is None else rows_by_family.get((label, line), 0)
        constraints.append({"label": label, "line": line, "op": leaf.get("op"), "over": over, "rows": rows})

    objective = None
    obj = compiled.get("objective") or None
    if obj:
        objective = {"sense": obj.get("sense"), "label": obj.get("label"), "line": obj.get("lineno"), "terms": None}
        if problem is not None:
            objective["terms"] = sum(1 for v in problem.c.tolist() if v != 0) if hasattr(problem.c, "tolist") \
                else sum(1 for v in problem.c if v != 0)

    totals = None
    if problem is not None:
        A = problem.A
        totals = {"columns": len(problem.names),
                  "integer_columns": int(sum(int(v) for v in problem.integrality)),
                  "rows": len(problem.row_info),
                  "nonzeros": int(A.count_nonzero()) if A is not None else 0}
    return {"sets": sets, "tuple_types": tuple_types, "parameters": parameters, "variables": variables,
            "variables_by_kind": by_kind, "expressions": expressions, "constraints": constraints,
            "objective": objective, "totals": totals, "counts_note": note}


def describe_files(model_path: str | os.PathLike[str], data_path: str | os.PathLike[str],
                   counts: bool = True) -> dict[str, Any]:
    """Read the model and data files (UTF-8) and describe them; adds "model_file" and "data_file"."""
    model_code = Path(model_path).read_text(encoding="utf-8")
    data_code = Path(data_path).read_text(encoding="utf-8")
    record = describe_texts(model_code, data_code, counts=counts)
    return {"model_file": str(model_path), "data_file": str(data_path), **record}


def _count(value: Any) -> str:
    return "?" if value is None else f"{value:,}"


def _value(value: Any) -> str:
    return f'"{value}"' if isinstance(value, str) else str(value)


def _over(sets: list[str]) -> str:
    return "[" + "][".join(sets) + "]" if sets else ""


def _table(rows: list[list[str]], out: TextIO, indent: str = "  ") -> None:
    if not rows:
        return
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]) - 1)]
    for row in rows:
        cells = [cell.ljust(w) for cell, w in zip(row, widths)] + [row[-1]]
        print((indent + "  ".join(cells)).rstrip(), file=out)


def format_description(record: dict[str, Any], out: TextIO) -> None:
    """Print a description record as the text ``vormo describe`` shows."""
    if record.get("model_file"):
        print(f"Model: {record['model_file']}\nData:  {record['data_file']}", file=out)
    totals = record.get("totals")
    if totals:
        print(f"Size:  {totals['columns']:,} columns ({totals['integer_columns']:,} integer), "
              f"{totals['rows']:,} rows, {totals['nonzeros']:,} non-zeros", file=out)
    if record.get("counts_note"):
        print(f"Note:  {record['counts_note']}", file=out)

    objective = record.get("objective")
    print("\nObjective:", file=out)
    if objective:
        terms = "" if objective.get("terms") is None else f", {objective['terms']:,} term(s)"
        print(f"  {objective['sense']} {objective.get('label') or '(unlabelled)'} (line {objective['line']}{terms})",
              file=out)
    else:
        print("  none (a feasibility model)", file=out)

    sections = [
        ("Sets", record["sets"], lambda s: [s["name"], s["kind"] + (f" of {s['element_type']}" if s.get("element_type") else ""),
                                            f"{_count(s['size'])} member(s)", f"line {s['line']}"]),
        ("Tuple types", record["tuple_types"], lambda t: [t["name"], "<" + ", ".join(map(str, t["fields"])) + ">",
                                                          f"line {t['line']}"]),
        ("Parameters", record["parameters"],
         lambda p: [p["name"] + _over(p["indices"]), str(p["type"]),
                    (f"= {_value(p['value'])}" if "value" in p else f"{_count(p['entries'])} entries")
                    + (" (computed in the model)" if p.get("source") == "inline" else ""), f"line {p['line']}"]),
        ("Variables", record["variables"], lambda v: [v["name"] + _over(v["indices"]), str(v["kind"]),
                                                      f"{_count(v['columns'])} column(s)", f"line {v['line']}"]),
        ("Expressions", record["expressions"], lambda e: [e["name"] + _over(e["indices"]),
                                                          f"{_count(e['instances'])} instance(s)", f"line {e['line']}"]),
        ("Constraints", record["constraints"],
         lambda c: [(c["label"] or "(unlabelled)") + (" forall " + _over(c["over"]) if c["over"] else ""),
                    str(c["op"]), f"{_count(c['rows'])} row(s)", f"line {c['line']}"]),
    ]
    for title, items, row in sections:
        if not items:
            continue
        print(f"\n{title} ({len(items)}):", file=out)
        _table([row(item) for item in items], out)
    by_kind = record.get("variables_by_kind") or {}
    if by_kind:
        print("\nVariables by kind:", file=out)
        _table([[kind, f"{v['declarations']} declaration(s)", f"{_count(v['columns'])} column(s)"]
                for kind, v in by_kind.items()], out)
