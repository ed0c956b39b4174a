"""Why this optimum: explain an optimal solution and diagnose a model that has none.

Both operations work on a ``SparseProblem`` (``vormo.sparseproblem``): the same rows and columns
the solver script builds, each row still carrying its constraint label, its index values and its
model line, so every figure here can be traced back to the model text. They solve with HiGHS
through ``highspy`` (the ``solve`` extra), imported inside the operations only.

``explain(problem, solution=None, highs=None)`` returns a dictionary (given the solve's own solved
HiGHS instance, an LP is explained from its optimal basis without a second solve):

* ``status`` "optimal", ``objective``, ``objective_name``, ``sense`` ("maximise", "minimise" or
  None for a feasibility model);
* ``rows``: per constraint row ``name``, ``label``, ``line``, ``index``, ``activity``, ``lower``,
  ``upper``, ``slack`` (distance to the nearest bound), ``binding``, ``dual`` (the change of the
  objective per unit increase of the row's bound, in the model's own sense) and ``bound_range``
  (for a binding row: how far its active bound can move with the same dual; null otherwise);
* ``variables``: per column ``name``, ``value``, ``at_bound`` ("lower", "upper", "fixed" or null;
  the value is then that bound), ``reduced_cost``, ``cost`` and ``cost_range`` (how far the objective
  coefficient can move before the plan changes) and ``bound_range`` (for a variable at a bound);
* ``dexprs``: the value of every decision expression;
* ``fixed_integers``: true for a MILP, explained as the LP with its integer variables fixed at the
  optimum, with ``mip_gap`` and ``mip_bound`` as the MIP solve reports them.

An infinite bound or range end is null. ``diagnose(problem, result=None)`` returns a dictionary
with a ``kind`` ("refused", "infeasible", "unbounded", "time_limit", "error" or "optimal") and a
plain ``statement``, plus ``rows`` (refused), ``conflict`` and ``relaxation`` (infeasible) or
``ray`` (unbounded). ``summary_lines`` and ``diagnosis_lines`` turn either into a few lines of text.
"""

import gc
import math
import re
import sys
import time

__all__ = ["explain", "expand", "diagnose", "refusal", "summary_lines", "diagnosis_lines", "result_lines", "BINDING_TOLERANCE",
           "HUGE_COEFFICIENT", "FILTER_BUDGET", "INSIGHT_SECONDS"]

# A row or variable is binding (at a bound) when it is within this distance of the bound, scaled by
# the bound's size when that is larger than one.
BINDING_TOLERANCE = 1e-7
# Coefficients, costs and finite bounds at or above this size are refused: HiGHS treats them as
# infinite or rejects the model, so the answer would not be the model's.
HUGE_COEFFICIENT = 1e15
# Seconds the deletion filter over constraint families may spend at most.
FILTER_BUDGET = 30.0
# Seconds an explanation or a diagnosis may spend in HiGHS in all (it runs after the solve, inside
# the grace period the runner allows the solver's child beyond the time limit).
INSIGHT_SECONDS = 30.0
# How many entries the text summary lists per kind.
SUMMARY_LIMIT = 8


# ----------------------------------------------------------------------------------------------
# The problem as arrays, and as a HiGHS model
# ----------------------------------------------------------------------------------------------

class _Arrays:
    """The fields of a SparseProblem as numpy arrays (the problem object itself is not changed)."""

    def __init__(self, problem):
        import numpy as np
        import scipy.sparse as sp

        self.names = [str(n) for n in problem.names]
        n = len(self.names)
        self.c = np.asarray(problem.c, dtype=float).reshape(-1) if n else np.zeros(0)
        self.col_lower = np.asarray(problem.col_lower, dtype=float).reshape(-1)
        self.col_upper = np.asarray(problem.col_upper, dtype=float).reshape(-1)
        integrality = getattr(problem, "integrality", None)
        self.integer = (np.asarray(integrality, dtype=float).reshape(-1) != 0) if integrality is not None \
            and len(integrality) else np.zeros(n, dtype=bool)
        self.row_lower = np.asarray(problem.row_lower, dtype=float).reshape(-1)
        self.row_upper = np.asarray(problem.row_upper, dtype=float).reshape(-1)
        m = len(self.row_lower)
        self.A = sp.csr_array(problem.A, dtype=float) if m else sp.csr_array((0, n), dtype=float)
        self.sense = int(problem.sense or 0)
        self.constant = float(getattr(problem, "objective_constant", 0.0) or 0.0)
        self.objective_name = getattr(problem, "objective_name", None)
        info = list(getattr(problem, "row_info", None) or [])
        self.row_info = [_row_info(info[r] if r < len(info) else None, r) for r in range(m)]
        self.dexprs = list(getattr(problem, "dexprs", None) or [])
        limit = getattr(problem, "time_limit", None)
        self.time_limit = float(limit) if isinstance(limit, (int, float)) and limit > 0 else None
        self.n, self.m = n, m

    @property
    def is_mip(self):
        return bool(self.integer.any())

    def terms(self, r):
        """The (column name, coefficient) pairs of row r."""
        start, end = self.A.indptr[r], self.A.indptr[r + 1]
        return {self.names[j]: float(v) for j, v in zip(self.A.indices[start:end], self.A.data[start:end])}


def _row_info(entry, r):
    if entry is None:
        return {"name": f"row{r + 1}", "label": None, "line": None, "index": []}
    name, label, line, index = (list(entry) + [None] * 4)[:4]
    return {"name": str(name) if name is not None else f"row{r + 1}", "label": label, "line": line,
            "index": list(index) if isinstance(index, (list, tuple)) else []}


