"""Write a compiled Vormo model as free MPS or CPLEX-LP text, for any solver that reads them.

The text comes from the same sparse build as the solver runner (a ``SparseProblem``: bounds,
integrality, objective, constraint rows with their bounds), so an exported model has the optimum
that ``vormo run`` reports. Usage::

    from vormo import export
    problem = export.build_problem_files("plan.mod", "plan.dat")
    names = export.write_mps(problem, "plan.mps")   # also writes plan.mps.names.json
    export.write_lp(problem, "plan.lp")

Names. Columns are named after their variable and index values (``servings(oats)``,
``flow((A,B))``, ``y(1,3)``), rows after their constraint label and the values of the enclosing
``forall`` (``atLeast(kcal)``), the objective after its label (``obj`` without one). Characters
that either format cannot carry become ``_`` (accents are dropped first: ``é`` -> ``e``); a name
that could be read as a number or a keyword gets a leading ``_``; a name already taken gets ``~2``,
``~3``, ... The same names serve both formats, so a solution read from either maps back the same
way. The name map (``FILE.names.json``) lists, for every column and row, the exported name next
to the runner's display name, the variable or label, the index values and the model line.

Conventions. MPS: free format, ``OBJSENSE MAX`` for a maximisation, the objective constant as the
negated right-hand side of the objective row, integer columns between ``MARKER`` lines and always
with explicit bounds, a range row for ``l <= expr <= u``. LP: ``l <= expr <= u`` becomes two rows,
``NAME.lo`` and ``NAME.hi``, since not every LP reader takes a double inequality; the objective
constant is written as a constant term. A model without an objective is written as minimising 0.

numpy and scipy are needed for the build (the ``solve`` extra); this module imports neither at load.
"""

from __future__ import annotations

import json
import math
import os
import re
import tempfile
import unicodedata
from pathlib import Path
from typing import Any

__all__ = ["build_problem", "build_problem_files", "Names", "make_names", "mps_text", "lp_text",
           "write_mps", "write_lp", "export_files", "NAME_MAP_SUFFIX", "MAX_NAME_LENGTH"]

NAME_MAP_SUFFIX = ".names.json"
MAX_NAME_LENGTH = 255
OBJECTIVE_DEFAULT_NAME = "obj"

# Characters kept in a name: legal in CPLEX-LP and free MPS alike (no blanks, no operators,
# no brackets or colons, no quotes).
_KEEP = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.!#$%&/;?@{}|~")
# Words an LP reader takes for a section or a value when they stand alone.
_RESERVED = frozenset("""minimize minimise minimum min maximize maximise maximum max subject such that st s.t. st.
    bounds bound binary binaries bin general generals gen integer integers int semi semis semi-continuous
    sos end free inf infinity nan""".split())
# Characters per line of an LP expression (readers limit the line length; one term longer than
# this, at most a name of MAX_NAME_LENGTH and a number, gets a line of its own).
_LINE_WIDTH = 200


# ----------------------------------------------------------------------------------------------
# The sparse build
# ----------------------------------------------------------------------------------------------

def build_problem(model_code: str, data_code: str, model_name: str | None = None) -> Any:
    """Compile the model and data texts and return their ``SparseProblem`` (the runner's build).

    Raises the compiler's ``SyntaxError``/``SemanticError`` for a pair that does not compile.
    """
    from . import runner, sparseproblem

    script = runner.generate_script(model_code, data_code, model_name=model_name)
    with tempfile.TemporaryDirectory(prefix="vormo-export-") as folder:
        path = Path(folder) / "vormo_problem.py"
        path.write_text(script, encoding="utf-8")
        return sparseproblem.load_script(str(path))


def build_problem_files(model_path: str | os.PathLike[str], data_path: str | os.PathLike[str]) -> Any:
    """Read the model and data files (UTF-8) and build their ``SparseProblem``."""
    model_path = Path(model_path)
    model_code = model_path.read_text(encoding="utf-8")
    data_code = Path(data_path).read_text(encoding="utf-8")
    return build_problem(model_code, data_code, model_name=model_path.name)


# ----------------------------------------------------------------------------------------------
# Names
# ----------------------------------------------------------------------------------------------

