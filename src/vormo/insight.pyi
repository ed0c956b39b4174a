from collections.abc import Mapping
from typing import Any

__all__ = ["explain", "expand", "diagnose", "refusal", "summary_lines", "diagnosis_lines", "result_lines",
           "BINDING_TOLERANCE", "HUGE_COEFFICIENT", "FILTER_BUDGET", "INSIGHT_SECONDS"]

BINDING_TOLERANCE: float
HUGE_COEFFICIENT: float
FILTER_BUDGET: float
INSIGHT_SECONDS: float
SUMMARY_LIMIT: int

# An explanation: "status", "objective", "objective_name", "sense", "fixed_integers", "mip_gap",
# "mip_bound", "ranging", "rows", "variables", "dexprs". A diagnosis: "kind", "statement" and, by
# kind, "conflict", "relaxation", "ray" or "rows".
_Record = dict[str, Any]

def explain(problem: Any, solution: Any = None, *, time_limit: float | None = None, highs: Any = None,
            columns: bool = False) -> _Record: ...
def expand(explanation: _Record) -> _Record: ...
def diagnose(problem: Any, result: dict[str, Any] | None = None, *, time_limit: float | None = None,
             budget: float | None = None) -> _Record: ...
def refusal(message: object, line: int | None = None) -> _Record: ...
def summary_lines(explanation: _Record, limit: int = ...) -> list[str]: ...
def diagnosis_lines(diagnosis: _Record, limit: int = ...) -> list[str]: ...
def result_lines(result: Mapping[str, Any]) -> list[str]: ...
