"""The problem a generated solver script builds, as arrays a solver or a report can use.

A solver script written by ``vormo.emitsparse`` only builds its tables when it runs under a name
other than ``"__main__"``; this module reads those tables::

    from vormo.sparseproblem import load_script
    problem = load_script("vormo_solve.py")
    problem.A @ x            # row activities (scipy.sparse.csr_array, rows x columns)
    problem.row_info[k]      # [name, label, model line, loop members] of row k

Everything is in the model's own sense: ``c`` is the objective as written (not multiplied by
``sense``), a row ``a <= b`` has ``row_lower`` -inf, a row ``a >= b`` has ``row_upper`` +inf.
numpy and scipy are imported when an array is first asked for, never when this module loads.
"""

import runpy
from functools import cached_property
from os import PathLike

__all__ = ["SparseProblem", "load_script", "from_namespace", "BUILD_NAME"]

# The run name under which a solver script builds its tables without solving.
BUILD_NAME = "vormo_problem"

_TABLES = ("NAMES", "COLUMNS", "LOWER", "UPPER", "INTEGER", "SENSE", "OBJECTIVE_NAME",
           "OBJECTIVE_CONSTANT", "OBJECTIVE", "ROWS", "ROW_INFO", "DEXPRS", "TIME_LIMIT")


class SparseProblem:
    """The tables of one built solver script.

    Plain fields: ``names`` (display name per column), ``columns`` ([variable, [subscripts]] per
    column), ``sense`` (1 minimise, -1 maximise, 0 no objective), ``objective_name``,
    ``objective_constant``, ``row_info`` ([name, label, line, loop members] per row), ``dexprs``
    ([name, constant, [column, coefficient, ...]] per decision expression instance), ``time_limit``.

    Array fields, built on first use: ``col_lower``, ``col_upper``, ``integrality`` (uint8), ``c``
    (dense objective coefficients), ``A`` (csr_array), ``row_lower``, ``row_upper``.
    """

    def __init__(self, tables):
        missing = [name for name in _TABLES if name not in tables]
        if missing:
            raise ValueError(f"not the tables of a solver script: {', '.join(missing)} missing")
        # A compact namespace's names and keys are made on demand: kept as they are, not listed.
        self.names = _sequence(tables["NAMES"])
        self.columns = _sequence(tables["COLUMNS"])
        self._lower, self._upper, self._integer = tables["LOWER"], tables["UPPER"], tables["INTEGER"]
        self.sense = int(tables["SENSE"])
        self.objective_name = tables["OBJECTIVE_NAME"]
        self.objective_constant = float(tables["OBJECTIVE_CONSTANT"])
        self._objective = tables["OBJECTIVE"]
        self._rows = tables["ROWS"]
        self.row_info = list(tables["ROW_INFO"])
        self.dexprs = list(tables["DEXPRS"])
        self.time_limit = float(tables["TIME_LIMIT"])
        if not len(self._lower) == len(self._upper) == len(self._integer) == len(self.names) \
                == len(self.columns):
            raise ValueError("the column tables of the solver script differ in length")
        if len(self.row_info) != len(self._rows):
            raise ValueError("ROWS and ROW_INFO of the solver script differ in length")

    def __repr__(self):
        return f"<SparseProblem: {self.n_cols} columns, {self.n_rows} rows>"

    @property
    def n_cols(self):
        return len(self.names)

    @property
    def n_rows(self):
        return len(self._rows)

    @property
    def row_names(self):
        return [info[0] for info in self.row_info]

    @cached_property
    def col_lower(self):
        import numpy as np

        return np.asarray(self._lower, dtype=float)

    @cached_property
    def col_upper(self):
        import numpy as np

        return np.asarray(self._upper, dtype=float)

    @cached_property
    def integrality(self):
        import numpy as np

        return np.array(self._integer, dtype=np.uint8)

    @cached_property
    def c(self):
        import numpy as np

        c = np.zeros(self.n_cols)
        flat = self._objective
        np.add.at(c, np.asarray(flat[0::2], dtype=np.int64), np.asarray(flat[1::2], dtype=float))
        return c

    @cached_property
    def A(self):
        import itertools

        import numpy as np
        from scipy.sparse import csr_array

        rows = self._rows
        arrays = getattr(rows, "csr", None)
        if arrays is not None:  # rows held as CSR arrays already
            return csr_array(arrays, shape=(len(rows), self.n_cols))
        counts = np.fromiter((len(row[2]) // 2 for row in rows), np.int64, len(rows))
        flat = np.fromiter(itertools.chain.from_iterable(row[2] for row in rows), float,
                           int(counts.sum()) * 2)
        starts = np.concatenate(([0], np.cumsum(counts)))
        return csr_array((flat[1::2], flat[0::2].astype(np.int64), starts), shape=(len(rows), self.n_cols))

    @cached_property
    def row_lower(self):
        import numpy as np

        if hasattr(self._rows, "lower"):
            return np.asarray(self._rows.lower, dtype=float)
        return np.array([row[0] for row in self._rows], dtype=float)

    @cached_property
    def row_upper(self):
        import numpy as np

        if hasattr(self._rows, "upper"):
            return np.asarray(self._rows.upper, dtype=float)
        return np.array([row[1] for row in self._rows], dtype=float)

    def dexpr_values(self, x):
        """Value of every decision expression instance at the column values x: name -> value."""
        values = {}
        for name, constant, flat in self.dexprs:
            values[name] = constant + sum(coef * x[col] for col, coef in zip(flat[0::2], flat[1::2]))
        return values


def _sequence(table):
    """A table as a sequence: a list or a table that makes its entries on demand as it is, any
    other iterable listed."""
    from collections.abc import Sequence

    return table if isinstance(table, Sequence) and not isinstance(table, (str, tuple)) else list(table)


def from_namespace(namespace):
    """The problem held by the namespace of a solver script built under another name than
    ``"__main__"`` (for example the dictionary ``runpy.run_path`` returns)."""
    return SparseProblem(namespace)


def load_script(path: "str | PathLike[str]"):
    """Build the solver script at path (without solving) and return its problem."""
    return from_namespace(runpy.run_path(str(path), run_name=BUILD_NAME))