def _clean(text: str) -> str:
    """The text with every character neither format can carry replaced by '_' (accents dropped)."""
    out = []
    for ch in str(text):
        if ch in _KEEP:
            out.append(ch)
            continue
        base = unicodedata.normalize("NFKD", ch)[:1]
        out.append(base if base in _KEEP else "_")
    return "".join(out)


def _value_text(value: Any) -> str:
    """An index value in a name: a number as written, text cleaned, a tuple member in parentheses."""
    if isinstance(value, (list, tuple)):
        return "(" + ",".join(_value_text(v) for v in value) + ")"
    if isinstance(value, bool):
        return str(int(value))
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    if isinstance(value, float):
        return _clean(repr(value))
    return _clean(str(value)) or "_"


def _legal(name: str) -> str:
    """A name no reader takes for a number, a keyword or an operator."""
    if not name:
        return "_"
    if not (name[0].isalpha() or name[0] == "_"):
        name = "_" + name
    elif name.lower() in _RESERVED or re.match(r"[eE][0-9]", name):
        name = "_" + name
    return name[:MAX_NAME_LENGTH]


def _compose(base: Any, index: Any) -> str:
    name = _clean(str(base)) if base not in (None, "") else ""
    values = list(index) if isinstance(index, (list, tuple)) else []
    if values:
        name += "(" + ",".join(_value_text(v) for v in values) + ")"
    return _legal(name)


class _Unique:
    """Hands out names unique within one namespace: a taken name gets ~2, ~3, ..."""

    def __init__(self) -> None:
        self.taken: set[str] = set()

    def __call__(self, name: str) -> str:
        if name in self.taken:
            number = 2
            while True:
                suffix = f"~{number}"
                candidate = name[:MAX_NAME_LENGTH - len(suffix)] + suffix
                if candidate not in self.taken:
                    name = candidate
                    break
                number += 1
        self.taken.add(name)
        return name


class Names:
    """Exported names of a problem's columns, rows and objective, and the map that explains them."""

    def __init__(self, columns: list[str], rows: list[str], objective: str, records: dict[str, Any],
                 pairs: dict[int, tuple[str, str]]) -> None:
        self.columns = columns
        self.rows = rows
        self.objective = objective
        self.records = records
        # Rows written as two rows (NAME.lo, NAME.hi): two-sided rows in LP text, and rows whose
        # lower bound lies above the upper one in either format.
        self.pairs = pairs


def _row_base(info: Any) -> tuple[Any, Any, Any, list[Any]]:
    """(display name, label, line, index) of a row_info entry, tolerant of a short entry."""
    info = list(info) if isinstance(info, (list, tuple)) else []
    info += [None] * (4 - len(info))
    display, label, line, index = info[:4]
    return display, label, line, list(index) if isinstance(index, (list, tuple)) else []


def make_names(problem: Any) -> Names:
    """Readable, unique names for the columns, rows and objective of a ``SparseProblem``."""
    column_names = _Unique()
    columns: list[str] = []
    column_records = []
    displays = list(problem.names)
    for j, entry in enumerate(problem.columns):
        variable, index = (entry[0], entry[1]) if isinstance(entry, (list, tuple)) and len(entry) >= 2 \
            else (displays[j] if j < len(displays) else f"x{j}", [])
        name = column_names(_compose(variable, index))
        columns.append(name)
        column_records.append({"name": name, "display": displays[j] if j < len(displays) else name,
                               "variable": variable, "index": list(index)})

    row_names = _Unique()
    objective = row_names(_compose(problem.objective_name or OBJECTIVE_DEFAULT_NAME, []))
    rows: list[str] = []
    row_records = []
    for i, info in enumerate(problem.row_info):
        display, label, line, index = _row_base(info)
        if label:
            base = label
        elif display:
            base = str(display).split("[", 1)[0]
        else:
            base = f"c{line}" if line is not None else f"r{i}"
        name = row_names(_compose(base, index))
        rows.append(name)
        row_records.append({"name": name, "display": display if display else name, "label": label,
                            "line": line, "index": index})
    lower, upper = _floats(problem.row_lower), _floats(problem.row_upper)
    pairs = {i: (row_names(_legal(name + ".lo")), row_names(_legal(name + ".hi")))
             for i, name in enumerate(rows) if _two_sided(lower[i], upper[i])}
    return Names(columns, rows, objective, {
        "objective": {"name": objective, "label": problem.objective_name},
        "columns": column_records, "rows": row_records}, pairs)


