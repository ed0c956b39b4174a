"""Sparse (CSC) SciPy solver-script generator for compiled Vormo models.

The generator writes a Python script that assembles the problem arrays in compressed sparse column
form and hands them to ``scipy.optimize.milp``. It builds on the shared generator base, which keeps
the script lines and the problem arrays.
"""

from .emitcore import SciPyCodeGeneratorBase

__all__ = ["SciPyCSCCodeGenerator"]


class SciPyCSCCodeGenerator(SciPyCodeGeneratorBase):
    """Concrete generator for the mode ``"csc"``."""

    def generate_code(self):
        self.scipy_code_lines = []
        self.indent_level = 0
        self._add_code_line("import numpy as np")
        self._add_code_line("from scipy.optimize import Bounds, LinearConstraint, milp")
        self._add_code_line("from scipy.sparse import csc_matrix")
        self._add_code_line("")
        self._build_variables()
        self._build_objective()
        self._build_constraints()
        self._add_code_line(f"{self.results_varname} = milp(c, constraints=constraints, "
                            "integrality=integrality, bounds=bounds)")
        return "\n".join(self.scipy_code_lines)

    def _build_variables(self):
        self._add_code_line(f"integrality = np.array({list(self.integrality)!r})")
        lows = ", ".join("-np.inf" if lo is None else repr(lo) for lo, _ in self.bounds)
        highs = ", ".join("np.inf" if hi is None else repr(hi) for _, hi in self.bounds)
        self._add_code_line(f"bounds = Bounds([{lows}], [{highs}])")

    def _build_objective(self):
        self._add_code_line(f"c = np.array({list(self.c)!r}, dtype=float)")

    def _build_constraints(self):
        self._add_code_line("constraints = []")
        if self.A_ub:
            self._add_code_line(f"A_ub = csc_matrix(np.array({self.A_ub!r}, dtype=float))")
            self._add_code_line(f"constraints.append(LinearConstraint(A_ub, -np.inf, {list(self.b_ub)!r}))")
        if self.A_eq:
            self._add_code_line(f"A_eq = csc_matrix(np.array({self.A_eq!r}, dtype=float))")
            self._add_code_line(f"constraints.append(LinearConstraint(A_eq, {list(self.b_eq)!r}, {list(self.b_eq)!r}))")