def _highs(arrays, *, integer=True, col_lower=None, col_upper=None, rows=None, time_limit=None, presolve=True):
    """A quiet HiGHS instance holding the problem (optionally without integrality or some rows),
    in the model's own sense and without the objective's constant."""
    import numpy as np

    from .highsolve import instance

    rows = None if rows is None else np.asarray(rows, dtype=np.int64)
    h, _ = instance(arrays.c if arrays.sense else np.zeros(arrays.n),
                    arrays.col_lower if col_lower is None else col_lower,
                    arrays.col_upper if col_upper is None else col_upper,
                    arrays.A if rows is None else arrays.A[rows],
                    arrays.row_lower if rows is None else arrays.row_lower[rows],
                    arrays.row_upper if rows is None else arrays.row_upper[rows],
                    sense=arrays.sense, integer=arrays.integer if integer else None,
                    time_limit=None if time_limit is None else max(time_limit, 0.01), presolve=presolve)
    return h


def _status_name(h):
    import highspy

    status = h.getModelStatus()
    names = {
        highspy.HighsModelStatus.kOptimal: "optimal",
        highspy.HighsModelStatus.kInfeasible: "infeasible",
        highspy.HighsModelStatus.kUnbounded: "unbounded",
        highspy.HighsModelStatus.kUnboundedOrInfeasible: "unbounded_or_infeasible",
        highspy.HighsModelStatus.kTimeLimit: "time_limit",
        highspy.HighsModelStatus.kIterationLimit: "time_limit",
        highspy.HighsModelStatus.kInterrupt: "time_limit",
    }
    return names.get(status, "error")


def _run(h):
    h.run()
    return _status_name(h)


def _num(value):
    """A float for JSON: None for an infinite (or undefined) value, integers shown as such."""
    value = float(value)
    if not math.isfinite(value) or abs(value) >= 1e20:
        return None
    return value


def _sense_word(sense):
    return {1: "minimise", -1: "maximise"}.get(sense)


def _limit(time_limit, default):
    if isinstance(time_limit, bool) or not isinstance(time_limit, (int, float)) or not time_limit > 0:
        return default
    return float(time_limit)


# ----------------------------------------------------------------------------------------------
# Explanation of an optimal solution
# ----------------------------------------------------------------------------------------------

def _solution_values(arrays, solution):
    """Column values from a solver result (its ``"x"``, else ``{"variables": {name: value}}``) or
    a sequence; None (or NaN for a hole in ``"x"``) where there is no value."""
    import numpy as np

    if solution is None:
        return None
    if isinstance(solution, dict):
        x = solution.get("x")
        if (isinstance(x, (list, tuple)) or getattr(x, "ndim", None) == 1) and len(x) == arrays.n:
            # An array, or a list in which None (a hole) becomes NaN.
            return np.array(x, dtype=float).reshape(-1)
        variables = solution.get("variables")
        if not isinstance(variables, dict):
            return None
        position = {name: j for j, name in enumerate(arrays.names)}
        values = np.zeros(arrays.n)
        for name, value in variables.items():
            j = position.get(name)
            if j is not None and isinstance(value, (int, float)):
                values[j] = float(value)
        return values
    values = np.asarray(solution, dtype=float).reshape(-1)
    return values if len(values) == arrays.n else None


def _solved(h, mip):
    """True when h is a HiGHS instance holding an optimal solution (and, for an LP, the optimal
    basis, which ranging needs)."""
    try:
        import highspy

        return h.getModelStatus() == highspy.HighsModelStatus.kOptimal and (mip or h.getBasis().valid)
    except Exception:  # not an instance, or one that cannot say
        return False


def explain(problem, solution=None, *, time_limit=None, highs=None, columns=False):
    """Explain the optimum of ``problem``: rows with duals and slacks, variables with ranging.

    ``solution`` (optional) is the solve's result (its ``"x"``, or else its ``"variables"``) or the
    column values: HiGHS starts from that point, and a MILP is explained with its integer variables
    fixed at those values instead of being solved again. ``highs`` (optional) is the solve's own
    HiGHS instance holding this problem solved to optimality, in the model's own sense and without
    the objective's constant (``vormo.highsolve``): an LP is then explained from its basis without
    solving again, and a MILP's instance is reused for the LP with the integers fixed (the
    instance is changed). Returns the diagnosis instead (a dictionary with a ``kind``) when HiGHS
    finds no optimum.

    With ``columns`` the variables come as one list per field under ``"variable_columns"`` in
    place of the records under ``"variables"`` (``expand`` makes the records): the form the
    solver's child hands over, written and read as JSON several times faster than the records.
    """
    import numpy as np

    arrays = _Arrays(problem)
    values = _solution_values(arrays, solution)
    if values is not None and not np.isfinite(values).all():
        values = None  # a point with holes is no point to start from or to fix integers at
    if highs is not None and not (_solved(highs, arrays.is_mip) and highs.getNumCol() == arrays.n):
        highs = None  # not the solved problem: solve anew
    if highs is not None and values is None:
        values = np.asarray(highs.getSolution().col_value, dtype=float)
    # Given the solve's point, only the explanation's own work is timed; otherwise HiGHS solves
    # too and gets at least the problem's own time limit.
    limit = _limit(time_limit, INSIGHT_SECONDS if values is not None else max(arrays.time_limit or 0.0,
                                                                              INSIGHT_SECONDS))
    if arrays.n == 0:
        return _without_columns(arrays)
    mip_gap = mip_bound = None
    fixed = arrays.is_mip
    col_lower, col_upper = arrays.col_lower, arrays.col_upper
    if arrays.is_mip:
        if values is None:
            h = _highs(arrays, time_limit=limit)
            status = _run(h)
            if status != "optimal":
                return diagnose(problem, {"status": status}, time_limit=limit)
            values = np.asarray(h.getSolution().col_value, dtype=float)
            info = h.getInfo()
            mip_gap, mip_bound = _num(info.mip_gap), _num(info.mip_dual_bound + arrays.constant)
        elif isinstance(solution, dict) and ("mip_gap" in solution or "mip_bound" in solution):
            mip_gap, mip_bound = solution.get("mip_gap"), solution.get("mip_bound")
        elif highs is not None:
            info = highs.getInfo()
            mip_gap, mip_bound = _num(info.mip_gap), _num(info.mip_dual_bound + arrays.constant)
        rounded = np.round(values)
        col_lower = np.where(arrays.integer, rounded, arrays.col_lower)
        col_upper = np.where(arrays.integer, rounded, arrays.col_upper)
    if highs is not None and not arrays.is_mip:
        h = highs  # its basis is the optimal one: nothing to solve
    else:
        h = _fixed(arrays, highs, col_lower, col_upper, values, limit)
        status = _run(h)
        if status != "optimal":
            return diagnose(problem, {"status": status}, time_limit=limit)
    return _explanation(arrays, h, col_lower, col_upper, fixed, mip_gap, mip_bound, columns)