def _two_sided(lo: float, up: float) -> bool:
    """A row bounded on both sides (or impossibly) that is no equation."""
    return lo != up and lo != -math.inf and up != math.inf


# ----------------------------------------------------------------------------------------------
# Reading the problem
# ----------------------------------------------------------------------------------------------

def _floats(values: Any) -> list[float]:
    return [float(v) for v in (values.tolist() if hasattr(values, "tolist") else values)]


def _number(value: float) -> str:
    """Shortest text that reads back as the same number."""
    value = float(value)
    if value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


class _Tables:
    """The problem's numbers as plain lists: per row and per column (value, other index) pairs."""

    def __init__(self, problem: Any) -> None:
        self.n_cols = len(problem.names)
        self.col_lower = _floats(problem.col_lower)
        self.col_upper = _floats(problem.col_upper)
        self.integer = [bool(v) for v in _floats(problem.integrality)]
        self.sense = int(problem.sense or 0)
        c = _floats(problem.c) if self.sense else []
        self.c = c + [0.0] * (self.n_cols - len(c))
        self.constant = float(problem.objective_constant or 0.0) if self.sense else 0.0
        self.row_lower = _floats(problem.row_lower)
        self.row_upper = _floats(problem.row_upper)
        n_rows = len(self.row_lower)
        self.row_terms: list[list[tuple[int, float]]] = [[] for _ in range(n_rows)]
        self.col_terms: list[list[tuple[int, float]]] = [[] for _ in range(self.n_cols)]
        A = problem.A
        if n_rows and self.n_cols and A is not None:
            A = A.tocsr() if hasattr(A, "tocsr") else A
            indptr, indices, data = A.indptr.tolist(), A.indices.tolist(), A.data.tolist()
            for i in range(n_rows):
                for k in range(indptr[i], indptr[i + 1]):
                    value = float(data[k])
                    if value != 0.0:
                        self.row_terms[i].append((indices[k], value))
            for i, terms in enumerate(self.row_terms):
                terms.sort()
                for j, value in terms:
                    self.col_terms[j].append((i, value))


# ----------------------------------------------------------------------------------------------
# Free MPS
# ----------------------------------------------------------------------------------------------

def mps_text(problem: Any, names: Names | None = None, title: str = "vormo") -> str:
    """The problem as free MPS text."""
    names = names or make_names(problem)
    t = _Tables(problem)
    out = [f"NAME {_clean(title) or 'vormo'}"]
    out.append("OBJSENSE")
    out.append("    MAX" if t.sense == -1 else "    MIN")
    out.append("ROWS")
    out.append(f" N  {names.objective}")
    # (exported name, problem row) for every MPS row; an inverted range (lower > upper) is two rows.
    rhs: list[tuple[str, float]] = []
    ranges: list[tuple[str, float]] = []
    mps_rows: dict[int, list[str]] = {}
    for i, name in enumerate(names.rows):
        lo, up = t.row_lower[i], t.row_upper[i]
        if lo == up:
            out.append(f" E  {name}")
            rhs.append((name, lo))
        elif lo == -math.inf and up == math.inf:
            out.append(f" N  {name}")
        elif lo == -math.inf:
            out.append(f" L  {name}")
            rhs.append((name, up))
        elif up == math.inf:
            out.append(f" G  {name}")
            rhs.append((name, lo))
        elif lo < up:
            out.append(f" G  {name}")
            rhs.append((name, lo))
            ranges.append((name, up - lo))
        else:  # lower above upper: both sides as rows
            lo_name, up_name = names.pairs[i]
            out.append(f" G  {lo_name}")
            out.append(f" L  {up_name}")
            rhs.append((lo_name, lo))
            rhs.append((up_name, up))
            mps_rows[i] = [lo_name, up_name]
    out.append("COLUMNS")
    in_integer = False
    for j, column in enumerate(names.columns):
        if t.integer[j] != in_integer:
            out.append("    MARKER  'MARKER'  " + ("'INTORG'" if t.integer[j] else "'INTEND'"))
            in_integer = t.integer[j]
        entries = []
        if t.c[j] != 0.0:
            entries.append((names.objective, t.c[j]))
        for i, value in t.col_terms[j]:
            for row in mps_rows.get(i, [names.rows[i]]):
                entries.append((row, value))
        if not entries:
            entries.append((names.objective, 0.0))
        for k in range(0, len(entries), 2):
            pair = entries[k:k + 2]
            out.append(f"    {column}  " + "  ".join(f"{row}  {_number(v)}" for row, v in pair))
    if in_integer:
        out.append("    MARKER  'MARKER'  'INTEND'")
    out.append("RHS")
    if t.constant != 0.0:
        out.append(f"    RHS  {names.objective}  {_number(-t.constant)}")
    for row, value in rhs:
        if value != 0.0:
            out.append(f"    RHS  {row}  {_number(value)}")
    if ranges:
        out.append("RANGES")
        for row, value in ranges:
            out.append(f"    RNG  {row}  {_number(value)}")
    bounds = []
    for j, column in enumerate(names.columns):
        lo, up, integer = t.col_lower[j], t.col_upper[j], t.integer[j]
        if lo == up:
            bounds.append(f" FX BND  {column}  {_number(lo)}")
            continue
        if lo == -math.inf and up == math.inf:
            bounds.append(f" FR BND  {column}")
            continue
        if lo == -math.inf:
            bounds.append(f" MI BND  {column}")
        elif lo != 0.0 or (integer and up == math.inf):
            bounds.append(f" LO BND  {column}  {_number(lo)}")
        if up != math.inf:
            bounds.append(f" UP BND  {column}  {_number(up)}")
            if lo == 0.0 and up < 0.0:  # some readers take a negative upper bound to free the lower one
                bounds.append(f" LO BND  {column}  0")
        elif integer:
            bounds.append(f" PL BND  {column}")
    if bounds:
        out.append("BOUNDS")
        out.extend(bounds)
    out.append("ENDATA")
    return "\n".join(out) + "\n"


