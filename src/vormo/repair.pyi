from os import PathLike
from typing import Any, Callable

__all__ = ["repair", "needs_repair", "build_repair_prompt", "AlignmentWatch", "REPAIRABLE"]

REPAIRABLE: tuple[str, ...]

def needs_repair(result: Any) -> bool: ...
def build_repair_prompt(description: str, grammar_implementation: str, model_code: str, data_code: str,
                        result: dict[str, Any]) -> str: ...

class AlignmentWatch:
    progress: Callable[[str], object] | None
    aligned: bool | None
    def __init__(self, progress: Callable[[str], object] | None = None) -> None: ...
    def __call__(self, message: str) -> None: ...

# The record: "rounds", "limit", "result", "history", "changed", "aligned", "rechecked", "usage",
# "cost" and, after a new alignment check, "assessment".
def repair(
    description: str,
    model_file: str | PathLike[str],
    data_file: str | PathLike[str],
    result: dict[str, Any],
    *,
    solve: Callable[[str, str], dict[str, Any]],
    rounds: int = 2,
    model_name: str = "gpt-5",
    llm_provider: str | None = None,
    mode: Any = None,
    temperature: float | None = None,
    alignment_check: bool = False,
    progress: Callable[[str], object] | None = None,
) -> dict[str, Any]: ...