def _fixed(arrays, highs, col_lower, col_upper, values, limit):
    """An instance ready to solve the LP within col_lower..col_upper, started from values.

    A MILP's own solved instance is reused (its integrality dropped, its bounds changed);
    otherwise a new one is built."""
    import highspy
    import numpy as np

    if highs is not None:
        h = highs
        everything = np.arange(arrays.n, dtype=np.int32)
        h.changeColsIntegrality(arrays.n, everything, np.zeros(arrays.n, dtype=np.uint8))
        h.changeColsBounds(arrays.n, everything, np.asarray(col_lower, dtype=float),
                           np.asarray(col_upper, dtype=float))
        h.setOptionValue("time_limit", float(max(limit, 0.01)))
    else:
        h = _highs(arrays, integer=False, col_lower=col_lower, col_upper=col_upper, time_limit=limit)
    if values is not None:
        # The solve's point lets HiGHS find the optimal basis in a few iterations.
        start = highspy.HighsSolution()
        start.col_value = np.clip(values, col_lower, col_upper)
        start.value_valid = True
        h.setSolution(start)
    return h


def _explanation(arrays, h, col_lower, col_upper, fixed, mip_gap, mip_bound, columns=False):
    """The record of an explanation from an instance h that holds the optimal LP basis."""
    # Many small records are made at once: the cyclic collector would only rescan them.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _records(arrays, h, col_lower, col_upper, fixed, mip_gap, mip_bound, columns)
    finally:
        if collecting:
            gc.enable()


def _records(arrays, h, col_lower, col_upper, fixed, mip_gap, mip_bound, columns):
    import numpy as np

    sol = h.getSolution()
    x = np.asarray(sol.col_value, dtype=float)
    activity = np.asarray(sol.row_value, dtype=float)
    if arrays.sense:
        duals = np.asarray(sol.row_dual, dtype=float)
        reduced = np.asarray(sol.col_dual, dtype=float)
    else:
        duals, reduced = np.zeros(arrays.m), np.zeros(arrays.n)
    ranging = _ranging(h, arrays) if arrays.sense else None
    objective = _num(h.getInfo().objective_function_value + arrays.constant) if arrays.sense else None
    return {
        "status": "optimal",
        "objective": objective,
        "objective_name": arrays.objective_name,
        "sense": _sense_word(arrays.sense),
        "fixed_integers": fixed,
        "mip_gap": mip_gap,
        "mip_bound": mip_bound,
        "ranging": ranging is not None,
        "rows": _explain_rows(arrays, activity, duals, ranging),
        "variable_columns" if columns else "variables": _explain_columns(arrays, x, reduced, col_lower, col_upper,
                                                                          ranging, columns),
        "dexprs": _dexpr_values(arrays, x),
    }