# ----------------------------------------------------------------------------------------------
# CPLEX LP
# ----------------------------------------------------------------------------------------------

def _expression(terms: list[tuple[str, float]], indent: str = "   ") -> list[str]:
    """Terms as '+ 3 x - 2 y' text, wrapped into lines of at most _LINE_WIDTH characters."""
    pieces = []
    for k, (name, value) in enumerate(terms):
        sign = "-" if value < 0 or (value == 0 and math.copysign(1, value) < 0) else "+"
        magnitude = abs(value)
        coefficient = "" if magnitude == 1.0 else _number(magnitude) + " "
        if k == 0 and sign == "+":
            pieces.append(f"{coefficient}{name}")
        else:
            pieces.append(f"{sign} {coefficient}{name}")
    lines: list[str] = []
    for piece in pieces:
        if lines and len(lines[-1]) + 1 + len(piece) <= _LINE_WIDTH:
            lines[-1] += " " + piece
        else:
            lines.append(piece)
    return [lines[0]] + [indent + line for line in lines[1:]] if lines else []


def _lp_number(value: float) -> str:
    if math.isinf(value):
        return "+inf" if value > 0 else "-inf"
    return _number(value)


def lp_text(problem: Any, names: Names | None = None, title: str = "vormo") -> str:
    """The problem as CPLEX-LP text."""
    names = names or make_names(problem)
    t = _Tables(problem)
    out = [f"\\ {_clean(title) or 'vormo'}: {t.n_cols} columns, {len(t.row_lower)} rows",
           "Maximize" if t.sense == -1 else "Minimize"]
    used = [bool(terms) for terms in t.col_terms]
    objective_terms = [(names.columns[j], t.c[j]) for j in range(t.n_cols) if t.c[j] != 0.0]
    # A column that appears nowhere else is listed with 0 so every reader declares it.
    objective_terms += [(names.columns[j], 0.0) for j in range(t.n_cols) if t.c[j] == 0.0 and not used[j]]
    lines = _expression(objective_terms)
    if t.constant != 0.0:
        constant = ("- " if t.constant < 0 else "+ ") + _number(abs(t.constant))
        lines = lines[:-1] + [(lines[-1] + " " + constant) if lines else constant.lstrip("+ ")]
    out.append(f" {names.objective}: " + ("\n".join(lines) if lines else ""))
    out.append("Subject To")
    first_column = names.columns[0] if names.columns else None
    for i, name in enumerate(names.rows):
        terms = [(names.columns[j], v) for j, v in t.row_terms[i]]
        if not terms:
            if first_column is None:
                continue  # no columns at all: nothing to write a row of
            terms = [(first_column, 0.0)]
        body = "\n".join(_expression(terms))
        lo, up = t.row_lower[i], t.row_upper[i]
        if lo == up:
            out.append(f" {name}: {body} = {_lp_number(lo)}")
        elif i in names.pairs:
            lo_name, up_name = names.pairs[i]
            out.append(f" {lo_name}: {body} >= {_lp_number(lo)}")
            out.append(f" {up_name}: {body} <= {_lp_number(up)}")
        elif lo == -math.inf and up != math.inf:
            out.append(f" {name}: {body} <= {_lp_number(up)}")
        else:  # '>=' or a free row (>= -inf)
            out.append(f" {name}: {body} >= {_lp_number(lo)}")
    bounds = []
    for j, column in enumerate(names.columns):
        lo, up = t.col_lower[j], t.col_upper[j]
        if lo == 0.0 and up == math.inf:
            continue
        if lo == up:
            bounds.append(f" {column} = {_lp_number(lo)}")
        elif lo == -math.inf and up == math.inf:
            bounds.append(f" {column} free")
        else:
            bounds.append(f" {_lp_number(lo)} <= {column} <= {_lp_number(up)}")
    if bounds:
        out.append("Bounds")
        out.extend(bounds)
    integers = [names.columns[j] for j in range(t.n_cols) if t.integer[j]]
    if integers:
        out.append("General")
        for k in range(0, len(integers), 8):
            out.append(" " + " ".join(integers[k:k + 8]))
    out.append("End")
    return "\n".join(out) + "\n"


