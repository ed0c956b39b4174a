from os import PathLike
from typing import Any

__all__ = ["solve_files", "solve_texts", "generate_script", "run_script", "result_frame", "GRACE_SECONDS",
           "SCRIPT_NAME"]

CHILD_MODULE: str

GRACE_SECONDS: int
SCRIPT_NAME: str

# A result: "status" ("optimal", "infeasible", "unbounded", "time_limit", "error", "compile_error"),
# "objective" (float or None), "variables" (name -> value, non-zero only), "entries" (every column as
# {"name", "index", "value"} when there is a point), and "message" on failure.
_Result = dict[str, Any]

def generate_script(
    model_code: str, data_code: str, time_limit: float = 60, model_name: str | None = None
) -> str: ...
def run_script(script: str, time_limit: float = 60) -> _Result: ...
def solve_texts(
    model_code: str, data_code: str, time_limit: float = 60, model_name: str | None = None, *, explain: bool = False
) -> _Result: ...
def solve_files(
    model_path: str | PathLike[str], data_path: str | PathLike[str], time_limit: float = 60, *, explain: bool = False
) -> _Result: ...
def result_frame(result: _Result, nonzero: bool = False) -> Any: ...