def _dexpr_values(arrays, x):
    """name -> value of every decision expression at the column values x."""
    import numpy as np

    names, constants, columns, coefficients, owners = [], [], [], [], []
    for k, entry in enumerate(arrays.dexprs):
        name, constant, pairs = (list(entry) + [None, 0.0, []])[:3]
        names.append(str(name))
        constants.append(float(constant or 0.0))
        columns.extend(pairs[0::2])
        coefficients.extend(pairs[1::2])
        owners.extend([k] * (len(pairs) // 2))
    if not names:
        return {}
    terms = np.asarray(coefficients, dtype=float) * x[np.asarray(columns, dtype=np.int64)] if columns \
        else np.zeros(0)
    values = np.asarray(constants) + np.bincount(np.asarray(owners, dtype=np.int64), weights=terms,
                                                 minlength=len(names))
    return dict(zip(names, values.tolist()))


def _without_columns(arrays):
    """A model without decision variables: every row is a constant, there is nothing to solve."""
    import numpy as np

    zeros = np.zeros(arrays.m)
    outside = (zeros < arrays.row_lower) | (zeros > arrays.row_upper)
    if outside.any():
        conflict = [dict(kind="row", bound="lower" if arrays.row_lower[r] > 0 else "upper", terms={},
                         lower=_num(arrays.row_lower[r]), upper=_num(arrays.row_upper[r]), **arrays.row_info[r])
                    for r in np.flatnonzero(outside)]
        return {"kind": "infeasible", "statement": "The model has no variables, and these constant constraints "
                "do not hold: " + ", ".join(_entry_text(e) for e in conflict) + ".", "conflict": conflict,
                "relaxation": [], "complete": True}
    return {"status": "optimal", "objective": arrays.constant if arrays.sense else None,
            "objective_name": arrays.objective_name, "sense": _sense_word(arrays.sense), "fixed_integers": False,
            "mip_gap": None, "mip_bound": None, "ranging": False,
            "rows": _explain_rows(arrays, zeros, zeros, None), "variables": [], "dexprs": {
                str(entry[0]): float(entry[1] or 0.0) for entry in arrays.dexprs}}


def _ranging(h, arrays):
    """HiGHS ranging as numpy arrays, or None when it is not available (no basis)."""
    import highspy
    import numpy as np

    status, ranging = h.getRanging()
    if status != highspy.HighsStatus.kOk or not ranging.valid:
        return None
    n, m = arrays.n, arrays.m

    def values(record, count):
        return np.asarray(record.value_, dtype=float)[:count]

    return {
        "cost_dn": values(ranging.col_cost_dn, n), "cost_up": values(ranging.col_cost_up, n),
        "bound_dn": values(ranging.col_bound_dn, n), "bound_up": values(ranging.col_bound_up, n),
        "row_dn": values(ranging.row_bound_dn, m), "row_up": values(ranging.row_bound_up, m),
    }


def _close(a, b):
    """Elementwise: a is within the binding tolerance of the (possibly infinite) bound b."""
    import numpy as np

    with np.errstate(invalid="ignore"):
        return np.isfinite(b) & (np.abs(a - b) <= BINDING_TOLERANCE * np.maximum(1.0, np.abs(b)))


def _nums(values):
    """``_num`` over an array, as a list (a problem may have many thousand columns)."""
    import numpy as np

    values = np.asarray(values, dtype=float) + 0.0  # + 0.0 turns -0.0 into 0.0
    with np.errstate(invalid="ignore"):
        finite = np.abs(values) < 1e20  # false for NaN as for the infinities
    if finite.all():
        return values.tolist()
    cells = values.astype(object)
    cells[~finite] = None
    return cells.tolist()


def _floats(values):
    import numpy as np

    return (np.asarray(values, dtype=float) + 0.0).tolist()  # + 0.0 turns -0.0 into 0.0


def _explain_rows(arrays, activity, duals, ranging):
    import numpy as np

    lower, upper = arrays.row_lower, arrays.row_upper
    with np.errstate(invalid="ignore"):
        slack = np.minimum(np.where(np.isfinite(lower), activity - lower, np.inf),
                           np.where(np.isfinite(upper), upper - activity, np.inf))
    binding = (_close(activity, lower) | _close(activity, upper)).tolist()
    if ranging is not None:
        ranges = [[dn, up] if flag else None
                  for dn, up, flag in zip(_nums(ranging["row_dn"]), _nums(ranging["row_up"]), binding)]
    else:
        ranges = [None] * arrays.m
    return [{"name": info["name"], "label": info["label"], "line": info["line"], "index": info["index"],
             "activity": a, "lower": lo, "upper": up, "slack": sl, "binding": flag, "dual": dual,
             "bound_range": rng}
            for info, a, lo, up, sl, flag, dual, rng in zip(
                arrays.row_info, _floats(activity), _nums(lower), _nums(upper), _nums(slack), binding,
                _floats(duals), ranges)]


def _explain_columns(arrays, x, reduced, col_lower, col_upper, ranging, columns=False):
    """The variables' records, or with ``columns`` one entry per field: the names and the
    at-bound words as lists, every number column packed as text (``_packed``), a range as the
    pair of its low ends and its high ends (no bound range for a variable inside its bounds)."""
    import numpy as np

    if columns:
        return _packed_columns(arrays, x, reduced, col_lower, col_upper, ranging)

    where = _at_bound(x, col_lower, col_upper)
    at = np.array([None, "lower", "upper", "fixed"], dtype=object)[where].tolist()
    cost = _floats(arrays.c) if arrays.sense else [0.0] * arrays.n
    cost_low = cost_high = bound_low = bound_high = None
    if ranging is not None:
        cost_low, cost_high = _nums(ranging["cost_dn"]), _nums(ranging["cost_up"])
        inside = where == 0
        bound_low = _nums(np.where(inside, np.nan, ranging["bound_dn"]))
        bound_high = _nums(np.where(inside, np.nan, ranging["bound_up"]))
    return _variable_records(arrays.names, _floats(x), at, _floats(reduced), cost, cost_low, cost_high, bound_low,
                             bound_high)


def _at_bound(x, col_lower, col_upper):
    """Per column 0 inside its bounds, 1 at the lower, 2 at the upper, 3 at both."""
    import numpy as np

    return _close(x, col_lower).astype(np.int8) + 2 * _close(x, col_upper).astype(np.int8)


def _packed_columns(arrays, x, reduced, col_lower, col_upper, ranging):
    import numpy as np

    where = _at_bound(x, col_lower, col_upper)
    fields = {"name": arrays.names, "at_bound": np.array([None, "lower", "upper", "fixed"], dtype=object)[where].tolist(),
              "value": _packed(x), "reduced_cost": _packed(reduced),
              "cost": _packed(arrays.c if arrays.sense else np.zeros(arrays.n)), "cost_range": None, "bound_range": None}
    if ranging is not None:
        inside = where == 0
        fields["cost_range"] = [_packed(ranging["cost_dn"], True), _packed(ranging["cost_up"], True)]
        fields["bound_range"] = [_packed(np.where(inside, np.nan, ranging["bound_dn"]), True),
                                 _packed(np.where(inside, np.nan, ranging["bound_up"]), True)]
    return fields


def _packed(values, ends=False):
    """Numbers as the base64 text of their little-endian float64 bytes: JSON reads and writes one
    string far faster than a list of numbers, and the values come back exactly. With ``ends``
    (the ends of a range) an infinite or missing value is NaN, which ``_unpacked`` makes None."""
    import base64

    import numpy as np

    values = np.asarray(values, dtype=float) + 0.0  # + 0.0 turns -0.0 into 0.0
    if ends:
        with np.errstate(invalid="ignore"):
            values = np.where(np.abs(values) < 1e20, values, np.nan)
    return base64.b64encode(values.astype("<f8").tobytes()).decode("ascii")


def _unpacked(text, ends=False):
    """The numbers ``_packed`` wrote, as a list (None for NaN with ``ends``); numpy is not needed."""
    import base64
    from array import array

    values = array("d")
    values.frombytes(base64.b64decode(text))
    if sys.byteorder == "big":
        values.byteswap()
    values = values.tolist()
    # NaN is the one value unequal to itself.
    return [v if v == v else None for v in values] if ends else values


def _variable_records(names, values, at, reduced, cost, cost_low, cost_high, bound_low, bound_high):
    if cost_low is not None:
        cost_ranges = list(map(list, zip(cost_low, cost_high)))
        # A bound range only for a variable at a bound (most are, in a vertex of a large LP).
        bound_ranges = [[low, high] if side is not None else None
                        for low, high, side in zip(bound_low, bound_high, at)]
    else:
        cost_ranges = bound_ranges = [None] * len(names)
    # A variable's bounds are not repeated: at a bound its value is that bound.
    return [{"name": name, "value": value, "at_bound": side, "reduced_cost": rc, "cost": coef, "cost_range": cr,
             "bound_range": br}
            for name, value, side, rc, coef, cr, br in zip(names, values, at, reduced, cost, cost_ranges, bound_ranges)]


def expand(explanation):
    """Turn the ``"variable_columns"`` of an explanation made with ``columns=True`` (as the
    solver's child hands it over) into the ``"variables"`` records, in place and in the same
    place among the keys; the explanation is returned. Anything else is left as it is."""
    if not isinstance(explanation, dict) or not isinstance(explanation.get("variable_columns"), dict):
        return explanation
    fields = explanation["variable_columns"]
    if fields.get("cost_range") is None:  # no ranging
        ranges = [None] * 4
    else:
        ranges = [_unpacked(ends, True) for ends in fields["cost_range"] + fields["bound_range"]]
    collecting = gc.isenabled()
    gc.disable()
    try:
        records = _variable_records(fields["name"], _unpacked(fields["value"]), fields["at_bound"],
                                    _unpacked(fields["reduced_cost"]), _unpacked(fields["cost"]), *ranges)
    finally:
        if collecting:
            gc.enable()
    rebuilt = {("variables" if key == "variable_columns" else key): (records if key == "variable_columns" else value)
               for key, value in explanation.items()}
    explanation.clear()
    explanation.update(rebuilt)
    return explanation


# ----------------------------------------------------------------------------------------------
# Diagnosis of a model without an optimum
# ----------------------------------------------------------------------------------------------

def diagnose(problem, result=None, *, time_limit=None, budget=None):
    """Say why ``problem`` has no optimum (see the module text for the record).

    ``result`` is the solve's result when there was one (its ``status`` spares a second integer
    search); HiGHS gets ``time_limit`` seconds in all (``INSIGHT_SECONDS`` by default), the
    deletion filter at most ``budget`` of them (``FILTER_BUDGET``).
    """
    arrays = _Arrays(problem)
    deadline = time.monotonic() + _limit(time_limit, INSIGHT_SECONDS)

    def remaining():
        return max(deadline - time.monotonic(), 0.01)

    refused = _refused(arrays)
    if refused is not None:
        return refused
    if arrays.n == 0:
        explained = _without_columns(arrays)
        return explained if "kind" in explained else {"kind": "optimal", "statement": "The model has no variables."}
    reported = result.get("status") if isinstance(result, dict) else None
    if reported == "time_limit":
        return {"kind": "time_limit",
                "statement": "The solver stopped at its time limit before it proved an optimum; "
                             "a longer --time-limit or a smaller model may help."}
    relaxed = _highs(arrays, integer=False, time_limit=remaining())
    status = _run(relaxed)
    if status == "unbounded_or_infeasible":
        relaxed = _highs(arrays, integer=False, time_limit=remaining(), presolve=False)
        status = _run(relaxed)
    if status == "infeasible":
        return _infeasible(arrays, remaining)
    if status == "unbounded":
        return _unbounded(arrays, relaxed)
    if status == "time_limit":
        return {"kind": "time_limit", "statement": "The solver ran out of time before it could classify the model."}
    if status != "optimal":
        return {"kind": "error", "statement": f"HiGHS could not classify the model ({status})."}
    if arrays.is_mip:
        mip_status = reported if reported == "infeasible" else _run(_highs(arrays, time_limit=remaining()))
        if mip_status == "infeasible":
            return _deletion_filter(arrays, min(_limit(budget, FILTER_BUDGET), remaining()))
        if mip_status == "time_limit":
            return {"kind": "time_limit",
                    "statement": "The linear relaxation has an optimum, but the integer search ran out of "
                                 "time before it found or ruled out an integer solution."}
    return {"kind": "optimal", "statement": "HiGHS finds an optimum for this model."}


def _refused(arrays):
    """Rows, objective entries and bounds HiGHS cannot take: non-finite or out-of-range numbers."""
    import numpy as np

    def bad(values):
        values = np.asarray(values, dtype=float)
        return ~np.isfinite(values) | (np.abs(values) >= HUGE_COEFFICIENT)

    def bad_bound(values):
        values = np.asarray(values, dtype=float)
        return np.isnan(values) | (np.isfinite(values) & (np.abs(values) >= HUGE_COEFFICIENT))

    rows = []
    bad_rows = set(np.repeat(np.arange(arrays.m), np.diff(arrays.A.indptr))[bad(arrays.A.data)].tolist())
    bad_rows |= set(np.flatnonzero(bad_bound(arrays.row_lower) | bad_bound(arrays.row_upper)).tolist())
    for r in sorted(bad_rows)[:50]:
        info = arrays.row_info[r]
        terms = arrays.terms(r)
        offending = {name: _text_number(v) for name, v in terms.items() if bad([v])[0]}
        entry = {"name": info["name"], "label": info["label"], "line": info["line"], "index": info["index"],
                 "coefficients": offending}
        for side, value in (("lower", arrays.row_lower[r]), ("upper", arrays.row_upper[r])):
            if bad_bound([value])[0]:
                entry[side] = _text_number(value)
        rows.append(entry)
    objective = {arrays.names[j]: _text_number(arrays.c[j]) for j in np.flatnonzero(bad(arrays.c))[:50]} \
        if arrays.sense else {}
    bounds = [{"name": arrays.names[j], "lower": _text_number(arrays.col_lower[j]),
               "upper": _text_number(arrays.col_upper[j])}
              for j in np.flatnonzero(bad_bound(arrays.col_lower) | bad_bound(arrays.col_upper))[:50]]
    if not rows and not objective and not bounds:
        return None
    named = [row["name"] + (f" (line {row['line']})" if row["line"] else "") for row in rows[:5]]
    parts = []
    if named:
        parts.append("rows " + ", ".join(named) + (" and more" if len(rows) > 5 else ""))
    if objective:
        parts.append("the objective (" + ", ".join(list(objective)[:5]) + ")")
    if bounds:
        parts.append("the bounds of " + ", ".join(b["name"] for b in bounds[:5]))
    return {"kind": "refused",
            "statement": "The solver refuses the model: " + "; ".join(parts) + " hold non-finite numbers or "
                         f"numbers of size {HUGE_COEFFICIENT:g} or more.",
            "rows": rows, "objective": objective, "bounds": bounds}


def refusal(message, line=None):
    """The diagnosis of a model the solve path refuses before the solver sees it.

    The solver script generator checks every coefficient, bound and right-hand side and refuses
    the non-finite and out-of-range ones (and constructs it cannot translate) with a message that
    names the constraint and the model line; that message is the statement here.
    """
    text = str(message)
    rows = [{"name": name, "label": name.split("[")[0], "line": line}
            for name in dict.fromkeys(re.findall(r"constraint (\S+?)(?= is |[;:,]|$)", text))]
    where = f" (line {line})" if line else ""
    return {"kind": "refused", "statement": f"The solver refuses the model{where}: {text}", "line": line, "rows": rows,
            "objective": {}, "bounds": []}


def _text_number(value):
    """A number for JSON that keeps NaN and infinities visible as text."""
    value = float(value)
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return value


_BOUND_STATUS = {2: "lower", 3: "upper", 4: "both"}


def _infeasible(arrays, remaining):
    """IIS of the linear rows and bounds, plus the smallest relaxation that restores feasibility."""
    h = _highs(arrays, integer=False, time_limit=remaining())
    h.setOptionValue("iis_strategy", 4)
    h.setOptionValue("iis_time_limit", float(remaining()))
    _run(h)
    conflict = []
    status, iis = h.getIis()
    if iis.valid_:
        for r, code in zip(iis.row_index_, iis.row_bound_):
            side = _BOUND_STATUS.get(int(code))
            if side is None:
                continue
            info = arrays.row_info[r]
            conflict.append({"kind": "row", "name": info["name"], "label": info["label"], "line": info["line"],
                             "index": info["index"], "bound": side, "lower": _num(arrays.row_lower[r]),
                             "upper": _num(arrays.row_upper[r]), "terms": arrays.terms(r)})
        for j, code in zip(iis.col_index_, iis.col_bound_):
            side = _BOUND_STATUS.get(int(code))
            if side is None:
                continue
            conflict.append({"kind": "bound", "name": arrays.names[j], "label": None, "line": None,
                             "bound": side, "lower": _num(arrays.col_lower[j]), "upper": _num(arrays.col_upper[j]),
                             "integer": bool(arrays.integer[j])})
    relaxation = _relaxation(arrays, remaining())
    statement = "No plan satisfies all constraints together."
    if conflict:
        statement = ("These constraints and bounds cannot hold together: "
                     + ", ".join(_entry_text(e) for e in conflict) + ".")
    return {"kind": "infeasible", "statement": statement, "conflict": conflict, "relaxation": relaxation,
            "complete": bool(iis.valid_)}


def _entry_text(entry):
    where = f" (line {entry['line']})" if entry.get("line") else ""
    if entry["kind"] == "bound":
        return f"the {entry['bound']} bound of {entry['name']}"
    return f"{entry['name']}{where}"


def _relaxation(arrays, limit):
    """Rows and bounds HiGHS's feasibility relaxation moves (unit penalty per unit of violation)."""
    import numpy as np

    h = _highs(arrays, integer=False, time_limit=limit)
    h.feasibilityRelaxation(1.0, 1.0, 1.0)
    sol = h.getSolution()
    if not sol.value_valid:
        return []
    x = np.asarray(sol.col_value, dtype=float)
    activity = np.asarray(sol.row_value, dtype=float)
    moves = []
    tol = 1e-7

    def add(kind, name, info, side, old, new):
        moves.append({"kind": kind, "name": name, "label": info and info["label"], "line": info and info["line"],
                      "bound": side, "from": float(old), "to": float(new), "by": float(new - old)})

    for r in range(arrays.m):
        lo, up, a = arrays.row_lower[r], arrays.row_upper[r], activity[r]
        if np.isfinite(lo) and a < lo - tol * max(1.0, abs(lo)):
            add("row", arrays.row_info[r]["name"], arrays.row_info[r], "lower", lo, a)
        elif np.isfinite(up) and a > up + tol * max(1.0, abs(up)):
            add("row", arrays.row_info[r]["name"], arrays.row_info[r], "upper", up, a)
    for j in range(arrays.n):
        lo, up, v = arrays.col_lower[j], arrays.col_upper[j], x[j]
        if np.isfinite(lo) and v < lo - tol * max(1.0, abs(lo)):
            add("bound", arrays.names[j], None, "lower", lo, v)
        elif np.isfinite(up) and v > up + tol * max(1.0, abs(up)):
            add("bound", arrays.names[j], None, "upper", up, v)
    return moves


def _unbounded(arrays, h):
    import numpy as np

    status, has_ray, ray = h.getPrimalRay()
    entries = []
    if has_ray:
        ray = np.asarray(ray, dtype=float)[:arrays.n]
        scale = float(np.max(np.abs(ray))) if len(ray) else 0.0
        for j in np.flatnonzero(np.abs(ray) > 1e-9 * max(scale, 1.0)):
            entries.append({"name": arrays.names[j], "direction": float(ray[j] / scale)})
    names = ", ".join(e["name"] for e in entries[:6]) + (" and more" if len(entries) > 6 else "")
    word = "grows" if arrays.sense == -1 else "falls"
    them = "them" if len(entries) > 1 else "it"
    statement = (f"The objective {word} without limit along {names}: no constraint limits {them}."
                 if entries else "The objective improves without limit: no constraint limits it.")
    return {"kind": "unbounded", "statement": statement, "ray": entries}


def _families(arrays):
    """Rows grouped by constraint label (an unlabelled row is a family of its own)."""
    families = {}
    for r, info in enumerate(arrays.row_info):
        key = info["label"] if info["label"] else info["name"]
        families.setdefault(key, []).append(r)
    return families


def _deletion_filter(arrays, budget):
    """The labelled constraint families that keep the MILP infeasible on their own.

    Each family in turn is left out; when the rest stays infeasible it is dropped for good. What
    remains is a minimal set of families in conflict (when the budget allowed every test).
    """
    families = _families(arrays)
    kept = list(families)
    deadline = time.monotonic() + budget
    complete = True
    for family in list(kept):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            complete = False
            break
        trial = [r for f in kept if f != family for r in families[f]]
        status = _run(_highs(arrays, rows=trial, time_limit=remaining))
        if status == "infeasible":
            kept.remove(family)
        elif status != "optimal":
            complete = False
    conflict = []
    for family in kept:
        rows = families[family]
        first = arrays.row_info[rows[0]]
        conflict.append({"kind": "family", "name": family, "label": first["label"], "line": first["line"],
                         "rows": len(rows), "names": [arrays.row_info[r]["name"] for r in rows[:10]]})
    names = ", ".join(_entry_text(e) for e in conflict)
    statement = ("The linear relaxation has solutions, but no integer plan satisfies "
                 + (f"these constraint families together: {names}." if conflict else
                    "the bounds and integrality of the variables."))
    return {"kind": "infeasible", "integer": True, "method": "deletion_filter", "statement": statement,
            "conflict": conflict, "relaxation": [], "complete": complete}


# ----------------------------------------------------------------------------------------------
# Text summaries for the terminal
# ----------------------------------------------------------------------------------------------

def _fmt(value):
    if value is None:
        return "-"
    value = float(value)
    if value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return format(value, ".6g")


def _signed(value):
    text = _fmt(value)
    return text if text.startswith("-") else "+" + text


def _columns(cells):
    """Rows of cells padded to aligned columns (the last cell is not padded)."""
    widths = [max(len(row[i]) for row in cells) for i in range(len(cells[0]) - 1)] if cells else []
    return ["  " + "  ".join([c.ljust(w) for c, w in zip(row, widths)] + [row[-1]]).rstrip() for row in cells]


def _active_bound(row):
    if row["upper"] is not None and (row["lower"] is None or abs(row["activity"] - row["upper"])
                                     <= abs(row["activity"] - row["lower"])):
        return row["upper"]
    return row["lower"]


def summary_lines(explanation, limit=SUMMARY_LIMIT):
    """A few readable lines: binding rows with shadow prices, variables at bounds, the best lever."""
    if explanation.get("status") != "optimal":
        return diagnosis_lines(explanation) if explanation.get("kind") else []
    objective = explanation.get("objective_name") or "objective"
    lines = []
    if explanation.get("fixed_integers"):
        gap, bound = explanation.get("mip_gap"), explanation.get("mip_bound")
        lines.append("Explained with the integer variables fixed at the optimum"
                     + (f" (MIP gap {_fmt(gap)}, bound {_fmt(bound)})" if gap is not None or bound is not None
                        else "") + ".")
    binding = [r for r in explanation.get("rows", []) if r["binding"]]
    binding.sort(key=lambda r: -abs(r["dual"]))
    if binding:
        lines.append(f"Binding constraints ({len(binding)} of {len(explanation['rows'])}) and their shadow prices:")
        cells = []
        for row in binding[:limit]:
            span = row.get("bound_range") if abs(row["dual"]) > 1e-9 else None
            holds = f"  (bound {_fmt(_active_bound(row))}, holds from {_fmt(span[0])} to {_fmt(span[1])})" \
                if span else ""
            cells.append([row["name"], f"line {row['line']}" if row.get("line") else "",
                          f"{_signed(row['dual'])} {objective} per unit{holds}"])
        lines += _columns(cells)
        if len(binding) > limit:
            lines.append(f"  ... and {len(binding) - limit} more")
    elif explanation.get("rows"):
        lines.append("No constraint is binding.")
    at_bounds = [v for v in explanation.get("variables", []) if v["at_bound"] and abs(v["reduced_cost"]) > 1e-9]
    at_bounds.sort(key=lambda v: -abs(v["reduced_cost"]))
    if at_bounds:
        lines.append("Variables held at a bound and their reduced costs:")
        lines += _columns([[f"{v['name']} = {_fmt(v['value'])}",
                            "(fixed)" if v["at_bound"] == "fixed" else f"(at its {v['at_bound']} bound)",
                            f"{_signed(v['reduced_cost'])} {objective} per unit"] for v in at_bounds[:limit]])
        if len(at_bounds) > limit:
            lines.append(f"  ... and {len(at_bounds) - limit} more")
    valuable = [r for r in binding if abs(r["dual"]) > 1e-9]
    if valuable:
        best = valuable[0]
        if explanation.get("sense") == "minimise":
            lines.append(f"One more unit of `{best['name']}` changes {objective} by {_signed(best['dual'])}.")
        else:
            lines.append(f"One more unit of `{best['name']}` is worth {_signed(best['dual'])} {objective}.")
    return lines


def result_lines(result):
    """The summary of a solve result's explanation or diagnosis (no lines when it has neither)."""
    lines = []
    if isinstance(result.get("explain"), dict):
        lines += summary_lines(result["explain"])
    if isinstance(result.get("diagnosis"), dict):
        lines += diagnosis_lines(result["diagnosis"])
    return lines


def diagnosis_lines(diagnosis, limit=SUMMARY_LIMIT):
    """A few readable lines saying why there is no optimum and what would change that."""
    kind = diagnosis.get("kind")
    lines = [f"Diagnosis ({kind}): {diagnosis.get('statement', '')}"]
    if kind == "infeasible":
        conflict = diagnosis.get("conflict") or []
        if conflict:
            lines.append("In conflict:")
            for entry in conflict[:limit]:
                lines.append("  " + _conflict_text(entry))
        moves = diagnosis.get("relaxation") or []
        if moves:
            lines.append("Smallest change that makes it feasible:")
            for move in moves[:limit]:
                where = f" (line {move['line']})" if move.get("line") else ""
                what = f"{move['name']}{where}" if move["kind"] == "row" else f"the {move['bound']} bound of {move['name']}"
                lines.append(f"  {what}: {move['bound']} {_fmt(move['from'])} -> {_fmt(move['to'])} "
                             f"({_signed(move['by'])})")
    elif kind == "unbounded":
        ray = diagnosis.get("ray") or []
        if ray:
            lines.append("Direction of improvement: " + ", ".join(
                f"{e['name']} {_signed(e['direction'])}" for e in ray[:limit]))
    elif kind == "refused":
        for row in [r for r in diagnosis.get("rows") or [] if "coefficients" in r][:limit]:
            where = f" (line {row['line']})" if row.get("line") else ""
            values = ", ".join(f"{k}: {v}" for k, v in row["coefficients"].items())
            bounds = ", ".join(f"{side} {row[side]}" for side in ("lower", "upper") if side in row)
            lines.append(f"  {row['name']}{where}: " + "; ".join(p for p in (values, bounds) if p))
    return lines


def _conflict_text(entry):
    where = f" (line {entry['line']})" if entry.get("line") else ""
    if entry["kind"] == "bound":
        value = entry["lower"] if entry["bound"] == "lower" else entry["upper"]
        return f"{entry['bound']} bound of {entry['name']}: {_fmt(value)}"
    if entry["kind"] == "family":
        return f"constraint family {entry['name']}{where}: {entry['rows']} row(s)"
    terms = " ".join(f"{_signed(c)} {n}" for n, c in list(entry["terms"].items())[:6])
    bound = {"lower": f">= {_fmt(entry['lower'])}", "upper": f"<= {_fmt(entry['upper'])}",
             "both": f"in [{_fmt(entry['lower'])}, {_fmt(entry['upper'])}]"}[entry["bound"]]
    return f"{entry['name']}{where}: {terms} {bound}"