# ----------------------------------------------------------------------------------------------
# Files
# ----------------------------------------------------------------------------------------------

def _write(problem: Any, path: str | os.PathLike[str], kind: str, title: str | None) -> dict[str, Any]:
    path = Path(path)
    names = make_names(problem)
    title = title or path.stem
    text = mps_text(problem, names, title) if kind == "mps" else lp_text(problem, names, title)
    path.write_text(text, encoding="ascii")
    record = {"format": kind, "file": path.name, **names.records}
    lower, upper = _floats(problem.row_lower), _floats(problem.row_upper)
    for i, pair in names.pairs.items():
        if kind == "lp" or lower[i] > upper[i]:
            record["rows"][i] = dict(record["rows"][i], names=list(pair))
    map_path = Path(str(path) + NAME_MAP_SUFFIX)
    map_path.write_text(json.dumps(record, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    return record


def write_mps(problem: Any, path: str | os.PathLike[str], title: str | None = None) -> dict[str, Any]:
    """Write the problem as free MPS to ``path`` and its name map to ``path + '.names.json'``.

    Returns the name map.
    """
    return _write(problem, path, "mps", title)


def write_lp(problem: Any, path: str | os.PathLike[str], title: str | None = None) -> dict[str, Any]:
    """Write the problem as CPLEX-LP text to ``path`` and its name map next to it; returns the map."""
    return _write(problem, path, "lp", title)


def export_files(model_path: str | os.PathLike[str], data_path: str | os.PathLike[str],
                 mps: str | os.PathLike[str] | None = None,
                 lp: str | os.PathLike[str] | None = None) -> dict[str, Any]:
    """Build the pair once and write the requested files; returns a summary of what was written."""
    problem = build_problem_files(model_path, data_path)
    title = Path(model_path).stem
    written = []
    for kind, target in (("mps", mps), ("lp", lp)):
        if target is not None:
            (write_mps if kind == "mps" else write_lp)(problem, target, title)
            written.append({"format": kind, "file": str(target), "names": str(target) + NAME_MAP_SUFFIX})
    A = problem.A
    nonzeros = int(A.count_nonzero()) if A is not None and hasattr(A, "count_nonzero") else None
    return {"written": written, "columns": len(problem.names), "rows": len(problem.row_info),
            "integer_columns": int(sum(_floats(problem.integrality))), "nonzeros": nonzeros,
            "sense": {1: "minimize", -1: "maximize"}.get(int(problem.sense or 0), "none")}
